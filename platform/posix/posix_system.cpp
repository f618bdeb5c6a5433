#include "platform/posix/posix_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
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
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

struct Launched {
    int pid = -1;
    int pidfd = -1;
    int error = 0;      // why it could not start
    bool gone = false;  // ended and reaped elsewhere before a descriptor could be had
};

// Starts path in a process group of its own, with default signal dispositions, an empty mask,
// /dev/null for its standard streams and no other descriptor of ours.
Launched Launch(const char* path, char* const argv[]) {
    Launched out;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    pid_t pid = -1;
    out.error = ::posix_spawn(&pid, path, &files, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (out.error != 0) return out;
    out.pid = pid;
    out.pidfd = OpenPidfd(pid);
    out.gone = out.pidfd < 0 && errno == ESRCH;
    return out;
}

// The stop signals that are not ignored, blocked for the lifetime of this object so that one
// arriving stays pending (and can be seen through a descriptor) instead of being handled.
class HeldStopSignals {
  public:
    HeldStopSignals() {
        sigemptyset(&set_);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction current {};
            if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
                sigaddset(&set_, sig);
            }
        }
        ::pthread_sigmask(SIG_BLOCK, &set_, &old_);
        fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    // Unblocking delivers a pending stop signal to the host's handler.
    ~HeldStopSignals() {
        if (fd_ >= 0) ::close(fd_);
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    HeldStopSignals(const HeldStopSignals&) = delete;
    HeldStopSignals& operator=(const HeldStopSignals&) = delete;

    // Readable while a stop signal is pending; -1 when none could be made.
    int Fd() const { return fd_; }

  private:
    sigset_t set_;
    sigset_t old_;
    int fd_ = -1;
};

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
    alive_.reset();
    for (auto& [id, child] : children_) {
        if (!child.reaped) {
            ::kill(-child.pid, SIGKILL);
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
    if (stopping_) {
        lastFailure_ = "not started: a stop was requested";
        return std::nullopt;
    }
    const std::string resolved = FindFileIgnoringCase(program);
    const std::string& path = resolved.empty() ? program : resolved;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const Launched launched = Launch(path.c_str(), argv.data());
    if (launched.error != 0) {
        lastFailure_ = std::strerror(launched.error);
        return std::nullopt;
    }
    Child child;
    child.pid = launched.pid;
    child.pidfd = launched.pidfd;
    child.reaped = launched.gone;
    const Process id = next_++;
    children_[id] = child;
    return id;
}

PosixSystem::ReapResult PosixSystem::Reap(Child& child, bool block) {
    if (child.reaped) return ReapResult::Ended;
    const int options = WEXITED | (block ? 0 : WNOHANG);
    for (;;) {
        siginfo_t info{};
        const int r = child.pidfd >= 0
                          ? ::waitid(P_PIDFD, static_cast<id_t>(child.pidfd), &info, options)
                          : ::waitid(P_PID, static_cast<id_t>(child.pid), &info, options);
        if (r == 0 && info.si_pid == 0) return ReapResult::Running;
        if (r == 0) {
            child.reaped = true;
            child.exitCode = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
            return ReapResult::Ended;
        }
        if (errno == EINTR) continue;
        if (errno == ECHILD) {
            // Reaped by someone else (SIGCHLD ignored, or a handler of the host's): it ended.
            child.reaped = true;
            return ReapResult::Ended;
        }
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
    const HeldStopSignals stop;
    for (;;) {
        const ReapResult state = Reap(child, false);
        if (state == ReapResult::Ended) return kWaitEnded;
        if (state == ReapResult::Failed) {
            lastFailure_ = std::string("waiting failed: ") + std::strerror(errno);
            return kWaitFailed;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            lastFailure_ = "still running after " + std::to_string(timeoutMs) + " ms; stopped";
            return kWaitTimedOut;
        }
        // Without a process descriptor, look again every 5 ms.
        pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {child.pidfd, POLLIN, 0}};
        const int timeout = child.pidfd >= 0 ? static_cast<int>(left.count())
                                             : static_cast<int>(std::min<long>(left.count(), 5));
        const int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) {
            lastFailure_ = std::string("waiting failed: ") + std::strerror(errno);
            return kWaitFailed;
        }
        if (r > 0 && (fds[0].revents & POLLIN)) {
            StopRequested();
            lastFailure_ = "a stop was requested; stopped";
            return kWaitFailed;
        }
    }
}

void PosixSystem::StopRequested() {
    if (stopping_) return;
    stopping_ = true;
    if (!post_) {
        stopping_ = false;
        return;
    }
    std::weak_ptr<int> alive = alive_;
    post_([this, alive] {
        if (!alive.expired()) stopping_ = false;
    });
}

std::optional<std::int32_t> PosixSystem::ProcessExitCode(Process process) {
    auto it = children_.find(process);
    if (it == children_.end() || !it->second.reaped) return std::nullopt;
    return it->second.exitCode;
}

bool PosixSystem::CloseProcess(Process process) {
    auto it = children_.find(process);
    if (it == children_.end()) return false;
    Child& child = it->second;
    if (Reap(child, false) == ReapResult::Running) {
        // Still running past its bound: stop it and whatever it started, so that nothing lingers
        // and no zombie is left. Until it is reaped its pid names its group.
        if (::kill(-child.pid, SIGKILL) != 0) ::kill(child.pid, SIGKILL);
        Reap(child, true);
    }
    if (child.pidfd >= 0) ::close(child.pidfd);
    children_.erase(it);
    return true;
}

void PosixSystem::AppendToFile(const std::string& path, std::string_view text) {
    // Never blocks (a FIFO in the log's place), never follows a link, never takes a terminal.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        const std::string other = FindFileIgnoringCase(path);
        fd = other.empty() ? ::open(path.c_str(), kFlags | O_CREAT, 0644)
                           : ::open(other.c_str(), kFlags);
    }
    if (fd < 0) {
        throw AutomationError(err::kPermissionDenied, path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw AutomationError(err::kPermissionDenied, path + ": not a regular file");
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
