// Why an attempt to open the scale's port failed: the device refused, or the port initialiser
// could not be started or waited for. The control itself only counts the attempt as failed and
// retries; the runtime keeps the reason for the host.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace varnel::posix {

struct OpenFailure {
    enum class Kind { Port, Initialiser };
    Kind kind = Kind::Port;
    std::string device;       // the device path tried, or the initialiser's path
    std::int32_t number = 0;  // the port's automation error number (8010, 8005, ...); for the
                              // initialiser its vnPortInit16 code (1 start, 2 wait, 3, 4)
    std::string reason;       // one sentence for people, e.g.
                         // "/dev/ttyUSB0: Permission denied; is the user in the dialout group?"
};

// Told of every attempt to open: the failure, or nullptr when the port opened.
using OpenListener = std::function<void(const OpenFailure* failure)>;

}  // namespace varnel::posix
