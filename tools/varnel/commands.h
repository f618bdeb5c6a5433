// The varnel subcommands. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace varnel::cli {

struct MonitorOptions {
    std::string device;  // bound to the control's port number when set
    int port = 0;        // 0: the control's own (1, or the form file's)
    std::string units;   // empty: as the form (or a new control) has it
    std::string notify;  // empty: as the form (or a new control) has it
    std::string systemDir;
    std::string form;
    bool json = false;
};
int RunMonitor(const MonitorOptions& options);

struct PortsOptions {
    std::string systemDir;
    int highest = 32;  // port numbers 1..highest are resolved
};
int RunPorts(const PortsOptions& options);

struct SimulateOptions {
    std::string device;
    bool pty = false;
    std::string layout = "kg";
    std::string status = "0";
    std::string script = "steady:1.25";
    std::vector<std::string> faults;
    double duration = 0.0;  // seconds; 0 runs until stopped or the script ends
    unsigned long long seed = 1;
};
int RunSimulate(const SimulateOptions& options);

struct FormOptions {
    std::string action;  // show, get or set
    std::string file;
    std::string key;
    std::string value;
};
int RunForm(const FormOptions& options);

// Prints the About dialog's text.
int RunAbout();

struct DemoOptions {
    double duration = 13.0;  // seconds
};
int RunDemo(const DemoOptions& options);

}  // namespace varnel::cli
