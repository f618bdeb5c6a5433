// A Varnel control in a standalone container on the POSIX runtime: what a C++ application embeds.
//
//     varnel::posix::EventLoop loop;
//     varnel::posix::Runtime runtime(loop);
//     runtime.Ports().Bind(1, "/dev/ttyUSB0");
//     varnel::host::Scale scale(runtime);
//     scale.Container().SubscribeScaleComm([&] { ... scale->FormattedWt() ... });
//     scale.SubscribeOpenFailure([](const varnel::posix::OpenFailure& f) { ... f.reason ... });
//     std::int16_t open = -1;
//     scale->ScaleOpen(open);
//     loop.Run();
#pragma once

#include <functional>
#include <optional>

#include "control/varnel.h"
#include "host/standalone_container.h"
#include "platform/posix/open_failure.h"
#include "platform/posix/reporting_system.h"
#include "platform/posix/runtime.h"

namespace varnel::host {

class Scale {
  public:
    using OpenFailureHandler = std::function<void(const posix::OpenFailure& failure)>;

    explicit Scale(posix::Runtime& runtime)
        : services_(runtime.Services(), Listener()),
          control_(container_, services_, runtime.MakeHostedComponents(Listener())) {}

    Varnel& Control() { return control_; }
    Varnel* operator->() { return &control_; }
    StandaloneContainer& Container() { return container_; }

    // Why the last attempt to open the port failed (the device, or the port initialiser);
    // empty once the port has opened.
    const std::optional<posix::OpenFailure>& LastOpenFailure() const { return lastOpenFailure_; }
    // Called for every failed attempt (three per failed ScaleOpen), on the loop's thread, inside
    // the control's call that tried to open. A handler added by a handler is called from the next
    // failure on; an exception a handler throws goes to the container's error subscribers.
    // Returns the id that UnsubscribeOpenFailure takes.
    SubscriptionId SubscribeOpenFailure(OpenFailureHandler handler) {
        openFailureHandlers_.Add(nextId_, std::move(handler));
        return nextId_++;
    }
    bool UnsubscribeOpenFailure(SubscriptionId id) { return openFailureHandlers_.Remove(id); }

  private:
    posix::OpenListener Listener() {
        return [this](const posix::OpenFailure* failure) { OnOpen(failure); };
    }
    void OnOpen(const posix::OpenFailure* failure);

    StandaloneContainer container_;  // declared first: it outlives the control
    std::optional<posix::OpenFailure> lastOpenFailure_;
    SubscriberList<OpenFailureHandler> openFailureHandlers_;
    SubscriptionId nextId_ = 1;
    posix::ReportingSystem services_;
    Varnel control_;
};

}  // namespace varnel::host
