// The varnel binary end to end: exit codes, help, JSON output, signals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/cli/child_process.h"
#include "tests/posix/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_util.h"
#include "tools/varnel/output.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

const std::string kVarnel = VARNEL_BINARY;

// A port that something listens on.
class BusyPort {
  public:
    BusyPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size) != 0 ||
            ::listen(fd_, 1) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size)) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(a.sin_port);
    }
    ~BusyPort() { ::close(fd_); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    int fd_;
    unsigned port_ = 0;
};

TEST(CliTest, UsageErrorsExitTwoWithOneLine) {
    const BusyPort busy;
    // One device under three names.
    const PtyPair pty;
    const TempDir dir;
    std::filesystem::create_symlink(pty.SlavePath(), dir / "scale");
    const std::string pts = pty.SlavePath();
    const std::string dotted = pts.substr(0, pts.rfind('/')) + "/." + pts.substr(pts.rfind('/'));
    dir.Write("scales.json", R"([{"name":"a","device":")" + pts + R"("},{"name":"b","device":")" +
                                 (dir / "scale").string() + R"("}])");
    dir.Write("dotted.json", R"([{"name":"a","device":")" + pts + R"("},{"name":"b","device":")" +
                                 dotted + R"("}])");
    // The command line, and a fragment of the message where it is worded here.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "say what to do: monitor, read,"},
        {{"bogus"}, ""},
        {{"monitor", "--units", "furlongs"}, "\"furlongs\" is not a unit; use lb, kg, g or oz"},
        {{"read", "--units", "lbs"}, "is not a unit"},
        {{"monitor", "--notify", "sometimes"}, "use everytime or changed"},
        {{"monitor", "--port", "0"}, "give 1 to 255"},
        {{"monitor", "--port", "abc"}, "--port: \"abc\" is not a port number"},
        {{"read", "--port"}, "--port needs a value"},
        {{"monitor", "--device"}, "--device needs a value"},
        {{"monitor", "--port", "3", "--device", "/dev/null"}, ""},
        {{"monitor", "--no-such-flag"}, ""},
        {{"monitor", "--count", "0"}, "not a count"},
        {{"monitor", "--timeout", "soon"}, "not a number of seconds"},
        {{"read", "--timeout", "0"}, "not a number of seconds above 0"},
        {{"read", "--stable", "0"}, ""},
        {{"ports", "--highest", "1000"}, ""},
        {{"simulate"}, "simulate needs --device PATH or --pty"},
        {{"simulate", "--pty", "--device", "/dev/null"}, ""},
        {{"simulate", "--pty", "--layout", "stone"}, ""},
        {{"simulate", "--pty", "--script", "ramp:0:x:5"}, ""},
        {{"simulate", "--pty", "--fault", "flood@every:3"}, ""},
        {{"simulate", "--pty", "--status", "0,16@1-2"}, ""},
        {{"simulate", "--pty", "--duration", "-1"}, ""},
        {{"demo", "--duration", "0"}, ""},
        {{"form"}, ""},
        {{"form", "get", "x.json"}, ""},
        {{"form", "set", "x.json", "CommPort"}, ""},
        {{"serve", "--units", "stone"}, "is not a unit"},
        {{"serve", "--config", "x.json", "--device", "/dev/null"}, ""},
        {{"serve", "--max-clients", "0"}, ""},
        {{"serve", "--listen", "8398"}, "--listen 8398: expected ADDR:PORT"},
        {{"serve", "--config", "/nonexistent/s.json"}, "/nonexistent/s.json: cannot read"},
        {{"serve", "--device", "/dev/null", "--listen", "0.0.0.0:0"},
         "--listen 0.0.0.0:0: listening beyond loopback needs --token-file"},
        {{"serve", "--device", "/dev/null", "--listen", "[::]:0"}, "needs --token-file"},
        {{"serve", "--device", "/dev/null", "--listen", "localhost:0"},
         "--listen localhost:0: give a numeric address"},
        {{"serve", "--device", "/dev/null", "--listen", busy.Address()},
         "--listen " + busy.Address() + ": the address is in use"},
        {{"serve", "--listen", "127.0.0.1:0", "--allow-origin", "null"},
         "--allow-origin null: give * or an origin such as http://pos.example:8080"},
        {{"serve", "--listen", "127.0.0.1:0", "--allow-origin", "pos.example"}, "give * or"},
        {{"serve", "--listen", "127.0.0.1:0", "--allow-origin", "http://pos.example/"}, "give *"},
        {{"serve", "--listen", "127.0.0.1:0", "--allow-origin", "*.example.com"}, "give * or"},
        {{"serve", "--listen", "127.0.0.1:0", "--config", (dir / "scales.json").string()},
         "scale \"b\" uses " + (dir / "scale").string() + ", the same device as scale \"a\""},
        {{"serve", "--listen", "127.0.0.1:0", "--config", (dir / "dotted.json").string()},
         "the same device as scale \"a\""},
    };
    for (const auto& [args, fragment] : cases) {
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
        EXPECT_NE(err.find(fragment), std::string::npos) << err;
        EXPECT_EQ(p.RestOfStdout(), "");
    }
}

