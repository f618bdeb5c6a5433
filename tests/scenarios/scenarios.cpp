// The control on a real line: one body per scenario, run on every rig (rig.h) that instantiates
// RuntimeScenario.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "control/varnel.h"
#include "serial/comm_component.h"
#include "tests/scenarios/rig.h"
#include "tests/support/test_util.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Codes = std::vector<std::int16_t>;

// Pieces of the debug log.
const std::string kOnline =
    "\r\nStart debug...\r\nbegin ScaleOpen()\r\nScaleOpen: scale ONLINE 1, timeout enabled\r\n"
    "end ScaleOpen()\r\n";
const std::string kOffline =
    "DisconnectFromScale: PASSED\r\nScaleOpen: scale OFFLINE 2, timeout disabled\r\n"
    "end ScaleOpen()\r\n";
const std::string kOpened =
    "OpenSerialPort: ready to open port\r\nOpenSerialPort: port opened\r\nend OpenSerialPort\r\n"
    "ConnectToScale PASSED\r\nend ConnectToScale\r\n";

TEST_P(RuntimeScenario, FramesBecomeEventsWithTheirProperties) {
    ASSERT_EQ(rig.Open(), 1);
    rig.SetNetWtUnits(vnGrams);
    rig.Write(Frame(' ', "01234"));
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(rig.seen[0].event, 1);
    EXPECT_EQ(rig.seen[0].rawUnits, 1);
    EXPECT_EQ(rig.seen[0].rawWt, "01234");
    EXPECT_EQ(rig.seen[0].formatted, "012.34");
    EXPECT_EQ(rig.seen[0].netWt, 12340.0f);
    EXPECT_EQ(rig.seen[0].connect, 1);

    rig.Write(Frame('1', "01234"));
    ASSERT_TRUE(WaitForEvents(3));
    EXPECT_EQ(Events(), (Codes{1, 2, 1}));
    EXPECT_EQ(rig.seen[2].rawWt, "00000");
    EXPECT_TRUE(rig.EventErrors().empty());
    EXPECT_EQ(rig.Close(), 0);
}

TEST_P(RuntimeScenario, TheLineIsSetTo2400Baud8N2) {
    ASSERT_EQ(rig.Open(), 1);
    rig.ExpectLineIs2400Baud8N2();
}

TEST_P(RuntimeScenario, MalformedInputIsDroppedAndTheNextFrameArrives) {
    ASSERT_EQ(rig.Open(), 1);
    const std::string good = Frame('0', "00007");
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"stray characters ahead of a frame flush it", "xyz" + good},
        {"STX inside a frame", "\x02" + std::string("0 1") + good},
        {"9 characters", "\x02" + std::string("0 01234\r")},
        {"11 characters", "\x02" + std::string("0  012345\r")},
        {"noise with 0xFF bytes", std::string("\xff\xff\x01\xfe")},
        {"noise with 0xFF and NUL bytes", std::string("\xff\xfe\x01\x00\x00\r\n\xff", 8)},
        {"an overlong line, which stops growing", "\x02" + std::string(5000, '5') + "\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rig.Write(c.bytes);
        rig.RunFor(200ms);
        EXPECT_TRUE(rig.seen.empty());
    }
    // Nothing is stuck: the next frame arrives, its filler characters (0xFF) as data.
    ASSERT_TRUE(FeedUntil(Frame('0', "00007", "\xff\xff"), [&] { return !rig.seen.empty(); }));
    EXPECT_EQ(rig.seen[0].rawWt, "00007");
    EXPECT_EQ(Events(), Codes(rig.seen.size(), 1));
    EXPECT_TRUE(rig.EventErrors().empty());
}

