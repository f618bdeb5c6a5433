// The control on the POSIX runtime against a real pseudo-terminal: the runtime scenarios on a rig
// of its own, and what only this runtime has.
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "host/scale.h"
#include "platform/posix/serial_port.h"
#include "tests/posix/pty_pair.h"
#include "tests/scenarios/rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_util.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Port 2 resolves through <system dir>/com2, a link to the device node, here itself a link in the
// test's own directory to the pseudo-terminal: when the cable is pulled the device link goes, and
// no other program's pseudo-terminal can take its place under that name.
class PtyRig : public Rig {
  public:
    static constexpr std::int16_t kPort = 2;

    PtyRig() : runtime(loop, dir.Path()) {
        port = kPort;
        timerLead = 10ms;
        fs::create_symlink(dir / "ttyUSB0", dir / "com2");
        PlugInCable();
        scale = std::make_unique<host::Scale>(runtime);
        scale->Control().SetCommPort(kPort);
        scale->Container().SubscribeScaleComm([this] {
            Varnel& c = scale->Control();
            Record(Seen{c.ScaleCommEvent(), c.RawWtUnits(), c.ConnectStatus(), c.RawWt(),
                        c.FormattedWt(), *c.NetWt().R4()});
        });
        scale->Container().SubscribeErrors(
            [this](const AutomationError& e) { errors.push_back(e.Number()); });
    }

    std::int16_t ScaleOpen(std::int16_t connectassert) override {
        return scale->Control().ScaleOpen(connectassert);
    }
    std::int16_t ConnectStatus() override { return scale->Control().ConnectStatus(); }
    void SetNetWtUnits(std::int32_t units) override {
        scale->Control().SetNetWtUnits(static_cast<VN_UOM_ENUM>(units));
    }
    bool SetPortInitTimeout(std::uint32_t milliseconds) override {
        scale->Control().SetPortInitTimeout(milliseconds);
        return true;
    }
    std::vector<std::int32_t> EventErrors() override { return errors; }

