#include "platform/posix/runtime.h"

#include "platform/posix/posix_timer.h"
#include "platform/posix/serial_port.h"

namespace varnel::posix {

HostedComponents Runtime::MakeHostedComponents() {
    return HostedComponents{std::make_unique<SerialPort>(loop_, ports_),
                            std::make_unique<PosixTimer>(loop_),
                            std::make_unique<PosixTimer>(loop_)};
}

}  // namespace varnel::posix