TEST_P(RuntimeScenario, EveryCRRestartsTheWatchdog) {
    const struct {
        const char* name;
        std::string frame;
        std::chrono::milliseconds every, during;
        bool received;
    } cases[] = {
        {"frames", Frame('0', "00008"), 45ms, 1600ms, true},
        {"frames of the wrong length", "\x02" + std::string("0 01234\r"), 400ms, 2400ms, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(rig.Open(), 1);
        rig.seen.clear();
        std::size_t written = 0;
        for (const auto end = Clock::now() + c.during; Clock::now() < end; ++written) {
            rig.Write(c.frame);
            rig.RunFor(c.every);
        }
        if (c.received) {
            // Those still on their way, well within the second the last CR gave the watchdog.
            WaitForEvents(written, 500ms);
            EXPECT_EQ(Events(), Codes(rig.seen.size(), 1));  // no loss
            EXPECT_GE(rig.seen.size(), written / 2);
        } else {
            EXPECT_EQ(Events(), Codes{});  // no loss while CRs keep coming
            ASSERT_TRUE(WaitForEvents(1, 3s));
            EXPECT_EQ(Events(), Codes{3});  // and the watchdog still watches
        }
        EXPECT_EQ(rig.Close(), 0);
    }
}

TEST_P(RuntimeScenario, SilenceIsReportedAfterASecondAndTheRetryRestoresTheLink) {
    const auto started = Clock::now();
    ASSERT_EQ(rig.Open(), 1);
    const auto opened = Clock::now();
    ASSERT_TRUE(WaitForEvents(1, 5s));
    const auto lost = Clock::now();
    EXPECT_EQ(Events(), Codes{3});
    EXPECT_EQ(rig.seen[0].connect, 0);
    EXPECT_EQ(rig.ConnectStatus(), 0);
    EXPECT_GE(lost - opened, 1000ms - rig.timerLead);  // never early
    EXPECT_LT(lost - started, 2500ms);

    ASSERT_TRUE(WaitForEvents(2, 8s));
    const auto restored = Clock::now();
    EXPECT_EQ(Events(), (Codes{3, 4}));
    EXPECT_EQ(rig.seen[1].connect, 1);
    EXPECT_EQ(rig.ConnectStatus(), 1);
    EXPECT_GE(restored - lost, 2800ms);  // the retry three seconds after the loss
    EXPECT_LT(restored - lost, 5000ms);
    ASSERT_TRUE(FeedUntil(Frame('0', "00100"), [&] { return rig.seen.size() > 2; }));
    EXPECT_EQ(rig.seen[2].event, 1);
    EXPECT_EQ(rig.Close(), 0);
}

TEST_P(RuntimeScenario, AHandlerThatRunsANestedLoopKeepsTheLinkWhileFramesStream) {
    const struct {
        const char* name;
        bool reopen;  // the handler opens the link again first, which starts the watchdog
        bool silent;  // the line falls silent 0.2 s into the handler's loop
    } cases[] = {
        // A weight event is raised with the watchdog off (the receiver stops it at the CR).
        {"a weight event's handler", false, false},
        {"a handler that reopens the link", true, false},
        {"a handler that reopens the link, and the line falls silent", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(rig.Open(), 1);
        rig.seen.clear();
        std::atomic<bool> stop{false};
        std::atomic<Clock::time_point> lastWrite{Clock::now()};
        std::thread scaleSide([&] {
            for (int n = 0; !stop; ++n) {
                char weight[8];
                std::snprintf(weight, sizeof weight, "%05d", n % 100000);
                rig.Write(Frame('0', weight));
                lastWrite = Clock::now();
                std::this_thread::sleep_for(40ms);
            }
        });
        bool ran = false;
        std::size_t returnedAt = 0;  // events seen when the handler returned
        Clock::time_point lostAt{};
        rig.onEvent = [&] {
            const std::int16_t event = rig.seen.back().event;
            if (event == 3 && lostAt == Clock::time_point{}) lostAt = Clock::now();
            if (ran || event != 1) return;
            ran = true;
            if (c.reopen) rig.Open();
            const auto start = Clock::now();
            while (Clock::now() - start < 2500ms) {
                if (c.silent && Clock::now() - start > 200ms) stop = true;
                rig.RunNested(20ms);
            }
            returnedAt = rig.seen.size();
        };
        auto weightsAfter = [&] {
            std::vector<std::string> out;
            for (std::size_t i = returnedAt; i < rig.seen.size(); ++i)
                if (rig.seen[i].event == 1) out.push_back(rig.seen[i].rawWt);
            return out;
        };
        const bool done = rig.WaitUntil(
            [&] { return returnedAt > 0 && (c.silent || weightsAfter().size() >= 5); }, 20s);
        stop = true;
        scaleSide.join();
        rig.onEvent = nullptr;
        ASSERT_TRUE(done);
        if (c.silent) {
            // Lost while the handler still ran, an interval after the last character.
            ASSERT_NE(lostAt, Clock::time_point{});
            EXPECT_GE(lostAt - lastWrite.load(), 950ms);
            const auto lost = std::find_if(rig.seen.begin(), rig.seen.end(),
                                           [](const Seen& e) { return e.event == 3; });
            EXPECT_LT(lost - rig.seen.begin(), static_cast<std::ptrdiff_t>(returnedAt));
            continue;
        }
        EXPECT_EQ(lostAt, Clock::time_point{}) << "the link was reported lost";
        EXPECT_EQ(rig.ConnectStatus(), 1);
        const auto weights = weightsAfter();
        EXPECT_TRUE(std::is_sorted(weights.begin(), weights.end()) &&
                    std::adjacent_find(weights.begin(), weights.end()) == weights.end());
    }
}

TEST_P(RuntimeScenario, APulledCableIsReportedWithoutSpinningAndAPluggedInOneReconnects) {
    ASSERT_EQ(rig.Open(), 1);
    rig.Write(Frame('0', "00001"));
    ASSERT_TRUE(WaitForEvents(1));

    const auto cpuBefore = rig.Cpu();
    const auto wallBefore = Clock::now();
    rig.PullCable();
    ASSERT_TRUE(WaitForEvents(2));
    const auto cpu = rig.Cpu() - cpuBefore;
    const auto wall =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - wallBefore);
    EXPECT_EQ(Events(), (Codes{1, 3}));
    // The loss comes a second after the hang-up: far below a spinning loop's second.
    EXPECT_LT(cpu, 100ms) << "cpu " << cpu.count() << " ms in " << wall.count() << " ms";
    rig.RunFor(3200ms);  // a retry fails on the missing device, silently
    EXPECT_EQ(rig.seen.size(), 2u);

    rig.PlugInCable();
    ASSERT_TRUE(WaitForEvents(3, 15s));
    EXPECT_EQ(rig.seen[2].event, 4);
    ASSERT_TRUE(FeedUntil(Frame('0', "00002"), [&] { return rig.seen.back().event == 1; }));
    EXPECT_EQ(rig.seen.back().rawWt, "00002");
}

TEST_P(RuntimeScenario, ASecondOpenerOfThePortGets8005UntilTheControlLetsGo) {
    ASSERT_EQ(rig.Open(), 1);
    EXPECT_EQ(rig.OpenElsewhere(), comm::kErrPortAlreadyOpen);
    ASSERT_EQ(rig.Close(), 0);
    EXPECT_EQ(rig.OpenElsewhere(), 0);
}

TEST_P(RuntimeScenario, TheDebugMarkerYieldsTheExactLog) {
    WriteText(rig.SystemDir() / "LOGK880S.TMP", "");
    ASSERT_EQ(rig.Open(), 1);
    ASSERT_EQ(rig.Close(), 0);
    ASSERT_EQ(rig.Open(), 1);
    EXPECT_EQ(ReadText(rig.SystemDir() / "BDXK880S.LOG"),
              kOnline + kOffline +
                  "begin ConnectToScale\r\nbegin OpenSerialPort\r\nbegin vnPortInit16\r\n"
                  "vnPortinit16: PORTIN16 app not in win dir\r\nend vnPortInit16\r\n"
                  "vnPortInit16 returned: 5\r\n" +
                  kOpened + kOnline);
}

// The initialiser is started before every opening with its full path and the port's name, and
// the opening waits for it.
TEST_P(RuntimeScenario, TheInitialiserRunsWithThePortNameAndIsWaitedFor) {
    rig.InstallInitialiser(Initialiser::Records);
    WriteText(rig.SystemDir() / "LOGK880S.TMP", "");
    ASSERT_EQ(rig.Open(), 1);  // logging is on from the next call
    ASSERT_EQ(rig.Open(), 1);
    ASSERT_EQ(rig.Close(), 0);
    const std::string commandLine =
        (rig.SystemDir() / "PORTIN16.EXE").string() + " COM" + std::to_string(rig.port);
    const auto runs = rig.InitialiserRuns();
    EXPECT_EQ(runs.size(), 2u);
    for (const Started& run : runs)
        EXPECT_EQ(run.commandLine, commandLine);
    EXPECT_EQ(ReadText(rig.SystemDir() / "BDXK880S.LOG"),
              kOnline +
                  "begin ConnectToScale\r\nConnectToScale: port was already open\r\n"
                  "ConnectToScale: set PortOpen = False\r\nbegin OpenSerialPort\r\n"
                  "begin vnPortInit16\r\nLaunching " +
                  commandLine +
                  "\r\nvnPortinit16: CreateProcess returned: 1\r\n"
                  "vnPortinit16: waiting for obj...\r\nvnPortinit16: WaitForObj returned: 0\r\n"
                  "vnPortinit16: CloseHandle returned: 1\r\nvnPortinit16: Exit code: 3\r\n"
                  "end vnPortInit16\r\nvnPortInit16 returned: 0\r\n" +
                  kOpened + kOnline + kOffline);
    if (const auto open = rig.OpenProcesses()) {
        EXPECT_EQ(*open, 0u);
    }
}

TEST_P(RuntimeScenario, AnInitialiserThatHangsIsStoppedAtItsBoundWithWhatItStarted) {
    if (!rig.SetPortInitTimeout(500)) GTEST_SKIP() << "the host cannot set the time limit";
    WriteText(rig.SystemDir() / "LOGK880S.TMP", "");
    ASSERT_EQ(rig.Open(), 1);  // logging is on from the next call
    rig.InstallInitialiser(Initialiser::Hangs);
    const auto start = Clock::now();
    EXPECT_EQ(rig.Open(), 0);  // three attempts, each failing its wait
    EXPECT_LT(Clock::now() - start, 8s);
    EXPECT_NE(ReadText(rig.SystemDir() / "BDXK880S.LOG")
                  .find("vnPortinit16: WaitForObj returned: 258\r\n"
                        "vnPortinit16: WaitForObj FAILED\r\n"),
              std::string::npos);
    if (const auto open = rig.OpenProcesses()) {
        EXPECT_EQ(*open, 0u);
    }
    const auto runs = rig.InitialiserRuns();
    EXPECT_GE(runs.size(), 3u);  // the initialisers, and the copies they started
    for (const Started& run : runs) {
        SCOPED_TRACE(run.commandLine);
        EXPECT_TRUE(rig.Ends(run, 5s));
    }
}

TEST_P(RuntimeScenario, AWeightThatIsNotANumberGoesToTheHostAsAnErrorAndTheNextFrameArrives) {
    ASSERT_EQ(rig.Open(), 1);
    rig.Write(Frame(' ', "0A234"));  // kilograms
    rig.RunFor(300ms);
    ASSERT_TRUE(FeedUntil(Frame(' ', "00042"), [&] { return !rig.seen.empty(); }));
    EXPECT_EQ(Events(), Codes(rig.seen.size(), 1));
    EXPECT_EQ(rig.seen[0].rawWt, "00042");
    EXPECT_EQ(rig.EventErrors(), std::vector<std::int32_t>{13});
}

TEST_P(RuntimeScenario, AHostThatClosesTheLinkInItsHandlerStaysClosed) {
    ASSERT_EQ(rig.Open(), 1);
    rig.onEvent = [&] { EXPECT_EQ(rig.Close(), 0); };
    ASSERT_TRUE(FeedUntil(Frame('0', "00001"), [&] { return !rig.seen.empty(); }));
    rig.Write(Frame('0', "00002"));
    rig.RunFor(1500ms);  // past the watchdog's second
    EXPECT_EQ(Events(), Codes{1});
    EXPECT_EQ(rig.ConnectStatus(), 0);
    EXPECT_EQ(rig.OpenElsewhere(), 0);
}

TEST_P(RuntimeScenario, ALogThatCannotBeWrittenDoesNotStopTheControl) {
    WriteText(rig.SystemDir() / "LOGK880S.TMP", "");
    ASSERT_TRUE(std::filesystem::create_directory(rig.SystemDir() / "BDXK880S.LOG"));
    ASSERT_EQ(rig.Open(), 1);
    ASSERT_TRUE(FeedUntil(Frame('0', "00003"), [&] { return !rig.seen.empty(); }));
    EXPECT_EQ(rig.seen[0].rawWt, "00003");
}

}  // namespace
}  // namespace varnel::testing
