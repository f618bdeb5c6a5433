// The POSIX runtime's parts on their own: line settings, timers, processes, files, the port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "control/errors.h"
#include "platform/posix/line_settings.h"
#include "platform/posix/port_resolver.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/posix_timer.h"
#include "platform/posix/serial_port.h"
#include "tests/posix/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_util.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs the loop until pred holds or the time is up; true when it held.
bool RunUntil(posix::EventLoop& loop, const std::function<bool()>& pred,
              std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= end) return false;
        loop.RunFor(5ms);
    }
    return true;
}

TEST(LineSettingsTest, TermiosCarriesTheSettingsAndMarksLineErrorsWhateverTheParity) {
    auto parse = [](const char* text) {
        return comm::ParseLineSettings(text, posix::kLineCapabilities);
    };
    termios tio{};
    posix::ApplyLineSettings(tio, *parse("2400,E,7,2"), posix::kHandshakeRtsCts);
    EXPECT_EQ(cfgetospeed(&tio), B2400);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & PARODD);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(tio.c_lflag, 0u);
    for (const char* settings : {"2400,E,7,2", "2400,N,8,2"}) {
        SCOPED_TRACE(settings);
        posix::ApplyLineSettings(tio, *parse(settings), posix::kHandshakeNone);
        EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK | IGNPAR | IGNBRK | BRKINT | ISTRIP),
                  static_cast<tcflag_t>(INPCK | PARMRK));
    }
    // The rates termios names, and no 1.5 stop bits.
    const std::pair<const char*, speed_t> rates[] = {
        {"50,N,8,1", B50}, {"134,N,8,1", B134}, {"230400,N,8,1", B230400}};
    for (const auto& [settings, speed] : rates) {
        SCOPED_TRACE(settings);
        posix::ApplyLineSettings(tio, parse(settings).value(), posix::kHandshakeNone);
        EXPECT_EQ(cfgetispeed(&tio), speed);
        EXPECT_EQ(cfgetospeed(&tio), speed);
    }
    EXPECT_FALSE(parse("14400,N,8,1"));
    EXPECT_FALSE(parse("2400,N,5,1.5"));
}

TEST(PosixTimerTest, TicksOncePerIntervalAndRestartsLazily) {
    // The k-th tick after a restart comes k intervals after it at the earliest; on a busy
    // machine later, never earlier.
    posix::EventLoop loop;
    posix::PosixTimer timer(loop);
    std::vector<Clock::time_point> ticks;
    timer.SetOnTick([&] { ticks.push_back(Clock::now()); });
    timer.SetInterval(100);
    std::vector<Clock::time_point> restarts{Clock::now()};
    timer.SetEnabled(true);
    // Restarted every 40 ms for 400 ms: it does not fall due meanwhile.
    for (int i = 0; i < 10; ++i) {
        loop.RunFor(40ms);
        restarts.push_back(Clock::now());
        timer.SetEnabled(false);
        timer.SetEnabled(true);
    }
    ASSERT_TRUE(RunUntil(loop, [&] { return ticks.size() >= 3; }));
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        Clock::time_point restart = restarts.front();
        for (const auto r : restarts)
            if (r < ticks[i]) restart = std::max(restart, r);
        const auto k = std::count_if(ticks.begin(), ticks.begin() + static_cast<long>(i) + 1,
                                     [&](Clock::time_point t) { return t > restart; });
        EXPECT_GE(ticks[i] - restart, k * 99ms) << "tick " << i;
    }
    timer.SetEnabled(false);
    const std::size_t seen = ticks.size();
    loop.RunFor(250ms);
    EXPECT_EQ(ticks.size(), seen);
}

TEST(PosixTimerTest, TheNextIntervalStartsWhenTheTickReturns) {
    posix::EventLoop loop;
    posix::PosixTimer timer(loop);
    std::vector<Clock::time_point> ticks;
    timer.SetOnTick([&] {
        ticks.push_back(Clock::now());
        // A long tick, as a reconnect through a slow initialiser.
        std::this_thread::sleep_for(150ms);
    });
    timer.SetInterval(100);
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil(loop, [&] { return ticks.size() >= 3; }));
    EXPECT_GE(ticks[1] - ticks[0], 249ms);
    EXPECT_GE(ticks[2] - ticks[1], 249ms);
}