    void Write(std::string_view bytes) override { pty->Write(bytes); }
    void PullCable() override {
        fs::remove(dir / "ttyUSB0");
        pty->CloseMaster();
    }
    void PlugInCable() override {
        pty = std::make_unique<PtyPair>();
        fs::create_symlink(pty->SlavePath(), dir / "ttyUSB0");
    }
    void ExpectLineIs2400Baud8N2() override {
        // Both sides of a pseudo-terminal share one termios.
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty->Master(), &tio), 0);
        EXPECT_EQ(cfgetispeed(&tio), B2400);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_TRUE(tio.c_cflag & CSTOPB);
        EXPECT_FALSE(tio.c_cflag & PARENB);
        EXPECT_FALSE(tio.c_lflag & ICANON);
        EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK | IGNPAR | IGNBRK | BRKINT),
                  static_cast<tcflag_t>(INPCK | PARMRK));  // line errors are marked
    }
    std::int32_t OpenElsewhere() override {
        posix::SerialPort other(loop, runtime.Ports());
        other.SetCommPort(kPort);
        const std::int32_t error = ErrorOf([&] { other.SetPortOpen(true); });
        return error != 0 ? error : other.PortOpen() ? 0 : -1;
    }

    bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) override {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            loop.RunFor(5ms);
        }
        return true;
    }
    void RunNested(std::chrono::milliseconds d) override { loop.Context().run_for(d); }
    std::chrono::milliseconds Cpu() override {
        rusage r{};
        ::getrusage(RUSAGE_SELF, &r);
        return std::chrono::milliseconds((r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000L +
                                         (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000);
    }

    fs::path SystemDir() override { return dir.Path(); }
    void InstallInitialiser(Initialiser kind) override {
        // Each run appends "pid command-line" to runs in its own directory; the one that records
        // is waited for, so its line is there when the opening returns.
        if (kind == Initialiser::Records) {
            dir.Write("PORTIN16.EXE",
                      "#!/bin/sh\nsleep 0.2\necho \"$$ $0 $*\" >> \"$(dirname \"$0\")/runs\"\n"
                      "exit 3\n",
                      true);
        } else {
            dir.Write("portin16.exe",  // any case matches
                      "#!/bin/sh\nruns=\"$(dirname \"$0\")/runs\"\necho \"$$ $0 $*\" >> \"$runs\"\n"
                      "sh -c 'echo \"$$ $0 child\" >> \"$1\"; exec sleep 30' \"$0\" \"$runs\" &\n"
                      "exec sleep 30\n",
                      true);
        }
    }
    std::vector<Started> InitialiserRuns() override { return RunsIn(dir.Read("runs")); }
    bool Ends(const Started& run, std::chrono::milliseconds limit) override {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!Gone(static_cast<pid_t>(run.pid))) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    std::optional<std::size_t> OpenProcesses() override {
        return runtime.Services().OpenProcesses();
    }

    TempDir dir;
    std::unique_ptr<PtyPair> pty;
    posix::EventLoop loop;
    posix::Runtime runtime;
    std::unique_ptr<host::Scale> scale;
    std::vector<std::int32_t> errors;

  private:
    // Ended, or ended and not yet reaped by whoever inherited it.
    static bool Gone(pid_t pid) {
        if (::kill(pid, 0) != 0) return errno == ESRCH;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t name = text.rfind(')');
        return name != std::string::npos && text.substr(name + 1, 3) == " Z ";
    }
};

INSTANTIATE_TEST_SUITE_P(Posix, RuntimeScenario, ::testing::Values(RigOf<PtyRig>("pty")));

using PtyTest = OnRig<PtyRig>;

TEST_F(PtyTest, AFailedOpeningKeepsItsReasonUntilThePortOpens) {
    using Kind = posix::OpenFailure::Kind;
    std::vector<posix::OpenFailure> told;
    auto& scale = rig.scale;
    const TempDir& dir = rig.dir;
    const auto id =
        scale->SubscribeOpenFailure([&](const posix::OpenFailure& f) { told.push_back(f); });
    scale->Control().SetPortInitTimeout(200);
    dir.Write("plain", "");
    const std::string init = dir / "PORTIN16.EXE";
    const std::string slave = rig.pty->SlavePath();
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
        {"in use", slave, nullptr, Kind::Port, comm::kErrPortAlreadyOpen, slave + ": "},
        {"initialiser not executable", slave, "exit 0\n", Kind::Initialiser, 1,
         init + ": cannot be started: Permission denied"},
        {"initialiser hangs", slave, "#!/bin/sh\nexec sleep 30\n", Kind::Initialiser, 2,
         init + ": still running after 200 ms; stopped"},
    };
    posix::SerialPort holder(rig.loop, rig.runtime.Ports());
    holder.SetCommPort(PtyRig::kPort);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rig.runtime.Ports().Bind(PtyRig::kPort, c.device);
        if (c.initialiser) dir.Write("PORTIN16.EXE", c.initialiser, c.initialiser[0] == '#');
        holder.SetPortOpen(c.number == comm::kErrPortAlreadyOpen);
        told.clear();
        EXPECT_EQ(rig.Open(), 0);
        ASSERT_EQ(told.size(), 3u);  // every attempt
        const auto& last = scale->LastOpenFailure();
        ASSERT_TRUE(last);
        EXPECT_EQ(last->kind, c.kind);
        EXPECT_EQ(last->device, c.kind == Kind::Port ? c.device : init);
        EXPECT_EQ(last->number, c.number);
        EXPECT_EQ(last->reason.rfind(c.says, 0), 0u) << last->reason;
        EXPECT_EQ(told.back().reason, last->reason);
        fs::remove(init);
    }
    holder.SetPortOpen(false);
    told.clear();
    EXPECT_EQ(rig.Open(), 1) << (told.empty() ? "" : told.back().reason);
    EXPECT_FALSE(scale->LastOpenFailure());
    EXPECT_TRUE(told.empty());
    EXPECT_EQ(rig.runtime.Services().OpenProcesses(), 0u);

    ASSERT_EQ(rig.Close(), 0);
    ASSERT_TRUE(scale->UnsubscribeOpenFailure(id));
    rig.runtime.Ports().Bind(PtyRig::kPort, dir / "gone");
    EXPECT_EQ(rig.Open(), 0);
    EXPECT_TRUE(told.empty());  // no one is told, the reason is still kept
    EXPECT_TRUE(scale->LastOpenFailure());
}

TEST_F(PtyTest, ASymlinkedLogFileIsNotFollowed) {
    rig.dir.Write("LOGK880S.TMP", "");
    rig.dir.Write("victim", "precious\n");
    fs::create_symlink(rig.dir / "victim", rig.dir / "BDXK880S.LOG");
    ASSERT_EQ(rig.Open(), 1);
    ASSERT_EQ(rig.Close(), 0);
    EXPECT_EQ(rig.dir.Read("victim"), "precious\n");
    EXPECT_EQ(rig.ConnectStatus(), 0);
}

TEST_F(PtyTest, TheContainerKeepsTheFixedSize) {
    rig.scale->Control().UserControl_Resize();
    EXPECT_EQ(rig.scale->Container().WidthTwips(), 540.0f);
    EXPECT_EQ(rig.scale->Container().HeightTwips(), 488.0f);
}

}  // namespace
}  // namespace varnel::testing
