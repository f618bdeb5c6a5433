// One control's view of the runtime's system services: everything is passed through, and a port
// initialiser that cannot be started, waited for or closed is reported to the control's
// OpenListener with the reason. An initialiser that is not installed is no failure.
#pragma once

#include <map>
#include <string>

#include "control/system.h"
#include "platform/posix/open_failure.h"
#include "platform/posix/posix_system.h"

namespace varnel::posix {

class ReportingSystem : public System {
  public:
    ReportingSystem(PosixSystem& system, OpenListener listener)
        : system_(system), listener_(std::move(listener)) {}

    std::string WindowsDirectory() override { return system_.WindowsDirectory(); }
    char PathSeparator() const override { return system_.PathSeparator(); }
    std::optional<std::string> FindFile(const std::string& path) override {
        return system_.FindFile(path);
    }
    std::optional<Process> StartProcess(const std::string& program,
                                        const std::vector<std::string>& args) override;
    std::int32_t WaitForProcess(Process process, std::uint32_t timeoutMs) override;
    std::optional<std::int32_t> ProcessExitCode(Process process) override;
    bool CloseProcess(Process process) override;
    void AppendToFile(const std::string& path, std::string_view text) override {
        system_.AppendToFile(path, text);
    }

  private:
    void Report(const std::string& program, std::int32_t code, const std::string& why);

    PosixSystem& system_;
    OpenListener listener_;
    std::map<Process, std::string> programs_;  // the path each process was started from
};

}  // namespace varnel::posix
