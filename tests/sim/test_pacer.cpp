// The pacer and the pseudo-terminal, against real pseudo-terminals and pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

// How late a wake-up may be on a busy machine. Deadlines are never missed early.
constexpr auto kLate = 1s;

struct Fd {
    int fd;
    ~Fd() { close(fd); }
};

Fd OpenSlave(const Pty& pty) {
    return Fd{open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK)};
}

std::string ReadAll(int fd) {
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, static_cast<std::size_t>(n));
    return all;
}

std::chrono::nanoseconds ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

struct Run {
    PacerStats stats;
    Clock::duration elapsed;
    std::chrono::nanoseconds cpu;                        // of the thread that ran it
    std::vector<std::pair<Clock::duration, Chunk>> log;  // each chunk and when it was handled
    std::vector<ChunkOutcome> outcomes;
};

Run Pace(Pacer& pacer, Config config, int fd,
         std::optional<std::chrono::nanoseconds> duration = {}) {
    Simulator simulator(std::move(config));
    Run run;
    PaceOptions options;
    options.duration = duration;
    const auto start = Clock::now();
    options.onChunk = [&](const Chunk& c, ChunkOutcome o) {
        run.log.emplace_back(Clock::now() - start, c);
        run.outcomes.push_back(o);
    };
    const auto cpu = ThreadCpu();
    run.stats = pacer.Run(simulator, fd, options);
    run.cpu = ThreadCpu() - cpu;
    run.elapsed = Clock::now() - start;
    return run;
}

Config Steady(std::chrono::nanoseconds period, std::vector<const char*> faults = {}) {
    Config config;
    config.period = period;
    config.script = Script::Steady(1.25);
    for (const char* f : faults)
        config.faults.push_back(ParseFault(f));
    return config;
}

