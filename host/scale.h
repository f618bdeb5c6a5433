// A Varnel control in a standalone container on the POSIX runtime: what a C++ application embeds.
//
//     varnel::posix::EventLoop loop;
//     varnel::posix::Runtime runtime(loop);
//     runtime.Ports().Bind(1, "/dev/ttyUSB0");
//     varnel::host::Scale scale(runtime);
//     scale.Container().SubscribeScaleComm([&] { ... scale->FormattedWt() ... });
//     std::int16_t open = -1;
//     scale->ScaleOpen(open);
//     loop.Run();
#pragma once

#include "control/varnel.h"
#include "host/standalone_container.h"
#include "platform/posix/runtime.h"

namespace varnel::host {

class Scale {
  public:
    explicit Scale(posix::Runtime& runtime)
        : control_(container_, runtime.Services(), runtime.MakeHostedComponents()) {}

    Varnel& Control() { return control_; }
    Varnel* operator->() { return &control_; }
    StandaloneContainer& Container() { return container_; }

  private:
    StandaloneContainer container_;  // declared first: it outlives the control
    Varnel control_;
};

}  // namespace varnel::host
