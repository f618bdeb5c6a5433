#include "platform/posix/runtime.h"

#include "control/surface.h"
#include "platform/posix/posix_timer.h"
#include "platform/posix/serial_port.h"

namespace varnel::posix {

HostedComponents Runtime::MakeHostedComponents(OpenListener listener) {
    auto port = std::make_unique<SerialPort>(loop_, ports_);
    port->SetOpenListener(std::move(listener));
    surface::ApplyCommDesignSettings(*port);  // the line settings a new control's component holds
    auto watchdog = std::make_unique<PosixTimer>(loop_);
    watchdog->CountAsTraffic(port->Traffic());
    return HostedComponents{std::move(port), std::make_unique<PosixTimer>(loop_),
                            std::move(watchdog)};
}

}  // namespace varnel::posix
