// varnel: the scale control on the command line.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "tools/varnel/commands.h"
#include "tools/varnel/units.h"

namespace {

template <typename Map>
std::vector<std::string> Keys(const Map& m) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : m)
        keys.push_back(k);
    return keys;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace varnel::cli;
    CLI::App app{"Varnel: read a bench weighing scale on an RS-232 line"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show the help of every subcommand");

    MonitorOptions monitor;
    auto* mon = app.add_subcommand("monitor", "Open the scale and print every reading and event");
    auto* device = mon->add_option("--device", monitor.device, "Serial device or pseudo-terminal");
    mon->add_option("--port", monitor.port, "Port number (resolved through the system directory)")
        ->check(CLI::Range(1, 255))
        ->excludes(device);
    mon->add_option("--units", monitor.units, "Units of NetWt")
        ->check(CLI::IsMember(Keys(UnitNames())))
        ->capture_default_str();
    mon->add_option("--notify", monitor.notify, "Report every frame or only changed weights")
        ->check(CLI::IsMember(Keys(NotifyNames())))
        ->capture_default_str();
    mon->add_option("--system-dir", monitor.systemDir,
                    "System directory (marker, log, initialiser; default $VARNEL_SYSTEM_DIR or "
                    "/var/lib/varnel)");
    mon->add_flag("--json", monitor.json, "One JSON object per line on stdout");

    PortsOptions ports;
    auto* prt =
        app.add_subcommand("ports", "List serial devices and the port numbers that open them");
    prt->add_option("--system-dir", ports.systemDir, "System directory");
    prt->add_option("--highest", ports.highest, "Highest port number to resolve")
        ->check(CLI::Range(1, 255))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "varnel: %s (see --help)\n", e.what());
        return 2;
    }

    if (mon->parsed())
        return RunMonitor(monitor);
    if (prt->parsed())
        return RunPorts(ports);
    return 2;
}
