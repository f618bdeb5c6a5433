#include "platform/posix/posix_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "control/errors.h"

extern char** environ;

namespace varnel::posix {

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int OpenPidfd(int pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

std::string FindFileIgnoringCase(const std::string& path) {
    if (IsRegularFile(path)) return path;
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name.c_str()) == 0) {
            const std::string candidate =
                (slash == std::string::npos ? std::string() : dir) + e->d_name;
            if (IsRegularFile(candidate)) {
                found = candidate;
                break;
            }
        }
    }
    ::closedir(d);
    return found;
}

PosixSystem::~PosixSystem() {
    for (auto& [id, child] : children_) {
        if (!child.reaped) {
            ::kill(child.pid, SIGKILL);
            Reap(child, true);
        }
        if (child.pidfd >= 0) ::close(child.pidfd);
    }
}

std::optional<std::string> PosixSystem::FindFile(const std::string& path) {
    const std::string found = FindFileIgnoringCase(path);
    if (found.empty()) return std::nullopt;
    return found.substr(found.find_last_of('/') + 1);
}

std::optional<System::Process> PosixSystem::StartProcess(const std::string& program,
                                                         const std::vector<std::string>& args) {
    const std::string resolved = FindFileIgnoringCase(program);
    const std::string& path = resolved.empty() ? program : resolved;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (const int rc = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
        rc != 0) {
        lastFailure_ = std::strerror(rc);
        return std::nullopt;
    }
    Child child;
    child.pid = pid;
    child.pidfd = OpenPidfd(pid);
    const Process id = next_++;
    children_[id] = child;
    return id;
}

PosixSystem::ReapResult PosixSystem::Reap(Child& child, bool block) {
    if (child.reaped) return ReapResult::Ended;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(child.pid, &status, block ? 0 : WNOHANG);
        if (r == child.pid) {
            child.reaped = true;
            child.status = status;
            return ReapResult::Ended;
        }
        if (r == 0) return ReapResult::Running;
        if (errno == EINTR) continue;
        return ReapResult::Failed;
    }
}

std::int32_t PosixSystem::WaitForProcess(Process process, std::uint32_t timeoutMs) {
    auto it = children_.find(process);
    if (it == children_.end()) {
        lastFailure_ = "no such process";
        return kWaitFailed;
    }
    Child& child = it->second;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const ReapResult state = Reap(child, false);
        if (state == ReapResult::Ended) return kWaitEnded;
        if (state == ReapResult::Failed) {
            lastFailure_ = std::strerror(errno);
            return kWaitFailed;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            lastFailure_ = "still running after " + std::to_string(timeoutMs) + " ms; stopped";
            return kWaitTimedOut;
        }
        if (child.pidfd >= 0) {
            pollfd p{child.pidfd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno != EINTR) {
                lastFailure_ = std::strerror(errno);
                return kWaitFailed;
            }
        } else {
            // No process descriptors on this kernel: look again every 5 ms.
            timespec ts{0, 5'000'000};
            ::nanosleep(&ts, nullptr);
        }
    }
}

std::optional<std::int32_t> PosixSystem::ProcessExitCode(Process process) {
    auto it = children_.find(process);
    if (it == children_.end() || !it->second.reaped) return std::nullopt;
    const int status = it->second.status;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return std::nullopt;
}

bool PosixSystem::CloseProcess(Process process) {
    auto it = children_.find(process);
    if (it == children_.end()) return false;
    Child& child = it->second;
    if (Reap(child, false) == ReapResult::Running) {
        // Still running past its bound: stop it, so that it neither lingers nor is left a zombie.
        ::kill(child.pid, SIGKILL);
        Reap(child, true);
    }
    if (child.pidfd >= 0) ::close(child.pidfd);
    children_.erase(it);
    return true;
}

void PosixSystem::AppendToFile(const std::string& path, std::string_view text) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw AutomationError(err::kPermissionDenied, path + ": " + std::strerror(errno));
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            throw AutomationError(err::kPermissionDenied, path + ": " + std::strerror(e));
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace varnel::posix
