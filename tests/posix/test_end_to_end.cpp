// The control on the POSIX runtime against a real pseudo-terminal.
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/posix/serial_port.h"
#include "tests/posix/loop_fixture.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using CodeList = std::vector<std::int16_t>;

TEST_F(LoopTest, FramesWrittenToTheLineArriveAsEvents) {
    ASSERT_EQ(Open(), 1);
    scale->Control().SetNetWtUnits(vnGrams);
    pty.Write(Frame(' ', "01234"));
    ASSERT_TRUE(RunUntil([&] { return !seen.empty(); }, 10s));
    EXPECT_EQ(seen[0].event, 1);
    EXPECT_EQ(seen[0].rawUnits, 1);
    EXPECT_EQ(seen[0].rawWt, "01234");
    EXPECT_EQ(seen[0].formatted, "012.34");
    EXPECT_EQ(seen[0].netWt, 12340.0f);
    EXPECT_EQ(seen[0].connect, 1);

    pty.Write(Frame('1', "01234"));
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 3; }, 10s));
    EXPECT_EQ(Codes(), (CodeList{1, 2, 1}));
    EXPECT_EQ(seen[2].rawWt, "00000");
    EXPECT_TRUE(errors.empty());
}

TEST_F(LoopTest, TheLineIsSetTo2400Baud8N2) {
    ASSERT_EQ(Open(), 1);
    // Both sides of a pseudo-terminal share one termios.
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), B2400);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_lflag & ICANON);
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK | IGNPAR | IGNBRK | BRKINT),
              static_cast<tcflag_t>(INPCK | PARMRK));  // line errors are marked
}

TEST_F(LoopTest, ReceiverEdgeCasesHoldEndToEnd) {
    ASSERT_EQ(Open(), 1);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::string good = Frame('0', "00007");
    const Case lost[] = {
        {"stray characters ahead of a frame flush it", "xyz" + good},
        {"STX inside a frame", std::string("\x02") + "0 1" + good},
        {"9 characters", std::string("\x02") + "0 01234\r"},
        {"11 characters", std::string("\x02") + "0  012345\r"},
        {"noise with 0xFF bytes", std::string("\xff\xff\x01\xfe")},
    };
    for (const auto& c : lost) {
        SCOPED_TRACE(c.name);
        pty.Write(c.bytes);
        RunFor(60ms);
        EXPECT_TRUE(seen.empty());
    }
    ASSERT_TRUE(FeedUntil(pty, good, [&] { return !seen.empty(); }));
    EXPECT_EQ(seen[0].rawWt, "00007");
}

TEST_F(LoopTest, AByteOf0xFFInsideAFrameIsData) {
    ASSERT_EQ(Open(), 1);
    pty.Write(std::string("\x02") + "0\xff\xff" + "00042\r");  // filler characters are 0xFF
    ASSERT_TRUE(RunUntil([&] { return !seen.empty(); }, 10s));
    EXPECT_EQ(seen[0].rawWt, "00042");
}

TEST_F(LoopTest, SilenceIsReportedAndTheNextRetryRestoresTheLink) {
    ASSERT_EQ(Open(), 1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunUntil([&] { return !seen.empty(); }, 10s));
    const auto lostAfter = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Codes(), CodeList{3});
    EXPECT_GE(lostAfter, 990ms);  // never early; late only as far as the machine is busy
    EXPECT_EQ(scale->Control().ConnectStatus(), 0);
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 2; }, 15s));
    EXPECT_EQ(Codes(), (CodeList{3, 4}));
    EXPECT_EQ(scale->Control().ConnectStatus(), 1);
    ASSERT_TRUE(FeedUntil(pty, Frame('0', "00100"), [&] { return seen.back().event == 1; }));
}

