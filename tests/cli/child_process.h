// Runs a program with its stdout and stderr on pipes, for tests of the real binary.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace varnel::testing {

class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> argv) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    }
    ~ChildProcess() {
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(5));
        }
        ::close(out_);
        ::close(err_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int Pid() const { return pid_; }
    // The reading end of the child's stdout.
    int StdoutFd() const { return out_; }

    // The next line on stdout, or nullopt when none arrives in time.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto nl = outBuf_.find('\n'); nl != std::string::npos) {
                std::string line = outBuf_.substr(0, nl);
                outBuf_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            outBuf_.append(buf, static_cast<std::size_t>(n));
        }
    }

    void Signal(int sig) const { ::kill(pid_, sig); }

    // Exit code (128 + signal for a killed process), or nullopt when still running at the limit.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        if (exited_) return exitCode_;
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitCode_;
            }
            if (std::chrono::steady_clock::now() >= end) return std::nullopt;
            ::usleep(5000);
        }
    }

    // True when stdout and stderr both reach end of file within the limit (nobody holds them).
    bool OutputsClose(std::chrono::milliseconds limit) {
        std::string err;
        return ReachesEnd(out_, outBuf_, limit) && ReachesEnd(err_, err, limit);
    }

    // Everything left on stdout / stderr (after the process has ended).
    std::string RestOfStdout() { return outBuf_ + Drain(out_); }
    std::string Stderr() { return Drain(err_); }

  private:
    static bool ReachesEnd(int fd, std::string& sink, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return n == 0;
            sink.append(buf, static_cast<std::size_t>(n));
        }
    }
    static std::string Drain(int fd) {
        std::string s;
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 100) > 0) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            s.append(buf, static_cast<std::size_t>(n));
        }
        return s;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
    std::string outBuf_;
};

}  // namespace varnel::testing
