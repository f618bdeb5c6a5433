// The varnel binary end to end: exit codes, help, JSON output, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/cli/child_process.h"
#include "tests/posix/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_util.h"
#include "tools/varnel/line_writer.h"
#include "tools/varnel/output.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

const std::string kVarnel = VARNEL_BINARY;

TEST(CliTest, UsageErrorsExitTwoWithOneLine) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"monitor", "--units", "furlongs"},
        {"monitor", "--notify", "sometimes"},
        {"monitor", "--port", "0"},
        {"monitor", "--port", "x"},
        {"monitor", "--port", "3", "--device", "/dev/null"},
        {"monitor", "--no-such-flag"},
        {"ports", "--highest", "1000"},
        {"simulate"},
        {"simulate", "--pty", "--device", "/dev/null"},
        {"simulate", "--pty", "--layout", "stone"},
        {"simulate", "--pty", "--script", "ramp:0:x:5"},
        {"simulate", "--pty", "--fault", "flood@every:3"},
        {"simulate", "--pty", "--status", "0,16@1-2"},
        {"demo", "--duration", "0"},
        {"form"},
        {"form", "get", "x.json"},
        {"form", "set", "x.json", "CommPort"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {kVarnel};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        ChildProcess p(argv);
        EXPECT_EQ(p.Wait(10s), 2);
        const std::string err = p.Stderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("varnel: ", 0), 0u) << err;
        EXPECT_EQ(p.RestOfStdout(), "");
    }
}

TEST(CliTest, EverySubcommandHasHelp) {
    for (const char* sub : {"monitor", "ports", "simulate", "demo", "form", "about"}) {
        SCOPED_TRACE(sub);
        ChildProcess p({kVarnel, sub, "--help"});
        EXPECT_EQ(p.Wait(10s), 0);
        EXPECT_NE(p.RestOfStdout().find("Usage:"), std::string::npos);
    }
}

class MonitorTest : public ::testing::Test {
  protected:
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> extra) {
        std::vector<std::string> argv = {kVarnel,  "monitor",      "--device",    pty.SlavePath(),
                                         "--json", "--system-dir", "/nonexistent"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return std::make_unique<ChildProcess>(argv);
    }
    // Limits are generous: they are only reached when something is wrong, and a busy machine
    // may take seconds to start a process or deliver a line.
    json Next(ChildProcess& p, std::chrono::milliseconds limit = 10s) {
        auto line = p.ReadLine(limit);
        if (!line) throw std::runtime_error("no line on stdout");
        return json::parse(*line);
    }
    static bool IsWeight(const json& e) { return e["ScaleCommEvent"] == 1; }
    // Writes a frame to the line, again and again at the scale's pace, until a line that pred
    // accepts arrives.
    json FeedUntil(ChildProcess& p, const std::string& frame,
                   const std::function<bool(const json&)>& pred) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            pty.Write(frame);
            while (auto line = p.ReadLine(250ms)) {
                json e = json::parse(*line);
                if (pred(e)) return e;
            }
        }
        throw std::runtime_error("no matching line on stdout");
    }
    PtyPair pty;
};

TEST_F(MonitorTest, JsonLinesCarryTheHandlersView) {
    auto p = Start({"--units", "grams"});
    EXPECT_EQ(Next(*p), json::parse(R"({"ScaleOpen":1})"));
    const json e = FeedUntil(*p, Frame(' ', "01234"), IsWeight);
    const std::vector<std::string> keys = {"ScaleCommEvent", "ScaleStatus",    "RawWtUnits",
                                           "RawWt",          "FormattedWt",    "NetWt",
                                           "NetWtUnits",     "WtNotification", "ConnectStatus"};
    ASSERT_EQ(e.size(), keys.size());
    for (const auto& k : keys)
        EXPECT_TRUE(e.contains(k)) << k;
    EXPECT_EQ(e["ScaleCommEvent"], 1);
    EXPECT_EQ(e["RawWtUnits"], 1);
    EXPECT_EQ(e["RawWt"], "01234");
    EXPECT_EQ(e["FormattedWt"], "012.34");
    EXPECT_EQ(e["NetWt"].get<double>(), 12340.0);
    EXPECT_EQ(e["NetWtUnits"], 2);
    EXPECT_EQ(e["ConnectStatus"], 1);

    // The line is emptied after every frame, right after the event is printed: a frame that
    // arrives before that is discarded with it, so it is sent again until it is seen.
    const json s = FeedUntil(*p, Frame('0', "00005"),  // pounds-ounces: 5 tenths of an ounce
                             [](const json& line) { return line["RawWtUnits"] == 2; });
    EXPECT_EQ(s["FormattedWt"], "00:00.5");
    // The shortest text that reads back to the same float.
    const float net = static_cast<float>(s["NetWt"].get<double>());
    EXPECT_EQ(net, 0x1.c597c8p+3f);  // grams of half an ounce through the rounded chain
    p->Signal(SIGTERM);
    EXPECT_EQ(p->Wait(10s), 0);
}

