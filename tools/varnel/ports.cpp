// varnel ports: the serial devices on this machine and the port numbers that open them.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/port_resolver.h"
#include "tools/varnel/commands.h"

namespace varnel::cli {

namespace fs = std::filesystem;

namespace {

std::string Canonical(const fs::path& p) {
    std::error_code ec;
    fs::path c = fs::canonical(p, ec);
    return ec ? std::string() : c.string();
}

// Real serial devices: USB and ACM adapters always, built-in UARTs only when the driver found
// hardware behind them.
std::set<std::string> SerialDevices() {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/sys/class/tty", ec)) {
        const std::string name = e.path().filename().string();
        if (!fs::exists(e.path() / "device", ec)) continue;
        if (name.rfind("ttyS", 0) == 0) {
            std::ifstream type(e.path() / "type");
            int t = 0;
            if (!(type >> t) || t == 0) continue;
        }
        if (fs::exists("/dev/" + name, ec)) out.insert("/dev/" + name);
    }
    return out;
}

std::map<std::string, std::string> StableNames() {
    std::map<std::string, std::string> names;  // device -> /dev/serial/by-id/... link
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/dev/serial/by-id", ec)) {
        const std::string target = Canonical(e.path());
        if (!target.empty()) names[target] = e.path().string();
    }
    return names;
}

}  // namespace

int RunPorts(const PortsOptions& o) {
    const posix::PortResolver resolver(o.systemDir.empty() ? posix::DefaultSystemDir()
                                                           : o.systemDir);
    std::set<std::string> devices = SerialDevices();
    const auto stable = StableNames();

    std::map<std::string, std::vector<int>> portsOf;  // device -> port numbers opening it
    std::vector<std::pair<int, std::string>> dangling;
    for (int n = 1; n <= o.highest; ++n) {
        const std::string path = resolver.Resolve(static_cast<std::int16_t>(n));
        const std::string target = Canonical(path);
        if (target.empty()) {
            if (path.rfind("/dev/ttyS", 0) != 0) dangling.emplace_back(n, path);
            continue;
        }
        if (path.rfind("/dev/ttyS", 0) == 0 && !devices.count(target)) continue;
        devices.insert(target);
        portsOf[target].push_back(n);
    }

    std::printf("System directory: %s\n", resolver.SystemDir().c_str());
    if (devices.empty()) std::printf("No serial devices found.\n");
    for (const auto& d : devices) {
        std::string line = d;
        if (auto it = stable.find(d); it != stable.end()) line += "  (" + it->second + ")";
        auto it = portsOf.find(d);
        if (it == portsOf.end()) {
            line += "  no port number; use --device " + d;
        } else {
            line += "  port";
            for (int n : it->second)
                line += " " + std::to_string(n);
        }
        std::printf("  %s\n", line.c_str());
    }
    for (const auto& [n, path] : dangling) {
        std::printf("  port %d -> %s: missing\n", n, path.c_str());
    }
    return 0;
}

}  // namespace varnel::cli
