#include "tools/varnel/serve/config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "tools/varnel/units.h"

namespace varnel::serve {

namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxScales = 64;

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The whole of a regular file no larger than `limit`.
std::string ReadSmallFile(const std::string& path, std::size_t limit, const char* what) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw ConfigError(path + ": cannot read the " + what);
    if (!S_ISREG(st.st_mode)) throw ConfigError(path + ": the " + what + " is not a regular file");
    if (static_cast<std::size_t>(st.st_size) > limit) {
        throw ConfigError(path + ": the " + what + " is larger than " + std::to_string(limit) +
                          " bytes");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(path + ": cannot read the " + what);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ScaleSpec ParseScale(const json& j, std::size_t index, const std::string& source) {
    const std::string where = source + ": scale " + std::to_string(index + 1);
    if (!j.is_object()) throw ConfigError(where + " is not an object");
    ScaleSpec s;
    bool hasName = false, hasDevice = false, hasPort = false;
    for (const auto& [key, value] : j.items()) {
        if (key == "name") {
            if (!value.is_string() || !ValidScaleName(value.get<std::string>())) {
                throw ConfigError(where + ": \"name\" must be 1 to 32 letters, digits, '-' or '_'");
            }
            s.name = value.get<std::string>();
            hasName = true;
        } else if (key == "device") {
            if (!value.is_string() || value.get<std::string>().empty()) {
                throw ConfigError(where + ": \"device\" must be a path");
            }
            s.device = value.get<std::string>();
            hasDevice = true;
        } else if (key == "port") {
            if (!value.is_number_integer() || value.get<long long>() < 1 ||
                value.get<long long>() > 255) {
                throw ConfigError(where + ": \"port\" must be a number from 1 to 255");
            }
            s.port = value.get<int>();
            hasPort = true;
        } else if (key == "units") {
            const auto units =
                value.is_string() ? cli::ParseUnits(value.get<std::string>()) : std::nullopt;
            if (!units) throw ConfigError(where + ": \"units\" must be " + cli::kUnitsChoices);
            s.units = units;
        } else if (key == "notify") {
            const auto notify =
                value.is_string() ? cli::ParseNotify(value.get<std::string>()) : std::nullopt;
            if (!notify) throw ConfigError(where + ": \"notify\" must be " + cli::kNotifyChoices);
            s.notify = notify;
        } else {
            throw ConfigError(where + ": unknown key \"" + key +
                              "\" (known: name, device, port, units, notify)");
        }
    }
    if (!hasName) throw ConfigError(where + " has no \"name\"");
    if (hasDevice == hasPort) throw ConfigError(where + " needs either \"device\" or \"port\"");
    return s;
}

}  // namespace

bool ValidScaleName(std::string_view name) {
    return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

std::vector<ScaleSpec> ParseScales(std::string_view text, const std::string& source) {
    // nlohmann keeps the last of two equal keys; a configuration that says a thing twice is an
    // error here.
    std::vector<std::set<std::string>> open;
    std::string duplicate;
    const json::parser_callback_t check = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) open.emplace_back();
        if (event == json::parse_event_t::object_end && !open.empty()) open.pop_back();
        if (event == json::parse_event_t::key && !open.empty() &&
            !open.back().insert(parsed.get<std::string>()).second && duplicate.empty()) {
            duplicate = parsed.get<std::string>();
        }
        return true;
    };
    json root;
    try {
        root = json::parse(text.begin(), text.end(), check);
    } catch (const json::parse_error& e) {
        std::string what = e.what();
        if (auto p = what.find("parse error"); p != std::string::npos) what = what.substr(p);
        throw ConfigError(source + ": not valid JSON: " + what);
    }
    if (!duplicate.empty()) {
        throw ConfigError(source + ": the key \"" + duplicate + "\" appears twice in an object");
    }
    if (root.is_object()) {
        if (root.size() != 1 || !root.contains("scales")) {
            throw ConfigError(source + ": expected an array of scales or {\"scales\": [...]}");
        }
        root = root["scales"];
    }
    if (!root.is_array()) {
        throw ConfigError(source + ": expected an array of scales or {\"scales\": [...]}");
    }
    if (root.empty()) throw ConfigError(source + ": no scales");
    if (root.size() > kMaxScales) {
        throw ConfigError(source + ": more than " + std::to_string(kMaxScales) + " scales");
    }
    std::vector<ScaleSpec> scales;
    std::set<std::string> names, lines;
    for (std::size_t i = 0; i < root.size(); ++i) {
        ScaleSpec s = ParseScale(root[i], i, source);
        if (!names.insert(Lower(s.name)).second) {
            throw ConfigError(source + ": the name \"" + s.name + "\" is used twice");
        }
        const std::string line = s.device.empty() ? "port " + std::to_string(s.port) : s.device;
        if (!lines.insert(line).second) {
            throw ConfigError(source + ": scale \"" + s.name + "\" uses " + line +
                              ", like an earlier scale");
        }
        scales.push_back(std::move(s));
    }
    return scales;
}

