// System services on POSIX: the control's system directory, case-insensitive file lookup (as
// file names are on Windows), process launch without a shell and a bounded wait, and log lines
// appended without following symbolic links.
#pragma once

#include <map>
#include <string>

#include "control/system.h"

namespace varnel::posix {

class PosixSystem : public System {
  public:
    explicit PosixSystem(std::string systemDir) : systemDir_(std::move(systemDir)) {}
    ~PosixSystem() override;

    std::string WindowsDirectory() override { return systemDir_; }
    char PathSeparator() const override { return '/'; }
    std::optional<std::string> FindFile(const std::string& path) override;
    std::optional<Process> StartProcess(const std::string& program,
                                        const std::vector<std::string>& args) override;
    std::int32_t WaitForProcess(Process process, std::uint32_t timeoutMs) override;
    std::optional<std::int32_t> ProcessExitCode(Process process) override;
    bool CloseProcess(Process process) override;
    void AppendToFile(const std::string& path, std::string_view text) override;

    // Processes started and not yet closed.
    std::size_t OpenProcesses() const { return children_.size(); }
    // Why the last StartProcess or WaitForProcess that did not succeed failed, for people.
    const std::string& LastFailure() const { return lastFailure_; }

  private:
    struct Child {
        int pid = -1;
        int pidfd = -1;
        bool reaped = false;
        int status = 0;
    };
    enum class ReapResult { Ended, Running, Failed };
    ReapResult Reap(Child& child, bool block);

    std::string systemDir_;
    std::map<Process, Child> children_;
    Process next_ = 1;
    std::string lastFailure_;
};

// The path of a normal file whose name matches the last part of path, exactly or else without
// regard to case; empty when there is none.
std::string FindFileIgnoringCase(const std::string& path);

}  // namespace varnel::posix
