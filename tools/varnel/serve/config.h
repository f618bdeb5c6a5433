// What `varnel serve` serves: the scales (from a JSON file or the command line), the listening
// address and the access token.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "control/varnel.h"

namespace varnel::serve {

// A configuration that cannot be used; the message names the file and the problem.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ScaleSpec {
    std::string name;
    std::string device;  // bound to the port number when set
    int port = 1;        // 1..255; resolved through the system directory unless device is set
    std::optional<VN_UOM_ENUM> units;
    std::optional<VN_NOTIFY_ENUM> notify;
};

// A scale name is 1 to 32 letters, digits, '-' or '_': it is part of the URLs.
bool ValidScaleName(std::string_view name);

// Reads the scales from a JSON file, either an array of scales or {"scales": [...]}:
//   [{"name": "counter", "device": "/dev/ttyUSB0", "units": "kg", "notify": "changed"},
//    {"name": "bench", "port": 3}]
// Each scale has a name and a device or a port; units and notify are optional. Names must be
// unique (ignoring case), and so must devices and ports. Throws ConfigError.
std::vector<ScaleSpec> LoadScales(const std::string& path);
// The same from text; `source` names it in messages.
std::vector<ScaleSpec> ParseScales(std::string_view text, const std::string& source);

struct ListenAddress {
    std::string host;  // "127.0.0.1", "::1", "0.0.0.0"
    std::uint16_t port = 0;
};
// "ADDR:PORT" or "[IPV6]:PORT" with a numeric address; port 0 picks a free port. Throws
// ConfigError.
ListenAddress ParseListen(std::string_view text);

// An --allow-origin value as a browser writes the origin: "*", or scheme://host[:port] in lower
// case without the scheme's default port ("HTTP://POS.example:80" -> "http://pos.example").
// Throws ConfigError for anything else, "null" and wildcards in names included.
std::string ParseOrigin(std::string_view text);

// Refuses two scales on one device under different names (a link, "/dev/pts/./3"): `paths[i]` is
// the device scale i opens. Devices are compared by what they are, not by name; one that does not
// exist yet is left to the opening. Throws ConfigError.
void RefuseSharedDevices(const std::vector<ScaleSpec>& scales,
                         const std::vector<std::string>& paths);

// The token in a token file: its first line without surrounding blanks, 16 to 256 letters,
// digits, '-', '.', '_' or '~' (so it can travel in a URL and a WebSocket subprotocol).
// The file must not be readable by others. Throws ConfigError.
std::string LoadToken(const std::string& path);

}  // namespace varnel::serve
