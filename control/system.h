// Operating-system services: the system directory, file lookup, process launch, log files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

class System {
  public:
    using Process = std::uint64_t;

    // Results of WaitForProcess.
    static constexpr std::int32_t kWaitEnded = 0;
    static constexpr std::int32_t kWaitTimedOut = 258;
    static constexpr std::int32_t kWaitFailed = -1;

    virtual ~System() = default;

    // The system ("Windows") directory, any length, empty when it cannot be found.
    virtual std::string WindowsDirectory() = 0;
    // The separator that ends a directory name.
    virtual char PathSeparator() const = 0;
    // Looks a normal file up by its path; the file's name as the directory spells it, or nullopt.
    virtual std::optional<std::string> FindFile(const std::string& path) = 0;
    // Starts program with args, no shell; nullopt when it could not be started.
    virtual std::optional<Process> StartProcess(const std::string& program,
                                                const std::vector<std::string>& args) = 0;
    // kWaitEnded, kWaitTimedOut or kWaitFailed.
    virtual std::int32_t WaitForProcess(Process process, std::uint32_t timeoutMs) = 0;
    virtual std::optional<std::int32_t> ProcessExitCode(Process process) = 0;
    // Releases everything held for the process; false when that failed.
    virtual bool CloseProcess(Process process) = 0;
    // Appends text to the file, creating it when absent. Raises AutomationError on failure.
    virtual void AppendToFile(const std::string& path, std::string_view text) = 0;
};

}  // namespace varnel
