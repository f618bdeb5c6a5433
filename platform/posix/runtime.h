// The POSIX runtime of a control: its event loop, system directory, port bindings and system
// services, and the components each control owns.
#pragma once

#include <string>

#include "control/varnel.h"
#include "platform/posix/event_loop.h"
#include "platform/posix/open_failure.h"
#include "platform/posix/port_resolver.h"
#include "platform/posix/posix_system.h"

namespace varnel::posix {

class Runtime {
  public:
    explicit Runtime(EventLoop& loop, std::string systemDir = DefaultSystemDir())
        : loop_(loop), ports_(systemDir), system_(systemDir) {}

    EventLoop& Loop() { return loop_; }
    // Port numbers to devices; Bind() attaches any path (a USB adapter, a pseudo-terminal).
    PortResolver& Ports() { return ports_; }
    PosixSystem& Services() { return system_; }

    // A serial port and two timers on this runtime's loop, for one new control; the port tells
    // listener of every opening.
    HostedComponents MakeHostedComponents(OpenListener listener = {});

  private:
    EventLoop& loop_;
    PortResolver ports_;
    PosixSystem system_;
};

}  // namespace varnel::posix
