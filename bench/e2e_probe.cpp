// End-to-end probes on a pseudo-terminal:
//   e2e_probe latency [N]        CR written to the line -> host's OnScaleComm handler (in process)
//   e2e_probe cli-latency BIN [N] CR written -> JSON line read from `BIN monitor --json`
//   e2e_probe cpu BIN [SECONDS]  CPU of `BIN monitor` while a scale streams 21.8 frames/s
//   e2e_probe idle BIN [SECONDS] wake-ups of `BIN monitor` on a silent line (retrying)
//   e2e_probe cpu-compare SECONDS ROUNDS CMD... CPU of several programs side by side, each on
//                                its own pseudo-terminal fed the same frames at the same moments;
//                                each CMD is one argument, words split at blanks, {} standing for
//                                the device. Ratios are to the second CMD.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.h"
#include "host/scale.h"
#include "tools/sim/pty.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace sim = varnel::sim;
using varnel::bench::Report;

std::string Frame(int i) {
    char w[12];  // room for any int, so the compiler sees no truncation
    std::snprintf(w, sizeof w, "%05d", i % 100000);
    return std::string("\x02") + "@  " + w + "\r";  // grams, status 0
}

// Writes frame i's first nine characters, then after a pause its CR, noting when the CR went.
void Writer(const sim::Pty& pty, int n, std::vector<Clock::time_point>& sent,
            std::atomic<bool>& stop, std::chrono::microseconds period) {
    auto next = Clock::now() + 300ms;
    for (int i = 0; i < n && !stop; ++i) {
        std::this_thread::sleep_until(next);
        const std::string f = Frame(i);
        if (::write(pty.master(), f.data(), 9) != 9) break;
        std::this_thread::sleep_for(2ms);
        sent[static_cast<std::size_t>(i)] = Clock::now();
        if (::write(pty.master(), f.data() + 9, 1) != 1) break;
        next += period;
    }
}

int InProcessLatency(int n) {
    sim::Pty pty = sim::OpenPty();
    varnel::posix::EventLoop loop;
    varnel::posix::Runtime runtime(loop, "/nonexistent");
    runtime.Ports().Bind(1, pty.slavePath());
    varnel::host::Scale scale(runtime);
    std::vector<Clock::time_point> sent(static_cast<std::size_t>(n)),
        got(static_cast<std::size_t>(n));
    int received = 0;
    scale.Container().SubscribeScaleComm([&] {
        const auto now = Clock::now();
        if (scale->ScaleCommEvent() != 1) return;
        const int i = std::stoi(scale->RawWt());
        if (i < n) got[static_cast<std::size_t>(i)] = now;
        if (++received == n) loop.Stop();
    });
    std::int16_t open = -1;
    if (scale->ScaleOpen(open) != 1) return 1;
    std::atomic<bool> stop{false};
    std::thread w(Writer, std::cref(pty), n, std::ref(sent), std::ref(stop), 20000us);
    loop.RunFor(std::chrono::milliseconds(500 + 25 * n));
    stop = true;
    w.join();
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (got[k] > sent[k] && sent[k] != Clock::time_point{}) {
            us.push_back(std::chrono::duration<double, std::micro>(got[k] - sent[k]).count());
        }
    }
    Report("CR -> OnScaleComm handler", us);
    return 0;
}

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child Spawn(const std::vector<std::string>& args, bool captureStdout) {
    Child c;
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (captureStdout) {
        if (::pipe(fds) != 0) std::exit(1);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&fa);
    if (captureStdout) {
        ::close(fds[1]);
        c.out = fds[0];
    }
    return c;
}

void Stop(Child& c) {
    ::kill(c.pid, SIGTERM);
    int st = 0;
    ::waitpid(c.pid, &st, 0);
    if (c.out >= 0) ::close(c.out);
}

int CliLatency(const std::string& bin, int n) {
    sim::Pty pty = sim::OpenPty();
    Child c = Spawn({bin, "monitor", "--device", pty.slavePath(), "--json", "--system-dir",
                     "/nonexistent", "--units", "grams"},
                    true);
    std::vector<Clock::time_point> sent(static_cast<std::size_t>(n)),
        got(static_cast<std::size_t>(n));
    std::atomic<bool> stop{false};
    std::thread w(Writer, std::cref(pty), n, std::ref(sent), std::ref(stop), 20000us);
    std::string buf;
    int received = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(1000 + 25 * n);
    while (received < n && Clock::now() < end) {
        pollfd p{c.out, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char tmp[4096];
        const ssize_t r = ::read(c.out, tmp, sizeof tmp);
        const auto now = Clock::now();
        if (r <= 0) break;
        buf.append(tmp, static_cast<std::size_t>(r));
        for (std::size_t nl; (nl = buf.find('\n')) != std::string::npos;) {
            const std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            const auto k = line.find("\"RawWt\":\"");
            if (k == std::string::npos || line.find("\"ScaleCommEvent\":1") == std::string::npos)
                continue;
            const int i = std::stoi(line.substr(k + 9, 5));
            if (i < n) got[static_cast<std::size_t>(i)] = now;
            ++received;
        }
    }
    stop = true;
    w.join();
    Stop(c);
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (got[k] > sent[k] && sent[k] != Clock::time_point{}) {
            us.push_back(std::chrono::duration<double, std::micro>(got[k] - sent[k]).count());
        }
    }
    Report("CR -> JSON line on the CLI's stdout", us);
    return 0;
}

// CPU time (nanoseconds on a CPU) and context switches of a process.
struct Usage {
    long long cpuNs = 0;
    long switches = 0;
};

Usage UsageOf(pid_t pid) {
    Usage u;
    std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
    sched >> u.cpuNs;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.find("ctxt_switches:") != std::string::npos) {
            u.switches += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return u;
}