std::vector<ScaleSpec> LoadScales(const std::string& path) {
    return ParseScales(ReadSmallFile(path, kMaxFileBytes, "configuration file"), path);
}

ListenAddress ParseListen(std::string_view text) {
    const auto bad = [&](const std::string& why) {
        return ConfigError("--listen " + std::string(text) + ": " + why);
    };
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) throw bad("expected ADDR:PORT");
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        throw bad("write an IPv6 address in brackets, e.g. [::1]:8398");
    }
    if (host.empty()) throw bad("no address");
    unsigned char address[16];
    if (::inet_pton(AF_INET, std::string(host).c_str(), address) != 1 &&
        ::inet_pton(AF_INET6, std::string(host).c_str(), address) != 1) {
        throw bad("give a numeric address, e.g. 127.0.0.1:8398 or [::1]:8398");
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
        throw bad("the port must be a number from 0 to 65535");
    }
    return ListenAddress{std::string(host), static_cast<std::uint16_t>(value)};
}

std::string ParseOrigin(std::string_view text) {
    if (text == "*") return "*";
    const auto bad = [&] {
        return ConfigError("--allow-origin " + std::string(text) +
                           ": give * or an origin such as http://pos.example:8080 (a scheme, "
                           "host and optional port, nothing after them)");
    };
    const auto sep = text.find("://");
    if (sep == std::string_view::npos || sep == 0) throw bad();
    std::string scheme = Lower(text.substr(0, sep));
    const bool schemeOk =
        std::isalpha(static_cast<unsigned char>(scheme.front())) &&
        std::all_of(scheme.begin(), scheme.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        });
    std::string_view rest = text.substr(sep + 3);
    std::string_view host = rest, port;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) throw bad();
        host = rest.substr(0, close + 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':') throw bad();
        port = rest.empty() ? rest : rest.substr(1);
        unsigned char v6[16];
        if (::inet_pton(AF_INET6, std::string(host.substr(1, host.size() - 2)).c_str(), v6) != 1)
            throw bad();
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        port = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        const bool nameOk =
            !host.empty() && host.front() != '.' && host.front() != '-' &&
            std::all_of(host.begin(), host.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
            });
        if (!nameOk) throw bad();
    }
    if (!schemeOk || (port.empty() && rest.find(':') != std::string_view::npos)) throw bad();
    std::string origin = scheme + "://" + Lower(host);
    if (!port.empty()) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
            throw bad();
        }
        const bool implied =
            (scheme == "http" && value == 80) || (scheme == "https" && value == 443);
        if (!implied) origin += ":" + std::to_string(value);
    }
    return origin;
}

void RefuseSharedDevices(const std::vector<ScaleSpec>& scales,
                         const std::vector<std::string>& paths) {
    // A character device is its device number, whatever file names it; anything else its inode.
    std::map<std::tuple<bool, dev_t, ino_t>, std::size_t> seen;
    for (std::size_t i = 0; i < scales.size() && i < paths.size(); ++i) {
        struct stat st {};
        if (::stat(paths[i].c_str(), &st) != 0) continue;
        const bool chr = S_ISCHR(st.st_mode);
        const auto key = chr ? std::make_tuple(true, st.st_rdev, ino_t{0})
                             : std::make_tuple(false, st.st_dev, st.st_ino);
        const auto [it, added] = seen.emplace(key, i);
        if (!added) {
            const std::size_t first = it->second;
            throw ConfigError("scale \"" + scales[i].name + "\" uses " + paths[i] +
                              ", the same device as scale \"" + scales[first].name + "\" (" +
                              paths[first] + ")");
        }
    }
}

std::string LoadToken(const std::string& path) {
    std::string text = ReadSmallFile(path, 4096, "token file");
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH)) {
        throw ConfigError(path + ": the token file is readable by every user (chmod o-r)");
    }
    text = text.substr(0, text.find('\n'));
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    const bool ok = text.size() >= 16 && text.size() <= 256 &&
                    std::all_of(text.begin(), text.end(), [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' ||
                               c == '.' || c == '_' || c == '~';
                    });
    if (!ok) {
        throw ConfigError(path +
                          ": the token must be 16 to 256 letters, digits, '-', '.', '_' or '~' "
                          "on the first line");
    }
    return text;
}

}  // namespace varnel::serve