TEST(PosixTimerTest, ATickMayStopOrDestroyItsTimer) {
    posix::EventLoop loop;
    auto timer = std::make_unique<posix::PosixTimer>(loop);
    int ticks = 0;
    timer->SetInterval(20);
    timer->SetOnTick([&] {
        ++ticks;
        timer.reset();
    });
    timer->SetEnabled(true);
    ASSERT_TRUE(RunUntil(loop, [&] { return ticks == 1; }));
    loop.RunFor(100ms);
    EXPECT_EQ(ticks, 1);
}

TEST(EventLoopTest, CallsPostedFromAnotherThreadRunOnTheLoop) {
    posix::EventLoop loop;
    std::thread::id ranOn;
    std::thread other([&] {
        loop.Post([&] {
            ranOn = std::this_thread::get_id();
            loop.Stop();
        });
    });
    loop.Run();  // idle until the posted call stops it
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

class PosixSystemTest : public ::testing::Test {
  protected:
    TempDir dir;
    posix::PosixSystem system{dir.Path()};
};

TEST_F(PosixSystemTest, FindsFilesWithoutRegardToCaseAndOnlyNormalFiles) {
    dir.Write("logk880s.tmp", "");
    std::filesystem::create_directory(dir / "PORTIN16.EXE");
    EXPECT_EQ(system.FindFile(dir / "LOGK880S.TMP"), "logk880s.tmp");
    EXPECT_EQ(system.FindFile(dir / "logk880s.tmp"), "logk880s.tmp");
    EXPECT_EQ(system.FindFile(dir / "PORTIN16.EXE"), std::nullopt);  // a directory
    EXPECT_EQ(system.FindFile(dir / "missing"), std::nullopt);
    EXPECT_EQ(system.FindFile("/nonexistent-dir/LOGK880S.TMP"), std::nullopt);
}

// Sets a signal's disposition for one test and restores it afterwards.
class SignalDisposition {
  public:
    SignalDisposition(int sig, void (*handler)(int)) : sig_(sig) {
        struct sigaction a {};
        a.sa_handler = handler;
        ::sigaction(sig, &a, &old_);
    }
    ~SignalDisposition() { ::sigaction(sig_, &old_, nullptr); }

  private:
    int sig_;
    struct sigaction old_ {};
};

TEST_F(PosixSystemTest, RunsAProgramWithoutAShellAndWaitsForItWhateverSigchldIs) {
    dir.Write("init", "#!/bin/sh\n[ \"$1\" = 'COM 12;x' ] && exit 3\nexit 9\n", true);
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGCHLD ignored" : "SIGCHLD default");
        SignalDisposition sigchld(SIGCHLD, ignored ? SIG_IGN : SIG_DFL);
        auto p = system.StartProcess(dir / "init", {"COM 12;x"});
        ASSERT_TRUE(p);
        EXPECT_EQ(system.WaitForProcess(*p, 5000), System::kWaitEnded);
        // The argument arrived as one word, unexpanded. A child the kernel reaped leaves no
        // status behind.
        EXPECT_EQ(system.ProcessExitCode(*p), ignored ? -1 : 3);
        EXPECT_TRUE(system.CloseProcess(*p));
        EXPECT_EQ(system.OpenProcesses(), 0u);
    }
}

TEST_F(PosixSystemTest, AProgramThatCannotStartIsReported) {
    dir.Write("not-executable", "#!/bin/sh\nexit 0\n", false);
    EXPECT_FALSE(system.StartProcess(dir / "not-executable", {}));
    EXPECT_EQ(system.LastFailure(), "Permission denied");
    EXPECT_FALSE(system.StartProcess(dir / "missing", {}));
    EXPECT_EQ(system.LastFailure(), "No such file or directory");
    EXPECT_EQ(system.OpenProcesses(), 0u);
}

TEST_F(PosixSystemTest, TheProgramStartsWithAFreshSignalStateAndNoneOfOurDescriptors) {
    SignalDisposition pipe(SIGPIPE, SIG_IGN);
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &old);
    const int inherited = ::fcntl(STDERR_FILENO, F_DUPFD, 100);  // no close-on-exec
    // What the shell itself got; its commands run with their output on pipes.
    dir.Write("init",
              "#!/bin/sh\nexec 3>\"$1\"\n"
              "sig=$(grep -E '^Sig(Blk|Ign)' /proc/$$/status | cut -f2)\n"
              "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
              "echo $sig $fds >&3\n"
              "[ -e /proc/$$/fd/$2 ] && echo inherited $2 >&3\n"
              "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo own group >&3\nexit 0\n",
              true);
    auto p = system.StartProcess(dir / "init", {dir / "report", std::to_string(inherited)});
    ASSERT_TRUE(p);
    EXPECT_EQ(system.WaitForProcess(*p, 5000), System::kWaitEnded);
    EXPECT_TRUE(system.CloseProcess(*p));
    ::close(inherited);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // Signals 1 to 31: the C library keeps its own two real-time signals to itself.
    unsigned long long blocked = 0, ignored = 0;
    char fds[200] = "";
    const std::string report = dir.Read("report");
    ASSERT_EQ(std::sscanf(report.c_str(), "%llx %llx %199[^\n]", &blocked, &ignored, fds), 3)
        << report;
    EXPECT_EQ(blocked & 0x7fffffff, 0u);
    EXPECT_EQ(ignored & 0x7fffffff, 0u);
    EXPECT_EQ(report.substr(report.find('\n') + 1), "own group\n");
    EXPECT_STREQ(fds, "/dev/null /dev/null /dev/null");
}