TEST_F(MonitorTest, TextThatIsNotAsciiStaysValidJson) {
    auto p = Start({});
    Next(*p);
    // No units: the field as it is.
    const json e = FeedUntil(*p, Frame('\x10', std::string("\"\\\x80\x01") + "A"), IsWeight);
    EXPECT_EQ(e["RawWt"], std::string("\"\\\xc2\x80\x01"
                                      "A"));
    EXPECT_EQ(e["FormattedWt"], "");
    p->Signal(SIGINT);
    EXPECT_EQ(p->Wait(10s), 0);
}

TEST_F(MonitorTest, KeepsRunningThroughALossAndTheReconnect) {
    auto p = Start({"--notify", "changed"});
    Next(*p);
    const json lost = Next(*p);
    EXPECT_EQ(lost["ScaleCommEvent"], 3);
    EXPECT_EQ(lost["ConnectStatus"], 0);
    const json back = Next(*p, 15s);
    EXPECT_EQ(back["ScaleCommEvent"], 4);
    EXPECT_EQ(back["ConnectStatus"], 1);
    EXPECT_EQ(back["WtNotification"], 1);
    p->Signal(SIGTERM);
    EXPECT_EQ(p->Wait(10s), 0);
}

TEST_F(MonitorTest, AStopRequestEndsItWhileNobodyReadsItsOutput) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        auto p = Start({});
        const int out = p->StdoutFd();
        ASSERT_GT(::fcntl(out, F_SETPIPE_SZ, 4096), 0);
        Next(*p);
        // Frames at the scale's pace until the pipe cannot take another line, then a few more
        // for the monitor to try.
        int queued = 0;
        for (int frames = 0, after = 0; after < 10 && frames < 2000; ++frames) {
            pty.Write(Frame(' ', "00100"));
            std::this_thread::sleep_for(20ms);
            ASSERT_EQ(::ioctl(out, FIONREAD, &queued), 0);
            if (queued > 4096 - 200) ++after;
        }
        ASSERT_GT(queued, 4096 - 200) << "the pipe never filled";
        p->Signal(sig);
        EXPECT_EQ(p->Wait(10s), 0);
    }
}

TEST_F(MonitorTest, AMissingDeviceIsRetriedUntilStopped) {
    ChildProcess p({kVarnel, "monitor", "--device", "/nonexistent/tty", "--json"});
    EXPECT_EQ(json::parse(*p.ReadLine(10s)), json::parse(R"({"ScaleOpen":0})"));
    EXPECT_FALSE(p.ReadLine(500ms));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(10s), 0);
}