TEST_F(LoopTest, AHandlerThatRunsTheLoopNestedKeepsTheLinkWhileFramesStream) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        bool reopen;  // the handler opens the link again first, which starts the watchdog
        bool silent;  // the line falls silent 0.2 s into the handler's loop
    };
    // A weight event is raised with the watchdog off (the receiver stops it at the CR); a handler
    // that reopens the link runs with it on.
    const Case cases[] = {
        {"a weight event's handler", false, false},
        {"a handler that reopens the link", true, false},
        {"a handler that reopens the link, and the line falls silent", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Open(), 1);
        seen.clear();
        std::atomic<bool> stop{false};
        std::atomic<Clock::time_point> lastWrite{Clock::now()};
        std::thread scaleSide([&] {
            for (int n = 0; !stop; ++n) {
                char weight[8];
                std::snprintf(weight, sizeof weight, "%05d", n % 100000);
                pty.Write(Frame('0', weight));
                lastWrite = Clock::now();
                std::this_thread::sleep_for(40ms);
            }
        });
        bool ran = false;
        std::size_t returnedAt = 0;  // events seen when the handler returned
        Clock::time_point lostAt{};
        const auto id = scale->Container().SubscribeScaleComm([&] {
            const std::int16_t event = scale->Control().ScaleCommEvent();
            if (event == 3 && lostAt == Clock::time_point{}) lostAt = Clock::now();
            if (ran || event != 1) return;
            ran = true;
            std::int16_t open = -1;
            if (c.reopen) scale->Control().ScaleOpen(open);
            const auto start = Clock::now();
            while (Clock::now() - start < 2500ms) {
                if (c.silent && Clock::now() - start > 200ms) stop = true;
                loop.Context().run_for(20ms);
            }
            returnedAt = seen.size();
        });
        auto weightsAfter = [&] {
            std::vector<std::string> out;
            for (std::size_t i = returnedAt; i < seen.size(); ++i)
                if (seen[i].event == 1) out.push_back(seen[i].rawWt);
            return out;
        };
        const bool done = RunUntil(
            [&] { return returnedAt > 0 && (c.silent || weightsAfter().size() >= 5); }, 20s);
        stop = true;
        scaleSide.join();
        scale->Container().Unsubscribe(id);
        ASSERT_TRUE(done);
        if (c.silent) {
            // Lost while the handler still ran, an interval after the last character.
            ASSERT_NE(lostAt, Clock::time_point{});
            EXPECT_GE(lostAt - lastWrite.load(), 950ms);
            const auto lost =
                std::find_if(seen.begin(), seen.end(), [](const Seen& e) { return e.event == 3; });
            EXPECT_LT(lost - seen.begin(), static_cast<std::ptrdiff_t>(returnedAt));
            continue;
        }
        EXPECT_EQ(lostAt, Clock::time_point{}) << "the link was reported lost";
        EXPECT_EQ(scale->Control().ConnectStatus(), 1);
        const auto weights = weightsAfter();
        EXPECT_TRUE(std::is_sorted(weights.begin(), weights.end()) &&
                    std::adjacent_find(weights.begin(), weights.end()) == weights.end());
    }
}

TEST_F(LoopTest, AVanishedPortIsReconnectedWhenItsLinkIsRepointed) {
    // Port 2 resolves through <system dir>/com2, a link to the device node, here itself a link in
    // the test's own directory: when it goes, no other program's pseudo-terminal can take its
    // place under that name.
    namespace fs = std::filesystem;
    const std::string link = dir / "com2";
    const std::string device = dir / "ttyUSB0";
    fs::create_symlink(pty.SlavePath(), device);
    fs::create_symlink(device, link);
    scale->Control().SetCommPort(2);
    ASSERT_EQ(Open(), 1);
    pty.Write(Frame('0', "00001"));
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 1; }, 10s));

    fs::remove(device);  // the cable is pulled: the device goes away
    pty.CloseMaster();
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 2; }, 10s));
    EXPECT_EQ(seen[1].event, 3);
    RunFor(3200ms);  // a retry fails on the vanished device, silently
    EXPECT_EQ(seen.size(), 2u);

    PtyPair second;
    fs::remove(link);
    fs::create_symlink(second.SlavePath(), link);
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 3; }, 15s));
    EXPECT_EQ(seen[2].event, 4);
    ASSERT_TRUE(FeedUntil(second, Frame('0', "00002"), [&] { return seen.back().event == 1; }));
    EXPECT_EQ(seen.back().rawWt, "00002");
}