int Cpu(const std::string& bin, int seconds) {
    sim::Pty pty = sim::OpenPty();
    Child c =
        Spawn({bin, "monitor", "--device", pty.slavePath(), "--system-dir", "/nonexistent"}, false);
    std::this_thread::sleep_for(500ms);
    const Usage before = UsageOf(c.pid);
    // A scale at the line rate: one 10-character frame every 45.87 ms (21.8 frames/s).
    const auto period = std::chrono::microseconds(45872);
    auto next = Clock::now();
    const auto end = next + std::chrono::seconds(seconds);
    int frames = 0;
    while (next < end) {
        const std::string f = Frame(frames++);
        if (::write(pty.master(), f.data(), f.size()) < 0) break;
        next += period;
        std::this_thread::sleep_until(next);
    }
    const Usage after = UsageOf(c.pid);
    Stop(c);
    const double cpu = static_cast<double>(after.cpuNs - before.cpuNs) / 1e9 / seconds * 100.0;
    std::printf("streaming %d frames in %d s: monitor CPU %.3f %% of one core, %.1f wake-ups/s\n",
                frames, seconds, cpu,
                static_cast<double>(after.switches - before.switches) / seconds);
    return 0;
}

int Idle(const std::string& bin, int seconds) {
    sim::Pty pty = sim::OpenPty();
    Child c =
        Spawn({bin, "monitor", "--device", pty.slavePath(), "--system-dir", "/nonexistent"}, false);
    std::this_thread::sleep_for(1500ms);  // the watchdog has reported the silence
    const Usage before = UsageOf(c.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Usage after = UsageOf(c.pid);
    Stop(c);
    std::printf(
        "silent line for %d s: %ld wake-ups (%.2f/s; the retry timer ticks every 3 s), "
        "%.3f ms CPU\n",
        seconds, after.switches - before.switches,
        static_cast<double>(after.switches - before.switches) / seconds,
        static_cast<double>(after.cpuNs - before.cpuNs) / 1e6);
    return 0;
}

std::vector<std::string> Words(const std::string& command, const std::string& device) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < command.size()) {
        std::size_t end = command.find(' ', start);
        if (end == std::string::npos) end = command.size();
        if (end > start) {
            std::string w = command.substr(start, end - start);
            out.push_back(w == "{}" ? device : w);
        }
        start = end + 1;
    }
    return out;
}

// Every round runs all commands at once, so that they share the machine's load; the order of the
// ptys the writer serves is rotated from round to round.
int CpuCompare(int seconds, int rounds, const std::vector<std::string>& commands) {
    const std::size_t n = commands.size();
    std::vector<std::vector<double>> cpu(n);
    for (int round = 0; round < rounds; ++round) {
        std::vector<sim::Pty> ptys;
        std::vector<Child> children;
        for (std::size_t i = 0; i < n; ++i) {
            ptys.push_back(sim::OpenPty());
            children.push_back(Spawn(Words(commands[i], ptys.back().slavePath()), false));
        }
        std::this_thread::sleep_for(700ms);
        std::vector<Usage> before;
        for (const auto& c : children)
            before.push_back(UsageOf(c.pid));
        const auto period = std::chrono::microseconds(45872);
        auto next = Clock::now();
        const auto end = next + std::chrono::seconds(seconds);
        int frames = 0;
        while (next < end) {
            const std::string f = Frame(frames++);
            for (std::size_t k = 0; k < n; ++k) {
                const auto& pty = ptys[(k + static_cast<std::size_t>(round)) % n];
                if (::write(pty.master(), f.data(), f.size()) < 0) std::exit(1);
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
        std::printf("round %d, %d frames:", round + 1, frames);
        for (std::size_t i = 0; i < n; ++i) {
            const Usage after = UsageOf(children[i].pid);
            cpu[i].push_back(static_cast<double>(after.cpuNs - before[i].cpuNs) / 1e9 / seconds *
                             100.0);
            std::printf("  %.3f %% (%ld wake-ups)", cpu[i].back(),
                        after.switches - before[i].switches);
            Stop(children[i]);
        }
        std::printf("\n");
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> v = cpu[i];
        std::vector<double> ratio;
        for (std::size_t r = 0; r < v.size(); ++r)
            ratio.push_back(cpu[1 % n][r] > 0 ? v[r] / cpu[1 % n][r] : 0.0);
        std::sort(v.begin(), v.end());
        std::sort(ratio.begin(), ratio.end());
        std::printf(
            "%s\n  CPU %.3f-%.3f %% of one core (median %.3f), ratio to the second %.2f-%.2f "
            "(median %.2f)\n",
            commands[i].c_str(), v.front(), v.back(), v[v.size() / 2], ratio.front(), ratio.back(),
            ratio[ratio.size() / 2]);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    auto num = [&](int i, int d) { return argc > i ? std::atoi(argv[i]) : d; };
    if (mode == "latency") return InProcessLatency(num(2, 1000));
    if (mode == "cli-latency" && argc > 2) return CliLatency(argv[2], num(3, 1000));
    if (mode == "cpu" && argc > 2) return Cpu(argv[2], num(3, 30));
    if (mode == "idle" && argc > 2) return Idle(argv[2], num(3, 12));
    if (mode == "cpu-compare" && argc > 5) {
        return CpuCompare(num(2, 30), num(3, 5), std::vector<std::string>(argv + 4, argv + argc));
    }
    std::fprintf(
        stderr,
        "usage: e2e_probe latency [N] | cli-latency BIN [N] | cpu BIN [S] | idle BIN [S] | "
        "cpu-compare S ROUNDS CMD CMD...\n");
    return 2;
}