TEST(CliTest, SimulatorAndMonitorTalkOverAPseudoTerminal) {
    ChildProcess scale({kVarnel, "simulate", "--pty", "--layout", "g", "--script", "ramp:100:200:1",
                        "--fault", "garbage:5@every:4", "--fault", "stx@at:10"});
    const auto slave = scale.ReadLine(10s);
    ASSERT_TRUE(slave);
    ASSERT_EQ(slave->rfind("/dev/pts/", 0), 0u) << *slave;
    ChildProcess monitor({kVarnel, "monitor", "--device", *slave, "--json", "--units", "grams",
                          "--system-dir", "/nonexistent"});
    EXPECT_EQ(json::parse(*monitor.ReadLine(10s)), json::parse(R"({"ScaleOpen":1})"));
    double last = 0.0;
    int weights = 0;
    while (weights < 15) {
        const auto line = monitor.ReadLine(10s);
        ASSERT_TRUE(line);
        const json e = json::parse(*line);
        // A monitor held up for a second by a busy machine may see a loss and the reconnect.
        if (e["ScaleCommEvent"] == 3 || e["ScaleCommEvent"] == 4) continue;
        ASSERT_EQ(e["ScaleCommEvent"], 1) << *line;
        const double net = e["NetWt"].get<double>();
        EXPECT_GE(net, last);  // a rising ramp, however the faults cut it
        EXPECT_LE(net, 200.0);
        EXPECT_EQ(e["RawWtUnits"], 3);
        last = net;
        ++weights;
    }
    EXPECT_GT(last, 100.0);
    monitor.Signal(SIGTERM);
    scale.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(10s), 0);
    EXPECT_EQ(scale.Wait(10s), 0);
}

TEST(CliTest, FormFilesAreEditedThroughThePages) {
    TempDir dir;
    const std::string form = dir / "scale.json";
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), kVarnel);
        auto p = std::make_unique<ChildProcess>(args);
        p->Wait(10s);
        return p;
    };
    auto set = run({"form", "set", form, "CommPort", " 2.5 "});  // half to even
    EXPECT_EQ(set->Wait(0ms), 0);
    EXPECT_EQ(set->RestOfStdout(), "CommPort = 2\n");
    EXPECT_EQ(run({"form", "set", form, "NetWtUnits", "Grams"})->Wait(0ms), 0);
    EXPECT_EQ(run({"form", "set", form, "WtNotification", "vnChanged"})->Wait(0ms), 0);
    const std::string saved = dir.Read("scale.json");

    for (const auto& bad :
         std::vector<std::vector<std::string>>{{"form", "set", form, "CommPort", "COM1"},
                                               {"form", "set", form, "CommPort", "40000"},
                                               {"form", "set", form, "RawWt", "00001"},
                                               {"form", "set", form, "NetWtUnits", "stones"}}) {
        auto p = run(bad);
        EXPECT_EQ(p->Wait(0ms), 1) << bad[3];
        EXPECT_NE(p->Stderr().find(bad[3]), std::string::npos) << "the error names the key";
        EXPECT_EQ(dir.Read("scale.json"), saved) << "a failed edit leaves the file as it was";
    }
    auto get = run({"form", "get", form, "netwtunits"});
    EXPECT_EQ(get->RestOfStdout(), "2\n");
    auto show = run({"form", "show", form});
    const std::string table = show->RestOfStdout();
    EXPECT_NE(table.find("WtNotification  Long     1"), std::string::npos) << table;

    dir.Write("broken.json", "{\"format\": \"varnel-form\", \"version\": 1, \"properties\": {");
    auto broken = run({"form", "show", dir / "broken.json"});
    EXPECT_EQ(broken->Wait(0ms), 1);
    EXPECT_NE(broken->Stderr().find("broken.json"), std::string::npos);
    EXPECT_EQ(broken->RestOfStdout(), "");
}

TEST(CliTest, AnErrorAtTheTopIsOneLineAndExitOne) {
    // The form's saved weight cannot be converted to the units asked for.
    TempDir dir;
    dir.Write("scale.json", R"({"format": "varnel-form", "version": 1, "properties": {
        "RawWtUnits": {"type": "Integer", "value": 3},
        "RawWt": {"type": "String", "value": "x\u001b"},
        "WtNotification": {"type": "Long", "value": 1}}})");
    ChildProcess p({kVarnel, "monitor", "--form", dir / "scale.json", "--units", "grams",
                    "--system-dir", "/nonexistent"});
    EXPECT_EQ(p.Wait(10s), 1);
    const std::string err = p.Stderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("\"x\\u001b\" does not convert: Type mismatch"), std::string::npos) << err;
    EXPECT_EQ(p.RestOfStdout(), "");
}

