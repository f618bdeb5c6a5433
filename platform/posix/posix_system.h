// System services on POSIX: the control's system directory, case-insensitive file lookup (as
// file names are on Windows), process launch without a shell and a bounded wait, and log lines
// appended to regular files only, without following symbolic links.
//
// A launched program runs in a process group of its own, with default signal dispositions, an
// empty signal mask, /dev/null as its standard input, output and error, and no other descriptor
// of ours, so neither its output nor anything it leaves running can reach the host's streams. It
// is waited for through a process descriptor; one that was reaped by someone else (SIGCHLD
// ignored, or a host that reaps every child) counts as ended with an unknown exit code.
//
// A stop request (SIGINT, SIGTERM or SIGHUP, unless ignored) that arrives while a program is
// waited for ends the wait at once as failed and is delivered to the host's handler when the wait
// returns; until the event loop has run the current handler to its end, no further program is
// started, so the remaining attempts of the opening fail at once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "control/system.h"

namespace varnel::posix {

class PosixSystem : public System {
  public:
    explicit PosixSystem(std::string systemDir) : systemDir_(std::move(systemDir)) {}
    ~PosixSystem() override;
    PosixSystem(const PosixSystem&) = delete;
    PosixSystem& operator=(const PosixSystem&) = delete;

    std::string WindowsDirectory() override { return systemDir_; }
    char PathSeparator() const override { return '/'; }
    std::optional<std::string> FindFile(const std::string& path) override;
    std::optional<Process> StartProcess(const std::string& program,
                                        const std::vector<std::string>& args) override;
    std::int32_t WaitForProcess(Process process, std::uint32_t timeoutMs) override;
    // The exit code, 128 + the signal for a program killed by one, or -1 when the program was
    // reaped by someone else.
    std::optional<std::int32_t> ProcessExitCode(Process process) override;
    // Stops a program still running (its whole process group) and reaps it.
    bool CloseProcess(Process process) override;
    // Appends to a regular file only; a file whose name differs only in case is appended to,
    // else the file is created under the given name.
    void AppendToFile(const std::string& path, std::string_view text) override;

    // Processes started and not yet closed.
    std::size_t OpenProcesses() const { return children_.size(); }
    // Why the last StartProcess or WaitForProcess that did not succeed failed, for people.
    const std::string& LastFailure() const { return lastFailure_; }

    // Queues a call to run after the current handler of the event loop; set by the runtime.
    void SetPost(std::function<void(std::function<void()>)> post) { post_ = std::move(post); }

  private:
    struct Child {
        int pid = -1;
        int pidfd = -1;
        bool reaped = false;
        int exitCode = -1;
    };
    enum class ReapResult { Ended, Running, Failed };
    ReapResult Reap(Child& child, bool block);
    void StopRequested();

    std::string systemDir_;
    std::map<Process, Child> children_;
    Process next_ = 1;
    std::string lastFailure_;
    bool stopping_ = false;
    std::function<void(std::function<void()>)> post_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The path of a normal file whose name matches the last part of path, exactly or else without
// regard to case; empty when there is none.
std::string FindFileIgnoringCase(const std::string& path);

}  // namespace varnel::posix