TEST(PtyTest, RawNonBlockingCloseOnExecMasterClosedByItsLastOwner) {
    Pty owner;
    {
        Pty pty = OpenPty();
        EXPECT_EQ(pty.slavePath().rfind("/dev/pts/", 0), 0u) << pty.slavePath();
        EXPECT_TRUE(fcntl(pty.master(), F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(pty.master(), F_GETFD) & FD_CLOEXEC);
        owner = std::move(pty);
        EXPECT_EQ(pty.master(), -1);
    }
    Fd slave = OpenSlave(owner);
    ASSERT_GE(slave.fd, 0);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    all += "\x02 0  01234\r\r\n";
    ASSERT_EQ(write(owner.master(), all.data(), all.size()), static_cast<ssize_t>(all.size()));
    // Everything, however the terminal hands it over: no CR/LF translation, no line editing.
    pollfd p{slave.fd, POLLIN, 0};
    std::string got;
    while (got.size() < all.size() && poll(&p, 1, 10000) == 1)
        got += ReadAll(slave.fd);
    EXPECT_EQ(got, all);
    EXPECT_EQ(ReadAll(owner.master()), "");  // no echo

    owner = Pty{};  // closes the master: the slave is hung up
    EXPECT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
}

TEST(PacerTest, WritesEachChunkAtItsTimeAndSleepsInBetween) {
    Pty pty = OpenPty();
    Fd slave = OpenSlave(pty);
    Config config = Steady(20ms, {"garbage:4@at:3", "truncate@at:5", "silence:30@at:8"});
    config.script = Script::Lines(std::vector<Reading>(12, Reading{2.0, {}, {}}));
    Pacer pacer;
    const auto run = Pace(pacer, config, pty.master());

    std::string expected;
    for (const auto& [at, chunk] : run.log) {
        expected += chunk.bytes;
        EXPECT_GE(at, chunk.at) << "slot " << chunk.slot;  // never early
        EXPECT_LT(at, chunk.at + kLate) << "slot " << chunk.slot;
    }
    EXPECT_EQ(ReadAll(slave.fd), expected);
    // Slots 8 and 9 fall in the silence: 10 frames, one of 7 bytes, and 4 bytes of garbage.
    EXPECT_EQ(run.stats.frames, 10u);
    EXPECT_EQ(run.stats.bytes, 9u * 10 + 7 + 4);
    EXPECT_EQ(run.stats.faults, 3u);
    EXPECT_EQ(run.stats.drops + run.stats.partial + run.stats.error, 0u);
    EXPECT_EQ(run.stats.end, PacerEnd::ScriptEnded);
    EXPECT_EQ(run.outcomes.size(), 12u);  // the frames, the garbage, the silence marker
    EXPECT_EQ(std::count(run.outcomes.begin(), run.outcomes.end(), ChunkOutcome::Marker), 1);
    // The last slot is due at 220 ms; the run ends with it.
    EXPECT_GE(run.elapsed, 220ms);
    EXPECT_LT(run.elapsed, 220ms + kLate);
    // Sleeping until each deadline: a busy loop would burn about the whole 220 ms.
    EXPECT_LT(run.cpu, 30ms);
}

TEST(PacerTest, DurationEndsTheRunOnTimeEvenBetweenFrames) {
    Pty pty = OpenPty();
    Fd slave = OpenSlave(pty);
    Pacer pacer;
    const struct {
        std::chrono::nanoseconds period, duration;
        std::uint64_t frames;  // due before the end; 0: not counted
    } cases[] = {
        {10ms, 95ms, 10},
        {1s, 150ms, 1},  // ends long before frame 2
        {1us, 60ms, 0},  // too fast to keep up with: ends on time all the same
    };
    for (const auto& c : cases) {
        const auto run = Pace(pacer, Steady(c.period), pty.master(), c.duration);
        // Only frames due before the end, all of them unless a busy machine woke the pacer late.
        if (c.frames != 0) {
            EXPECT_LE(run.stats.frames, c.frames);
        }
        for (const auto& [at, chunk] : run.log)
            EXPECT_LT(chunk.at, c.duration);
        EXPECT_EQ(run.stats.end, PacerEnd::DurationPassed);
        EXPECT_GE(run.elapsed, c.duration);
        EXPECT_LT(run.elapsed, c.duration + kLate);
    }
}

Pacer* g_pacer = nullptr;
void StopOnSignal(int) {
    g_pacer->RequestStop();
}

TEST(PacerTest, RequestStopEndsALongWaitPromptlyFromAThreadOrASignalAndStaysInForce) {
    Pty pty = OpenPty();
    Fd slave = OpenSlave(pty);
    {
        Pacer pacer;
        // Stops once the first frame is on the line, so the pacer is inside its wait.
        std::thread stopper([&] {
            pollfd p{slave.fd, POLLIN, 0};
            poll(&p, 1, 10000);
            std::this_thread::sleep_for(50ms);
            pacer.RequestStop();
        });
        const auto run = Pace(pacer, Steady(10s), pty.master());
        stopper.join();
        EXPECT_EQ(run.stats.frames, 1u);
        EXPECT_EQ(run.stats.end, PacerEnd::StopRequested);
        EXPECT_LT(run.elapsed, 50ms + kLate);  // not the 10 s to the next frame
        const auto again = Pace(pacer, Steady(10ms), pty.master());
        EXPECT_EQ(again.stats.frames, 0u);
        EXPECT_LT(again.elapsed, kLate);
    }
    Pacer pacer;
    g_pacer = &pacer;
    struct sigaction action {
    }, previous{};
    action.sa_handler = StopOnSignal;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 40'000;
    // The run's own clock starts after the timer is armed: the 40 ms count from before that.
    const auto armed = Clock::now();
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const auto run = Pace(pacer, Steady(10s), pty.master());
    const auto sinceArmed = Clock::now() - armed;
    sigaction(SIGALRM, &previous, nullptr);
    g_pacer = nullptr;
    EXPECT_EQ(run.stats.frames, 1u);
    EXPECT_GE(sinceArmed, 40ms);
    EXPECT_LT(run.elapsed, 40ms + kLate);
}

TEST(PacerTest, ChunksThatWouldBlockAreDroppedAndCounted) {
    // 1000 chunks of 100 bytes, far more than anything here buffers.
    Config config = Steady(20us);
    config.script =
        Script::Lines(std::vector<Reading>(1000, Reading{0.0, {}, std::string(100, 'x')}));

    // No slave open: the master buffers about 20 KB, then writes would block.
    Pty pty = OpenPty();
    Pacer pacer;
    const auto run = Pace(pacer, config, pty.master());
    EXPECT_GT(run.stats.frames, 100u);
    EXPECT_GT(run.stats.drops, 0u);
    EXPECT_EQ(std::count(run.outcomes.begin(), run.outcomes.end(), ChunkOutcome::Dropped),
              static_cast<long>(run.stats.drops));
    EXPECT_EQ(run.stats.frames + run.stats.drops, 1000u);
    // A partial write leaves 1 to 99 bytes of its chunk out.
    const auto whole = run.stats.frames - run.stats.partial;
    EXPECT_GE(run.stats.bytes, whole * 100 + run.stats.partial);
    EXPECT_LE(run.stats.bytes, whole * 100 + run.stats.partial * 99);

    // The same on a blocking pipe nobody reads: the pacer makes it non-blocking.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Fd readEnd{fds[0]}, writeEnd{fds[1]};
    ASSERT_GT(fcntl(writeEnd.fd, F_SETPIPE_SZ, 4096), 0);
    const auto piped = Pace(pacer, config, writeEnd.fd);
    EXPECT_TRUE(fcntl(writeEnd.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_GT(piped.stats.drops, 0u);
    EXPECT_LE(piped.stats.bytes, 4096u);
}

TEST(PacerTest, AWriteErrorEndsTheRunAndABadDescriptorThrows) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    Fd orphan{fds[1]};
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    Pacer pacer;
    const auto run = Pace(pacer, Steady(1ms), orphan.fd);
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(run.stats.error, EPIPE);
    EXPECT_EQ(run.stats.end, PacerEnd::WriteError);
    EXPECT_EQ(run.stats.frames, 0u);
    EXPECT_THROW(Pace(pacer, Steady(1ms), -1), std::system_error);
}

}  // namespace
}  // namespace varnel::sim