TEST(LineWriterTest, AReaderThatStopsLosesWholeLinesAndHearsHowMany) {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ASSERT_GT(::fcntl(fds[0], F_SETPIPE_SZ, 4096), 0);
    boost::asio::io_context io;
    {
        cli::LineWriter writer(io, fds[1], 1000);
        std::uint64_t dropped = 0;
        int error = 0;
        writer.onDrained = [&](std::uint64_t n) { dropped += n; };
        writer.onError = [&](int e) { error = e; };
        const std::string line(99, 'x');
        for (int i = 0; i < 100; ++i)
            EXPECT_TRUE(writer.Write(line));  // never blocks
        EXPECT_GT(writer.Pending(), 0u);
        EXPECT_FALSE(::fcntl(fds[1], F_GETFL) & O_NONBLOCK);  // the caller's descriptor as it was

        // The reader comes back: what waited goes out, then the count of what was dropped.
        ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
        std::string got;
        auto take = [&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
                got.append(buf, static_cast<std::size_t>(n));
        };
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (dropped == 0 && std::chrono::steady_clock::now() < end) {
            take();
            io.run_for(5ms);
            io.restart();
        }
        take();
        const auto lines = static_cast<std::uint64_t>(std::count(got.begin(), got.end(), '\n'));
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(lines + dropped, 100u);
        std::string whole;
        for (std::uint64_t i = 0; i < lines; ++i)
            whole += line + "\n";
        EXPECT_EQ(got, whole);

        // The reader goes for good.
        ::close(fds[0]);
        EXPECT_FALSE(writer.Write(line));
        EXPECT_EQ(error, EPIPE);
    }
    ::close(fds[1]);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(OutputTest, TextLinesEscapeTheBytesOfTheLine) {
    cli::EventRecord r;
    r.scaleCommEvent = 1;
    r.rawWtUnits = 3;
    r.formattedWt = "\x1b[2J\x07\\\x9b";
    const std::string line = cli::HumanLine("12:00:00.000", r);
    EXPECT_NE(line.find("\\u001b[2J\\u0007\\\\\\u009b g"), std::string::npos) << line;
    EXPECT_EQ(std::count_if(line.begin(), line.end(), [](char c) { return c < 0x20 || c >= 0x7F; }),
              0)
        << line;
}

TEST_F(MonitorTest, ASavedFormChoosesThePortUnitsAndPolicy) {
    TempDir dir;
    const std::string form = dir / "scale.json";
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"CommPort", "7"}, {"NetWtUnits", "Ounces"}, {"WtNotification", "1"}}) {
        ChildProcess set({kVarnel, "form", "set", form, key, value});
        ASSERT_EQ(set.Wait(10s), 0);
    }
    // Port 7 opens <system dir>/com7.
    std::filesystem::create_symlink(pty.SlavePath(), dir / "com7");
    ChildProcess p({kVarnel, "monitor", "--form", form, "--system-dir", dir.Path(), "--json"});
    EXPECT_EQ(Next(p), json::parse(R"({"ScaleOpen":1})"));
    const json e = FeedUntil(p, Frame(' ', "00100"), IsWeight);
    EXPECT_EQ(e["NetWtUnits"], 3);
    EXPECT_EQ(e["WtNotification"], 1);
    EXPECT_EQ(e["FormattedWt"], "001.00");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(10s), 0);
}

TEST(CliTest, AboutShowsTheVersion) {
    ChildProcess p({kVarnel, "about"});
    EXPECT_EQ(p.Wait(10s), 0);
    const std::string out = p.RestOfStdout();
    EXPECT_NE(out.find("About Varnel"), std::string::npos);
    EXPECT_NE(out.find("(3.0)"), std::string::npos);
}

TEST(CliTest, DemoRunsABoundedSessionWithoutHardware) {
    ChildProcess demo({kVarnel, "demo", "--duration", "2.5"});
    EXPECT_EQ(demo.Wait(30s), 0);
    const std::string out = demo.RestOfStdout();
    EXPECT_NE(out.find("ScaleOpen(-1) = 1"), std::string::npos) << out;
    EXPECT_NE(out.find("OnScaleComm: weight"), std::string::npos) << out;
    EXPECT_NE(out.find("ScaleOpen(0): link closed"), std::string::npos) << out;
}

}  // namespace
}  // namespace varnel::testing
