#include "serial/port_checks.h"

#include "control/errors.h"
#include "serial/comm_component.h"
#include "serial/line_settings.h"

namespace varnel::comm {

void CheckCommPort(bool open, std::int16_t value) {
    if (open)
        throw AutomationError(kErrPortAlreadyOpen,
                              "Port already open: close it to change the port");
    if (value < 1)
        throw AutomationError(kErrInvalidPortNumber,
                              "Invalid port number " + std::to_string(value));
}

void CheckHandshaking(std::int32_t value) {
    if (value < kHandshakeNone || value > kHandshakeBoth)
        throw AutomationError(kErrInvalidSettings,
                              "Invalid property value: handshaking must be 0 to 3");
}

void CheckInputLen(std::int16_t value) {
    if (value < 0)
        throw AutomationError(kErrInvalidSettings, "Invalid property value: InputLen below 0");
}

void CheckBufferCountSet(const char* property, std::int16_t value) {
    if (value != 0)
        throw AutomationError(kErrInvalidSettings, std::string("Invalid property value: ") +
                                                       property + " can only be set to 0");
}

void RequireOpen(bool open, const char* what) {
    if (!open)
        throw AutomationError(
            kErrPortOpenOnly,
            std::string("Operation valid only when the port is open (") + what + ")");
}

void RaiseAlreadyOpen() {
    throw AutomationError(kErrPortAlreadyOpen, "Port already open");
}

void RaiseInvalidSettings(const std::string& why) {
    throw AutomationError(kErrInvalidSettings, "Invalid property value: " + why);
}

}  // namespace varnel::comm