TEST_F(LoopTest, AHungUpLineDoesNotSpinTheLoop) {
    ASSERT_EQ(Open(), 1);
    pty.CloseMaster();
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    // Hung up until the watchdog reports the loss: about a second of doing nothing.
    ASSERT_TRUE(RunUntil([&] { return !seen.empty(); }, 10s));
    ::getrusage(RUSAGE_SELF, &after);
    auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec +
               r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpuUs(after) - cpuUs(before), 100000L);  // far below a spinning loop's second
    EXPECT_EQ(Codes(), CodeList{3});
}

TEST_F(LoopTest, TheInitialiserRunsWithThePortNameAndIsWaitedFor) {
    dir.Write("PORTIN16.EXE", "#!/bin/sh\nsleep 0.2\necho \"$@\" > \"$(dirname \"$0\")/ran\"\n",
              true);
    scale->Control().SetPortInitTimeout(30000);
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(dir.Read("ran"), "COM1\n");  // already there when the opening returns
    EXPECT_EQ(runtime.Services().OpenProcesses(), 0u);
}

TEST_F(LoopTest, AnInitialiserThatHangsIsStoppedAtItsBound) {
    dir.Write("LOGK880S.TMP", "");
    ASSERT_EQ(Open(), 1);  // logging is on from the next call
    dir.Write("portin16.exe", "#!/bin/sh\nexec sleep 30\n", true);  // any case matches
    scale->Control().SetPortInitTimeout(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Open(), 0);  // three attempts, each failing its wait
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // not the initialiser's 3 x 30 s
    const std::string log = dir.Read("BDXK880S.LOG");
    EXPECT_NE(
        log.find("vnPortinit16: WaitForObj returned: 258\r\nvnPortinit16: WaitForObj FAILED\r\n"),
        std::string::npos);
    EXPECT_EQ(runtime.Services().OpenProcesses(), 0u);
}

TEST_F(LoopTest, AFailedOpeningKeepsItsReasonUntilThePortOpens) {
    using Kind = posix::OpenFailure::Kind;
    std::vector<posix::OpenFailure> told;
    const auto id =
        scale->SubscribeOpenFailure([&](const posix::OpenFailure& f) { told.push_back(f); });
    scale->Control().SetPortInitTimeout(200);
    dir.Write("plain", "");
    const std::string init = dir / "PORTIN16.EXE";
    struct Case {
        const char* name;
        std::string device;
        const char* initialiser;  // its text, made executable when it starts with #!
        Kind kind;
        std::int32_t number;
        std::string says;
    };
    const Case cases[] = {
        {"no such device", dir / "gone", nullptr, Kind::Port, comm::kErrInvalidPortNumber,
         dir / "gone: No such file or directory"},
        {"a regular file", dir / "plain", nullptr, Kind::Port, comm::kErrInvalidPortNumber,
         dir / "plain: not a serial device"},
        {"a directory", dir.Path(), nullptr, Kind::Port, comm::kErrDeviceUnavailable,
         dir.Path().string() + ": Is a directory"},
        {"in use", pty.SlavePath(), nullptr, Kind::Port, comm::kErrPortAlreadyOpen,
         pty.SlavePath() + ": "},
        {"initialiser not executable", pty.SlavePath(), "exit 0\n", Kind::Initialiser, 1,
         init + ": cannot be started: Permission denied"},
        {"initialiser hangs", pty.SlavePath(), "#!/bin/sh\nexec sleep 30\n", Kind::Initialiser, 2,
         init + ": still running after 200 ms; stopped"},
    };
    posix::SerialPort holder(loop, runtime.Ports());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runtime.Ports().Bind(1, c.device);
        if (c.initialiser) dir.Write("PORTIN16.EXE", c.initialiser, c.initialiser[0] == '#');
        holder.SetPortOpen(c.number == comm::kErrPortAlreadyOpen);
        told.clear();
        EXPECT_EQ(Open(), 0);
        ASSERT_EQ(told.size(), 3u);  // every attempt
        const auto& last = scale->LastOpenFailure();
        ASSERT_TRUE(last);
        EXPECT_EQ(last->kind, c.kind);
        EXPECT_EQ(last->device, c.kind == Kind::Port ? c.device : init);
        EXPECT_EQ(last->number, c.number);
        EXPECT_EQ(last->reason.rfind(c.says, 0), 0u) << last->reason;
        EXPECT_EQ(told.back().reason, last->reason);
        std::filesystem::remove(init);
    }
    holder.SetPortOpen(false);
    told.clear();
    EXPECT_EQ(Open(), 1) << (told.empty() ? "" : told.back().reason);
    EXPECT_FALSE(scale->LastOpenFailure());
    EXPECT_TRUE(told.empty());
    EXPECT_EQ(runtime.Services().OpenProcesses(), 0u);

    ASSERT_EQ(Close(), 0);
    ASSERT_TRUE(scale->UnsubscribeOpenFailure(id));
    runtime.Ports().Bind(1, dir / "gone");
    EXPECT_EQ(Open(), 0);
    EXPECT_TRUE(told.empty());  // no one is told, the reason is still kept
    EXPECT_TRUE(scale->LastOpenFailure());
}

