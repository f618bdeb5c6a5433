// The varnel subcommands. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "tools/varnel/session.h"

namespace varnel::cli {

// Exit codes besides 0 (done), 1 (an error) and 2 (a usage error).
inline constexpr int kExitTimeout = 3;  // no (stable) valid weight in time
inline constexpr int kExitLost = 4;     // monitor --exit-on-lost: the link was lost

struct MonitorOptions {
    LinkOptions link;
    std::string notify;  // empty: as the form (or a new control) has it
    bool json = false;
    int count = 0;         // stop after this many valid weights; 0: no limit
    double timeout = 0.0;  // seconds without a valid weight before exiting 3; 0: no limit
    bool exitOnLost = false;
};
int RunMonitor(const MonitorOptions& options);

struct ReadOptions {
    LinkOptions link;
    int stable = 1;  // consecutive valid frames with the same raw weight
    double timeout = 10.0;
    bool json = false;
};
int RunRead(const ReadOptions& options);

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

struct ServeOptions {
    std::string listen = "127.0.0.1:8398";
    std::string config;  // a JSON file of scales; else one scale named "default"
    std::string device;
    int port = 0;  // 0: port 1
    std::string units;
    std::string notify;
    std::string systemDir;
    std::vector<std::string> allowOrigins;
    std::string tokenFile;
    int maxClients = 64;
};
int RunServe(const ServeOptions& options);

// Prints the About dialog's text.
int RunAbout();

struct DemoOptions {
    double duration = 13.0;  // seconds
};
int RunDemo(const DemoOptions& options);

}  // namespace varnel::cli
