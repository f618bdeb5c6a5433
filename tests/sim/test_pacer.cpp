// The pacer and the pseudo-terminal, against real pseudo-terminals and pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/sim/pacer.h"
#include "tools/sim/pty.h"

namespace varnel::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int OpenSlave(const Pty& pty) {
    return open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
}

// What arrived on a descriptor, and when.
struct Arrival {
    Clock::time_point at;
    std::string bytes;
};

// Reads fd on its own thread until Stop(), then drains what is left.
class Reader {
  public:
    explicit Reader(int fd) : fd_(fd), thread_([this] { Loop(); }) {}
    ~Reader() { Stop(); }

    const std::vector<Arrival>& Stop() {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
        return arrivals_;
    }
    std::string All() {
        std::string all;
        for (const auto& a : Stop())
            all += a.bytes;
        return all;
    }

  private:
    void Loop() {
        for (;;) {
            const bool last = done_;
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, last ? 0 : 5);
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd_, buffer, sizeof buffer)) > 0)
                arrivals_.push_back(
                    {Clock::now(), std::string(buffer, static_cast<std::size_t>(n))});
            if (last)
                return;
        }
    }

    int fd_;
    std::atomic<bool> done_{false};
    std::vector<Arrival> arrivals_;
    std::thread thread_;
};

struct Timed {
    PacerStats stats;
    Clock::time_point start;
    Clock::duration elapsed;
    std::chrono::nanoseconds cpu;  // used by the running thread
};

std::chrono::nanoseconds ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

Timed RunTimed(Pacer& pacer, Simulator& simulator, int fd, const PaceOptions& options = {}) {
    Timed timed;
    const auto cpu = ThreadCpu();
    timed.start = Clock::now();
    timed.stats = pacer.Run(simulator, fd, options);
    timed.elapsed = Clock::now() - timed.start;
    timed.cpu = ThreadCpu() - cpu;
    return timed;
}

Config Steady(std::chrono::nanoseconds period) {
    Config config;
    config.period = period;
    config.script = Script::Steady(1.25);
    return config;
}