TEST_F(LoopTest, TheMarkerFileSwitchesOnTheExactLog) {
    dir.Write("LOGK880S.TMP", "");
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Close(), 0);
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(dir.Read("BDXK880S.LOG"),
              "\r\nStart debug...\r\nbegin ScaleOpen()\r\n"
              "ScaleOpen: scale ONLINE 1, timeout enabled\r\nend ScaleOpen()\r\n"
              "DisconnectFromScale: PASSED\r\nScaleOpen: scale OFFLINE 2, timeout disabled\r\n"
              "end ScaleOpen()\r\n"
              "begin ConnectToScale\r\nbegin OpenSerialPort\r\nbegin vnPortInit16\r\n"
              "vnPortinit16: PORTIN16 app not in win dir\r\nend vnPortInit16\r\n"
              "vnPortInit16 returned: 5\r\nOpenSerialPort: ready to open port\r\n"
              "OpenSerialPort: port opened\r\nend OpenSerialPort\r\nConnectToScale PASSED\r\n"
              "end ConnectToScale\r\n\r\nStart debug...\r\nbegin ScaleOpen()\r\n"
              "ScaleOpen: scale ONLINE 1, timeout enabled\r\nend ScaleOpen()\r\n");
}

TEST_F(LoopTest, ASymlinkedLogFileIsNotFollowed) {
    dir.Write("LOGK880S.TMP", "");
    dir.Write("victim", "precious\n");
    std::filesystem::create_symlink(dir / "victim", dir / "BDXK880S.LOG");
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Close(), 0);
    EXPECT_EQ(dir.Read("victim"), "precious\n");
    EXPECT_EQ(scale->Control().ConnectStatus(), 0);
}

TEST_F(LoopTest, TheContainerKeepsTheFixedSize) {
    scale->Control().UserControl_Resize();
    EXPECT_EQ(scale->Container().WidthTwips(), 540.0f);
    EXPECT_EQ(scale->Container().HeightTwips(), 488.0f);
}

TEST_F(LoopTest, ASecondOpenerOfThePortFails) {
    ASSERT_EQ(Open(), 1);
    posix::SerialPort other(loop, runtime.Ports());
    try {
        other.SetPortOpen(true);
        FAIL() << "opened twice";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), comm::kErrPortAlreadyOpen);
    }
    ASSERT_EQ(Close(), 0);
    other.SetPortOpen(true);  // free again
    EXPECT_TRUE(other.PortOpen());
}

}  // namespace
}  // namespace varnel::testing