TEST(CliTest, EverySubcommandHasHelp) {
    for (const char* sub :
         {"monitor", "read", "serve", "ports", "simulate", "demo", "form", "about"}) {
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
    EXPECT_EQ(e.size(), 15u);
    EXPECT_EQ(e["ScaleCommEvent"], 1);
    EXPECT_EQ(e["event"], "weight");
    EXPECT_EQ(e["device"], pty.SlavePath());
    EXPECT_EQ(e["units"], "g");
    EXPECT_EQ(e["valid"], true);
    EXPECT_EQ(e["NetWtText"], "12340");
    EXPECT_EQ(e["t"].get<std::string>().back(), 'Z');
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

TEST_F(MonitorTest, AMissingDeviceIsRetriedUntilStoppedAndItsReasonToldOnce) {
    ChildProcess p({kVarnel, "monitor", "--device", "/nonexistent/tty"});
    const auto first = p.ReadLine(10s);
    ASSERT_TRUE(first);
    EXPECT_NE(first->find("cannot open yet, retrying every 3 s: /nonexistent/tty"),
              std::string::npos);
    EXPECT_FALSE(p.ReadLine(3500ms));  // a retry fails the same way
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(10s), 0);
    EXPECT_EQ(p.Stderr(),
              "varnel: cannot open the port (error 8002): /nonexistent/tty: No such file or "
              "directory\n");
}

TEST_F(MonitorTest, OpenErrorsAreJsonLinesToldAgainAfterTheLinkWasUp) {
    TempDir dir;
    const std::string link = dir / "com1", gone = dir / "gone";
    std::filesystem::create_symlink(gone, link);
    ChildProcess p({kVarnel, "monitor", "--json", "--system-dir", dir.Path()});
    EXPECT_EQ(Next(p), json::parse(R"({"ScaleOpen":0})"));
    const json error = {{"OpenError",
                         {{"kind", "port"},
                          {"device", link},
                          {"number", 8002},
                          {"reason", link + ": No such file or directory"}}}};
    EXPECT_EQ(Next(p), error);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty.SlavePath(), link);
    EXPECT_EQ(Next(p, 15s)["ScaleCommEvent"], 4);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(gone, link);
    EXPECT_EQ(Next(p)["ScaleCommEvent"], 3);  // silence
    EXPECT_EQ(Next(p, 15s), error);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(10s), 0);
}

TEST_F(MonitorTest, TheInitialisersOutputAndLeftoversStayOutOfTheStreams) {
    TempDir dir;
    // A megabyte on stdout, some on stderr, a child left running.
    dir.Write("PORTIN16.EXE",
              "#!/bin/sh\nyes | head -n 500000\nyes error | head -n 1000 >&2\nsleep 30 &\nexit 0\n",
              true);
    ChildProcess monitor(
        {kVarnel, "monitor", "--device", pty.SlavePath(), "--system-dir", dir.Path(), "--json"});
    EXPECT_EQ(Next(monitor, 10s), json::parse(R"({"ScaleOpen":1})"));
    pty.Write(Frame(' ', "00100"));
    EXPECT_EQ(Next(monitor)["RawWt"], "00100");
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(5s), 0);
    EXPECT_TRUE(monitor.OutputsClose(5s)) << "a leftover of the initialiser holds a pipe";
    EXPECT_EQ(monitor.RestOfStdout(), "");
}

