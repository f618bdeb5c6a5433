// The varnel subcommands. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace varnel::cli {

struct MonitorOptions {
    std::string device;  // bound to the control's port number when set
    int port = 0;        // 0: the control's own (1, or the form file's)
    std::string units = "pounds";
    std::string notify = "everytime";
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

}  // namespace varnel::cli
