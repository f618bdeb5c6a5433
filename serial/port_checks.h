// The property checks that both runtimes' serial-port components make, with their error numbers
// and texts. Each raises AutomationError when its check fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnel::comm {

// CommPort cannot change while the port is open (8005) and is at least 1 (8002).
void CheckCommPort(bool open, std::int16_t value);
// Handshaking is 0 to 3 (380).
void CheckHandshaking(std::int32_t value);
// InputLen is not negative (380).
void CheckInputLen(std::int16_t value);
// InBufferCount and OutBufferCount, named by property, can only be set to 0 (380).
void CheckBufferCountSet(const char* property, std::int16_t value);
// What needs an open port, named by what (8018).
void RequireOpen(bool open, const char* what);
// PortOpen set True on an open port (8005).
[[noreturn]] void RaiseAlreadyOpen();
// A Settings text that cannot be set, and why (380).
[[noreturn]] void RaiseInvalidSettings(const std::string& why);

// A count as the 16-bit buffer-count properties give it.
inline std::int16_t CountProperty(std::size_t n) {
    return static_cast<std::int16_t>(n > 32767 ? 32767 : n);
}

}  // namespace varnel::comm