TEST_F(MonitorTest, AStopRequestEndsAHangingInitialiserAndTheMonitor) {
    TempDir dir;
    dir.Write("PORTIN16.EXE", "#!/bin/sh\necho $$ > \"$(dirname \"$0\")/pid\"\nexec sleep 30\n",
              true);
    ChildProcess monitor(
        {kVarnel, "monitor", "--device", pty.SlavePath(), "--system-dir", dir.Path(), "--json"});
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (dir.Read("pid").empty() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    const std::string pid = dir.Read("pid");
    ASSERT_FALSE(pid.empty());
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(5s), 0);  // not after the three 10 s waits
    EXPECT_EQ(json::parse(*monitor.ReadLine(1s)), json::parse(R"({"ScaleOpen":0})"));
    EXPECT_EQ(ReadText("/proc/" + pid.substr(0, pid.find('\n')) + "/stat"), "");
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

// A scale for one case: the simulator on a pseudo-terminal of its own, or, without options, a
// pseudo-terminal that stays silent.
class ScaleLine {
  public:
    explicit ScaleLine(const std::vector<std::string>& simulatorOptions) {
        if (simulatorOptions.empty()) {
            silent_ = std::make_unique<PtyPair>();
            path_ = silent_->SlavePath();
            return;
        }
        std::vector<std::string> argv = {kVarnel, "simulate", "--pty"};
        argv.insert(argv.end(), simulatorOptions.begin(), simulatorOptions.end());
        simulator_ = std::make_unique<ChildProcess>(argv);
        const auto slave = simulator_->ReadLine(10s);
        if (!slave) throw std::runtime_error("the simulator printed no path");
        path_ = *slave;
    }
    const std::string& Path() const { return path_; }

  private:
    std::unique_ptr<PtyPair> silent_;
    std::unique_ptr<ChildProcess> simulator_;
    std::string path_;
};

// "DEV" in a text stands for the scale's device path.
std::string WithDevice(std::string text, const std::string& device) {
    for (auto at = text.find("DEV"); at != std::string::npos; at = text.find("DEV", at))
        text.replace(at, 3, device);
    return text;
}

TEST(CliTest, ReadPrintsOneWeightOrSaysWhatItSaw) {
    struct Case {
        const char* name;
        std::vector<std::string> scale;  // simulator options; none: a silent line
        std::vector<std::string> read;   // --device DEV is added unless given
        int exit;
        std::string out;  // stdout exactly; for --json, the line must hold `fields`
        json fields;
        std::string err;  // a fragment of the one line on stderr ("" for none)
    };
    const std::vector<Case> cases = {
        {"a weight", {"--script", "steady:1.25"}, {"--units", "kg"}, 0, "1.25 kg\n", nullptr, ""},
        {"a stable weight as JSON",
         {"--layout", "g", "--script", "steady:250"},
         {"--stable", "5", "--units", "ounces", "--json"},
         0,
         "",
         {{"event", "weight"},
          {"valid", true},
          {"RawWt", "00250"},
          {"NetWtText", "8.82"},
          {"units", "oz"},
          {"device", "DEV"}},
         ""},
        {"a silent line",
         {},
         {"--timeout", "0.5"},
         3,
         "",
         nullptr,
         "varnel: no valid weight within 0.5 s from DEV: no data at all"},
        {"only motion",
         {"--status", "1"},
         {"--timeout", "3"},
         3,
         "",
         nullptr,
         "within 3 s from DEV: only frames without a valid weight (status 1)\n"},
        {"a weight that never settles",
         {"--script", "ramp:0:100:60"},
         {"--stable", "3", "--timeout", "1"},
         3,
         "",
         nullptr,
         "no weight stable for 3 frames within 1 s from DEV: "},
        {"a device that cannot be opened",
         {},
         {"--device", "/nonexistent/tty", "--timeout", "0.5"},
         3,
         "",
         nullptr,
         "from /nonexistent/tty: cannot open the port (error 8002): /nonexistent/tty: No such "
         "file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScaleLine scale(c.scale);
        std::vector<std::string> argv = {kVarnel, "read", "--system-dir", "/nonexistent"};
        argv.insert(argv.end(), c.read.begin(), c.read.end());
        if (std::find(argv.begin(), argv.end(), "--device") == argv.end()) {
            argv.insert(argv.end(), {"--device", scale.Path()});
        }
        ChildProcess p(argv);
        EXPECT_EQ(p.Wait(15s), c.exit);
        const std::string out = p.RestOfStdout();
        if (c.fields.is_null()) {
            EXPECT_EQ(out, c.out);
        } else {
            const json line = json::parse(out);
            for (const auto& [key, value] : c.fields.items()) {
                EXPECT_EQ(line[key], value.is_string()
                                         ? json(WithDevice(value.get<std::string>(), scale.Path()))
                                         : value)
                    << key;
            }
        }
        const std::string err = p.Stderr();
        if (c.err.empty()) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_NE(err.find(WithDevice(c.err, scale.Path())), std::string::npos) << err;
        }
    }
}

TEST(CliTest, ReadClosesThePortBeforeExiting) {
    TempDir dir;
    dir.Write("LOGK880S.TMP", "");
    ScaleLine scale({"--script", "steady:1.25"});
    ChildProcess p({kVarnel, "read", "--device", scale.Path(), "--system-dir", dir.Path()});
    ASSERT_EQ(p.Wait(15s), 0);
    EXPECT_NE(dir.Read("BDXK880S.LOG").find("ScaleOpen: scale OFFLINE 2"), std::string::npos);
}

TEST(CliTest, MonitorStopsAtItsLimits) {
    struct Case {
        const char* name;
        std::vector<std::string> scale;  // simulator options; none: a silent line
        std::vector<std::string> monitor;
        int exit;
        int validLines;
        const char* lastEvent;
        std::string err;  // the one line on stderr, a fragment
    };
    const std::vector<Case> cases = {
        {"--count", {"--script", "steady:1.25"}, {"--count", "3"}, 0, 3, "weight", ""},
        {"--timeout with only motion",
         {"--status", "1"},
         {"--timeout", "3"},
         3,
         0,
         "weight",
         "varnel: no valid weight for 3 s from DEV: only frames without a valid weight (status "
         "1)\n"},
        {"--exit-on-lost",
         {},
         {"--exit-on-lost"},
         4,
         0,
         "lost",
         "varnel: the link to DEV was lost (--exit-on-lost)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScaleLine scale(c.scale);
        std::vector<std::string> argv = {kVarnel,        "monitor",  "--json",    "--system-dir",
                                         "/nonexistent", "--device", scale.Path()};
        argv.insert(argv.end(), c.monitor.begin(), c.monitor.end());
        ChildProcess p(argv);
        EXPECT_EQ(p.Wait(15s), c.exit);
        std::istringstream out(p.RestOfStdout());
        std::string line;
        std::getline(out, line);
        EXPECT_EQ(json::parse(line), json::parse(R"({"ScaleOpen":1})"));
        int valid = 0;
        json last;
        while (std::getline(out, line)) {
            last = json::parse(line);
            valid += last["valid"].get<bool>();
        }
        EXPECT_EQ(valid, c.validLines);
        EXPECT_EQ(last["event"], c.lastEvent);
        const std::string err = p.Stderr();
        if (c.err.empty()) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_NE(err.find(WithDevice(c.err, scale.Path())), std::string::npos) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
    }
}

TEST(CliTest, ABareMonitorSaysWhatItOpens) {
    TempDir dir;
    PtyPair pty;
    std::filesystem::create_symlink(pty.SlavePath(), dir / "com1");
    for (bool jsonMode : {false, true}) {
        std::vector<std::string> argv = {kVarnel, "monitor", "--system-dir", dir.Path()};
        if (jsonMode) argv.push_back("--json");
        ChildProcess p(argv);
        ASSERT_TRUE(p.ReadLine(10s));  // the opening line: the note came before it
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(10s), 0);
        EXPECT_EQ(p.Stderr(),
                  jsonMode ? "" : "varnel: opening port 1: " + (dir / "com1").string() + "\n");
    }
}

TEST(CliTest, UnitNamesAreAcceptedByFormSet) {
    TempDir dir;
    const std::string form = dir / "scale.json";
    for (const auto& [value, index] :
         std::vector<std::pair<std::string, std::string>>{{"oz", "3"},
                                                          {"KG", "1"},
                                                          {"pounds", "0"},
                                                          {"vnGrams", "2"},
                                                          {"Ounces", "3"},
                                                          {"1", "1"}}) {
        ChildProcess p({kVarnel, "form", "set", form, "NetWtUnits", value});
        EXPECT_EQ(p.Wait(10s), 0) << value;
        EXPECT_EQ(p.RestOfStdout(), "NetWtUnits = " + index + "\n") << value;
    }
}

TEST(CliTest, AboutShowsTheVersion) {
    ChildProcess p({kVarnel, "about"});
    EXPECT_EQ(p.Wait(10s), 0);
    const std::string out = p.RestOfStdout();
    EXPECT_NE(out.find("About Varnel"), std::string::npos);
    EXPECT_NE(out.find("(3.0)"), std::string::npos);
    for (const char* flag : {"--version", "-V"}) {
        ChildProcess v({kVarnel, flag});
        EXPECT_EQ(v.Wait(10s), 0);
        const std::string line = v.RestOfStdout();
        EXPECT_EQ(line.rfind("varnel 3.0.0.0 (revision ", 0), 0u) << line;
        EXPECT_GT(line.size(), std::string("varnel 3.0.0.0 (revision )\n").size()) << line;
    }
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