TEST(PtyTest, MasterIsNonBlockingAndCloseOnExecAndTheLinePassesEveryByteUnchanged) {
    Pty pty = OpenPty();
    ASSERT_GE(pty.master(), 0);
    EXPECT_EQ(pty.slavePath().rfind("/dev/pts/", 0), 0u) << pty.slavePath();
    EXPECT_TRUE(fcntl(pty.master(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(pty.master(), F_GETFD) & FD_CLOEXEC);

    Fd slave(OpenSlave(pty));
    ASSERT_GE(slave.get(), 0) << std::strerror(errno);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    all += "\x02 0  01234\r\r\n";
    ASSERT_EQ(write(pty.master(), all.data(), all.size()), static_cast<ssize_t>(all.size()));
    Reader reader(slave.get());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(reader.All(), all);  // no CR/LF translation, no line editing
    // Nothing comes back on the master: no echo.
    char c;
    EXPECT_EQ(read(pty.master(), &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(PtyTest, DestroyingOrMovingOwnershipClosesTheMasterOnce) {
    Pty moved;
    std::string path;
    {
        Pty pty = OpenPty();
        path = pty.slavePath();
        moved = std::move(pty);
        EXPECT_EQ(pty.master(), -1);
    }
    Fd slave(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(slave.get(), 0) << "the moved-to object keeps the master open";
    pollfd p{slave.get(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);

    moved = Pty{};  // closes it
    p.revents = 0;
    EXPECT_EQ(poll(&p, 1, 100), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    char c;
    const auto n = read(slave.get(), &c, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << std::strerror(errno);
}

TEST(PacerTest, FramesArriveAtTheirTimesAndTheWaitCostsNoCpu) {
    Pty pty = OpenPty();
    Fd slave(OpenSlave(pty));
    ASSERT_GE(slave.get(), 0);
    Config config = Steady(20ms);
    std::vector<Reading> readings;
    std::string expected;
    for (int i = 0; i < 12; ++i) {
        readings.push_back({1.0 + i, {}, {}});
        expected += EncodeFrame(Layout::Kilograms, 0, 1.0 + i);
    }
    config.script = Script::Lines(readings);
    Simulator simulator(config);
    Pacer pacer;
    Reader reader(slave.get());
    const auto run = RunTimed(pacer, simulator, pty.master());
    std::this_thread::sleep_for(20ms);
    const auto arrivals = reader.Stop();

    EXPECT_EQ(run.stats.frames, 12u);
    EXPECT_EQ(run.stats.bytes, 120u);
    EXPECT_EQ(run.stats.drops, 0u);
    EXPECT_EQ(run.stats.error, 0);
    std::string all;
    std::size_t frame = 0;
    for (const auto& a : arrivals) {
        all += a.bytes;
        // Frames completed by this read were written no earlier than their slot.
        for (; (frame + 1) * 10 <= all.size(); ++frame)
            EXPECT_GE(a.at - run.start, 20ms * static_cast<long>(frame)) << "frame " << frame;
    }
    EXPECT_EQ(all, expected);
    // The last slot is due at 220 ms; the run ends with it.
    EXPECT_GE(run.elapsed, 220ms);
    EXPECT_LT(run.elapsed, 220ms + 150ms);
    // Sleeping until each deadline: a busy loop would burn about the whole 220 ms.
    EXPECT_LT(run.cpu, 30ms);
}

TEST(PacerTest, CountsFaultsAndReportsEveryChunk) {
    Pty pty = OpenPty();
    Fd slave(OpenSlave(pty));
    Config config = Steady(5ms);
    config.script = Script::Lines(std::vector<Reading>(20, Reading{2.0, {}, {}}));
    for (const char* f : {"garbage:4@at:3", "truncate@at:5", "silence:12@at:10"})
        config.faults.push_back(ParseFault(f));
    Simulator simulator(config);
    std::vector<ChunkOutcome> outcomes;
    PaceOptions options;
    options.onChunk = [&](const Chunk&, ChunkOutcome o) { outcomes.push_back(o); };
    Pacer pacer;
    Reader reader(slave.get());
    const auto stats = pacer.Run(simulator, pty.master(), options);
    std::this_thread::sleep_for(10ms);
    const auto all = reader.All();

    // Slots 10, 11, 12 fall in the silence; 17 frames, one of them 7 bytes, 4 garbage bytes.
    EXPECT_EQ(stats.frames, 17u);
    EXPECT_EQ(stats.bytes, 16u * 10 + 7 + 4);
    EXPECT_EQ(stats.faults, 3u);
    EXPECT_EQ(all.size(), stats.bytes);
    ASSERT_EQ(outcomes.size(), 19u);  // 17 frames, the garbage, the silence marker
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), ChunkOutcome::Marker), 1);
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), ChunkOutcome::Written), 18);
}

TEST(PacerTest, DurationEndsTheRunOnTimeEvenBetweenFrames) {
    Pty pty = OpenPty();
    Fd slave(OpenSlave(pty));
    Pacer pacer;
    {
        Simulator simulator(Steady(10ms));
        PaceOptions options;
        options.duration = 95ms;
        const auto run = RunTimed(pacer, simulator, pty.master(), options);
        EXPECT_EQ(run.stats.frames, 10u);  // slots 0..9 at 0..90 ms
        EXPECT_GE(run.elapsed, 95ms);
        EXPECT_LT(run.elapsed, 95ms + 100ms);
    }
    {
        // The next frame would be due after 1 s: the run still ends at 150 ms.
        Simulator simulator(Steady(1s));
        PaceOptions options;
        options.duration = 150ms;
        const auto run = RunTimed(pacer, simulator, pty.master(), options);
        EXPECT_EQ(run.stats.frames, 1u);
        EXPECT_GE(run.elapsed, 150ms);
        EXPECT_LT(run.elapsed, 150ms + 100ms);
    }
}

TEST(PacerTest, RequestStopFromAnotherThreadEndsALongWaitAndStaysInForce) {
    Pty pty = OpenPty();
    Fd slave(OpenSlave(pty));
    Simulator simulator(Steady(10s));
    Pacer pacer;
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        pacer.RequestStop();
    });
    const auto run = RunTimed(pacer, simulator, pty.master());
    stopper.join();
    EXPECT_EQ(run.stats.frames, 1u);
    EXPECT_GE(run.elapsed, 50ms);
    EXPECT_LT(run.elapsed, 50ms + 150ms);

    Simulator again(Steady(10ms));
    const auto second = RunTimed(pacer, again, pty.master());
    EXPECT_EQ(second.stats.frames, 0u);
    EXPECT_LT(second.elapsed, 50ms);
}

Pacer* g_pacer = nullptr;
void StopOnSignal(int) {
    g_pacer->RequestStop();
}

TEST(PacerTest, RequestStopWorksFromASignalHandler) {
    Pty pty = OpenPty();
    Fd slave(OpenSlave(pty));
    Simulator simulator(Steady(10s));
    Pacer pacer;
    g_pacer = &pacer;
    struct sigaction action {
    }, previous{};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 40'000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const auto run = RunTimed(pacer, simulator, pty.master());
    sigaction(SIGALRM, &previous, nullptr);
    g_pacer = nullptr;
    EXPECT_EQ(run.stats.frames, 1u);
    EXPECT_GE(run.elapsed, 40ms);
    EXPECT_LT(run.elapsed, 40ms + 150ms);
}

TEST(PacerTest, ChunksThatWouldBlockAreDroppedAndCountedWhenNobodyReads) {
    // No slave open: the master buffers about 20 KB, then writes would block.
    Pty pty = OpenPty();
    Simulator simulator(Steady(20us));
    std::uint64_t reported = 0, dropped = 0;
    PaceOptions options;
    options.duration = 150ms;
    options.onChunk = [&](const Chunk&, ChunkOutcome o) {
        ++reported;
        dropped += o == ChunkOutcome::Dropped ? 1 : 0;
    };
    Pacer pacer;
    const auto run = RunTimed(pacer, simulator, pty.master(), options);
    EXPECT_GT(run.stats.frames, 100u);
    EXPECT_GT(run.stats.drops, 0u);
    EXPECT_EQ(run.stats.drops, dropped);
    EXPECT_EQ(run.stats.frames + run.stats.drops, reported);
    // A partial write leaves at least one byte of its chunk out.
    const auto whole = run.stats.frames - run.stats.partial;
    EXPECT_GE(run.stats.bytes, whole * 10 + run.stats.partial);
    EXPECT_LE(run.stats.bytes, whole * 10 + run.stats.partial * 9);
    EXPECT_LT(run.stats.bytes, 256u * 1024);
    EXPECT_LT(run.elapsed, 150ms + 150ms);
}

TEST(PacerTest, MakesABlockingDescriptorNonBlockingAndStopsOnAWriteError) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Fd readEnd(fds[0]), writeEnd(fds[1]);
    ASSERT_FALSE(fcntl(writeEnd.get(), F_GETFL) & O_NONBLOCK);
    ASSERT_GT(fcntl(writeEnd.get(), F_SETPIPE_SZ, 4096), 0);
    Pacer pacer;
    {
        // Blocking writes into a full pipe would hang the run; instead they are dropped.
        Simulator simulator(Steady(20us));
        PaceOptions options;
        options.duration = 50ms;
        const auto run = RunTimed(pacer, simulator, writeEnd.get(), options);
        EXPECT_TRUE(fcntl(writeEnd.get(), F_GETFL) & O_NONBLOCK);
        EXPECT_GT(run.stats.drops, 0u);
        EXPECT_LE(run.stats.bytes, 4096u);
        EXPECT_LT(run.elapsed, 50ms + 150ms);
    }
    {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        close(pipeFds[0]);
        Fd orphan(pipeFds[1]);
        struct sigaction ignore {
        }, previous{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previous);
        Simulator simulator(Steady(1ms));
        const auto stats = pacer.Run(simulator, orphan.get());
        sigaction(SIGPIPE, &previous, nullptr);
        EXPECT_EQ(stats.error, EPIPE);
        EXPECT_EQ(stats.frames, 0u);
    }
    Simulator simulator(Steady(1ms));
    EXPECT_THROW(pacer.Run(simulator, -1), std::system_error);
}

}  // namespace
}  // namespace varnel::sim