TEST_F(PosixSystemTest, TheWaitIsBoundedAndALateProgramIsStoppedWithWhatItStarted) {
    dir.Write("slow", "#!/bin/sh\nsleep 30 &\necho $! > \"$1\"\nexec sleep 30\n", true);
    auto p = system.StartProcess(dir / "slow", {dir / "bg"});
    ASSERT_TRUE(p);
    const auto start = Clock::now();
    EXPECT_EQ(system.WaitForProcess(*p, 300), System::kWaitTimedOut);
    EXPECT_LT(Clock::now() - start, 15s);  // not the program's 30 s
    EXPECT_EQ(system.ProcessExitCode(*p), std::nullopt);
    // A process is gone once it is absent or a zombie left for init.
    const std::string bg = dir.Read("bg");
    const std::string stat = "/proc/" + bg.substr(0, bg.find('\n')) + "/stat";
    auto gone = [&] {
        const std::string text = ReadText(stat);
        return text.empty() || text.find(") Z ") != std::string::npos;
    };
    ASSERT_FALSE(gone());
    EXPECT_TRUE(system.CloseProcess(*p));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child left, not even a zombie
    const auto end = Clock::now() + 5s;
    while (!gone() && Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(gone()) << "the program's own child outlived it";
}

TEST_F(PosixSystemTest, AppendsToRegularFilesOnlyWithoutBlockingOrFollowingLinks) {
    dir.Write("target", "keep");
    std::filesystem::create_symlink(dir / "target", dir / "link.log");
    dir.Write("bdxk880s.log", "old\r\n");
    ASSERT_EQ(::mkfifo((dir / "fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "read.log").c_str(), 0600), 0);
    const int reader = ::open((dir / "read.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    struct Case {
        std::string path;
        bool written;
    };
    const Case cases[] = {
        {dir / "NEW.LOG", true},
        {dir / "BDXK880S.LOG", true},  // the existing file whatever its case
        {dir / "link.log", false},
        {dir / "fifo.log", false},  // no reader: would block
        {dir / "read.log", false},  // a reader: not a file
        {"/dev/null", false},
        {dir / "no-such-dir/x.log", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.written) {
            system.AppendToFile(c.path, "one\r\n");
            system.AppendToFile(c.path, "two\r\n");
        } else {
            EXPECT_THROW(system.AppendToFile(c.path, "x\r\n"), AutomationError);
        }
    }
    EXPECT_EQ(dir.Read("NEW.LOG"), "one\r\ntwo\r\n");
    EXPECT_EQ(dir.Read("bdxk880s.log"), "old\r\none\r\ntwo\r\n");
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"NEW.LOG", "bdxk880s.log", "fifo.log", "link.log",
                                                  "read.log", "target"}));
    EXPECT_EQ(dir.Read("target"), "keep");
    char byte;
    EXPECT_EQ(::read(reader, &byte, 1), 0);
    ::close(reader);
}

TEST(PortResolverTest, BindingsThenSystemDirectoryLinksThenSerialDevices) {
    TempDir dir;
    posix::PortResolver ports(dir.Path());
    std::filesystem::create_symlink("/dev/null", dir / "com3");
    ports.Bind(5, "/dev/ttyUSB0");
    EXPECT_EQ(ports.Resolve(5), "/dev/ttyUSB0");
    EXPECT_EQ(ports.Resolve(3), dir / "com3");
    EXPECT_EQ(ports.Resolve(1), "/dev/ttyS0");
    EXPECT_EQ(ports.Resolve(12), "/dev/ttyS11");
    ports.Unbind(5);
    EXPECT_EQ(ports.Resolve(5), "/dev/ttyS4");
}

class SerialPortTest : public ::testing::Test {
  protected:
    SerialPortTest() : ports(dir.Path()), port(loop, ports) { ports.Bind(1, pty.SlavePath()); }

    TempDir dir;
    PtyPair pty;
    posix::EventLoop loop;
    posix::PortResolver ports;
    posix::SerialPort port;
};

TEST_F(SerialPortTest, ReportsClearErrorsForWhatItCannotDo) {
    EXPECT_EQ(ErrorOf([&] { port.SetSettings("2400,N,9,2"); }), comm::kErrInvalidSettings);
    EXPECT_EQ(port.Settings(), "9600,N,8,1");
    EXPECT_EQ(ErrorOf([&] { port.SetHandshaking(4); }), comm::kErrInvalidSettings);
    EXPECT_EQ(ErrorOf([&] { (void)port.Input(); }), comm::kErrPortOpenOnly);
    EXPECT_EQ(ErrorOf([&] { port.SetInBufferCount(0); }), comm::kErrPortOpenOnly);
    EXPECT_EQ(ErrorOf([&] { port.SetCommPort(0); }), comm::kErrInvalidPortNumber);
    ports.Bind(7, dir / "ttyUSB9");  // a serial device that is not there
    port.SetCommPort(7);
    EXPECT_EQ(ErrorOf([&] { port.SetPortOpen(true); }), comm::kErrInvalidPortNumber);
    ports.Bind(7, dir.Path());  // not a device at all
    EXPECT_NE(ErrorOf([&] { port.SetPortOpen(true); }), 0);
    dir.Write("plain", "");
    ports.Bind(7, dir / "plain");
    EXPECT_EQ(ErrorOf([&] { port.SetPortOpen(true); }), comm::kErrInvalidPortNumber);
    EXPECT_FALSE(port.PortOpen());
    port.SetCommPort(1);
    port.SetPortOpen(true);
    EXPECT_EQ(ErrorOf([&] { port.SetPortOpen(true); }), comm::kErrPortAlreadyOpen);
    EXPECT_EQ(ErrorOf([&] { port.SetCommPort(2); }), comm::kErrPortAlreadyOpen);
    // A device that refuses new line settings keeps its line, and the properties theirs.
    pty.CloseMaster();
    EXPECT_EQ(ErrorOf([&] { port.SetSettings("2400,N,8,2"); }), comm::kErrSetCommState);
    EXPECT_EQ(port.Settings(), "9600,N,8,1");
    EXPECT_EQ(ErrorOf([&] { port.SetHandshaking(2); }), comm::kErrSetCommState);
    EXPECT_EQ(port.Handshaking(), 0);
}

TEST_F(SerialPortTest, DeliversOneReceiveEventPerCharacterAndDiscardsOnRequest) {
    port.SetPortOpen(true);
    port.SetInputLen(1);
    std::string got;
    int events = 0;
    port.SetOnComm([&] {
        ++events;
        EXPECT_EQ(port.CommEvent(), comm::kEvReceive);
        got += port.Input();
    });
    pty.Write("abc");
    RunUntil(loop, [&] { return got.size() >= 3; });
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(events, 3);

    // A handler that empties the buffer ends the burst.
    port.SetOnComm([&] {
        ++events;
        got += port.Input();
        port.SetInBufferCount(0);
    });
    events = 0;
    got.clear();
    pty.Write("xyz");
    RunUntil(loop, [&] { return events > 0; });
    loop.RunFor(100ms);
    EXPECT_EQ(got, "x");
    EXPECT_EQ(events, 1);
    EXPECT_EQ(port.InBufferCount(), 0);
}

TEST_F(SerialPortTest, TheFlushReadTakesEverythingWaiting) {
    pty.Write("stale bytes");  // buffered before the port opens
    port.SetPortOpen(true);
    port.SetInputLen(0);
    EXPECT_EQ(port.Input(), "stale bytes");
    EXPECT_EQ(port.Input(), "");
}

TEST_F(SerialPortTest, AHandlerMayCloseThePortMidBurst) {
    port.SetPortOpen(true);
    port.SetInputLen(1);
    int events = 0;
    port.SetOnComm([&] {
        ++events;
        (void)port.Input();
        port.SetPortOpen(false);
    });
    pty.Write("12345");
    RunUntil(loop, [&] { return events > 0; });
    loop.RunFor(100ms);
    EXPECT_EQ(events, 1);
    EXPECT_FALSE(port.PortOpen());
}

}  // namespace
}  // namespace varnel::testing
