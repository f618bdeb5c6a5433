// System services for a control that never connects: no system directory, no files, no
// processes, and log lines go nowhere. For design-time hosts (form editing) and measurements.
#pragma once

#include "control/system.h"

namespace varnel {

class NullSystem : public System {
  public:
    std::string WindowsDirectory() override { return {}; }
    char PathSeparator() const override { return '/'; }
    std::optional<std::string> FindFile(const std::string&) override { return std::nullopt; }
    std::optional<Process> StartProcess(const std::string&,
                                        const std::vector<std::string>&) override {
        return std::nullopt;
    }
    std::int32_t WaitForProcess(Process, std::uint32_t) override { return kWaitFailed; }
    std::optional<std::int32_t> ProcessExitCode(Process) override { return std::nullopt; }
    bool CloseProcess(Process) override { return true; }
    void AppendToFile(const std::string&, std::string_view) override {}
};

}  // namespace varnel
