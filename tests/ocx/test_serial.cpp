// Varnel.ocx on a serial line under Wine, through COM: two COM ports joined by a null-modem cable
// of pseudo-terminals (tests/win32/run_on_com_ports.sh), the test writing the scale's side and
// receiving the control's events in a container of its own. What the runtime's own tests prove
// of the line is not repeated; here it arrives through the COM shell. Needs the control
// registered.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/ocx/com_helpers.h"
#include "tests/support/test_util.h"
#include "tests/win32/wine_com.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Codes = std::vector<short>;

// What the host reads through COM inside its OnScaleComm handler.
struct Seen {
    short event = 0, rawUnits = 0, connect = 0;
    std::string rawWt, formatted;
    float netWt = 0;
};

// The control's lines to the debugger ("Varnel: ..."): OutputDebugString raises
// DBG_PRINTEXCEPTION_C, which a vectored handler sees before the system handles it.
std::vector<std::string> debugLines;

LONG CALLBACK CatchDebugOutput(EXCEPTION_POINTERS* e) {
    if (e->ExceptionRecord->ExceptionCode == DBG_PRINTEXCEPTION_C &&
        e->ExceptionRecord->NumberParameters >= 2) {
        const std::string line =
            reinterpret_cast<const char*>(e->ExceptionRecord->ExceptionInformation[1]);
        if (line.rfind("Varnel:", 0) == 0) debugLines.push_back(line);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file (or directory) in the Windows directory for the length of one test.
class WindowsDirEntry {
  public:
    explicit WindowsDirEntry(const char* name) {
        char dir[MAX_PATH] = {};
        ::GetWindowsDirectoryA(dir, MAX_PATH);
        path_ = std::string(dir) + "\\" + name;
        Remove();
    }
    ~WindowsDirEntry() { Remove(); }
    WindowsDirEntry(const WindowsDirEntry&) = delete;
    WindowsDirEntry& operator=(const WindowsDirEntry&) = delete;
    const std::string& Path() const { return path_; }

  private:
    void Remove() {
        ::DeleteFileA(path_.c_str());
        ::RemoveDirectoryA(path_.c_str());
    }
    std::string path_;
};

class SerialTest : public ::testing::Test {
  public:
    void SetUp() override {
        port = static_cast<short>(PortFromEnv("VARNEL_TEST_CONTROL_PORT"));
        scalePort = PortFromEnv("VARNEL_TEST_SCALE_PORT");
        ASSERT_TRUE(port > 0 && scalePort > 0)
            << "run this program through tests/win32/run_on_com_ports.sh";
        ASSERT_TRUE(s.control) << "Varnel_OCX.Varnel is not registered";
        s.events->onEvent = [this] {
            Seen x;
            IVarnel* c = s.control.Get();
            Bstr raw, formatted;
            Var netWt;
            c->get_ScaleCommEvent(&x.event);
            c->get_RawWtUnits(&x.rawUnits);
            c->get_RawWt(&raw.b);
            c->get_FormattedWt(&formatted.b);
            c->get_NetWt(&netWt.v);
            c->get_ConnectStatus(&x.connect);
            x.rawWt = raw.Text();
            x.formatted = formatted.Text();
            x.netWt = V_VT(&netWt.v) == VT_R4 ? V_R4(&netWt.v) : -1.0f;
            seen.push_back(x);
            if (onEvent) onEvent();
        };
        ASSERT_EQ(s.control->put_CommPort(port), S_OK);
        debugLines.clear();
    }

    static short OpenOn(IVarnel* control, short connectassert = -1) {
        short result = -9;
        EXPECT_EQ(control->ScaleOpen(&connectassert, &result), S_OK);
        return result;
    }
    short Open(short connectassert = -1) { return OpenOn(s.control.Get(), connectassert); }
    // Written once the control has opened its port: opening discards what came before.
    void Write(std::string_view bytes) {
        if (!scale.IsOpen()) scale = ScaleLine(scalePort);
        scale.Write(bytes);
    }
    Codes Events() const {
        Codes out;
        for (const Seen& x : seen)
            out.push_back(x.event);
        return out;
    }
    bool WaitForEvents(std::size_t n, std::chrono::milliseconds limit = 3s) {
        return PumpUntil([&] { return seen.size() >= n; }, limit);
    }
    // Another control on the same port: it can open the port only when the first one let go.
    bool PortIsFree() {
        ComPtr<IVarnel> other = NewControl();
        other->put_CommPort(port);
        const bool free = OpenOn(other.Get()) == 1;
        OpenOn(other.Get(), 0);
        return free;
    }

    short port = 0;
    int scalePort = 0;
    Sited s;
    ScaleLine scale;
    std::vector<Seen> seen;
    std::function<void()> onEvent;
};

TEST_F(SerialTest, FramesArriveAsEventsWithTheirProperties) {
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(s.control->put_NetWtUnits(vnGrams), S_OK);
    Write(Frame(' ', "01234"));
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(seen[0].event, 1);
    EXPECT_EQ(seen[0].rawUnits, 1);
    EXPECT_EQ(seen[0].rawWt, "01234");
    EXPECT_EQ(seen[0].formatted, "012.34");
    EXPECT_EQ(seen[0].netWt, 12340.0f);
    EXPECT_EQ(seen[0].connect, 1);
    Write(Frame('1', "01234"));
    ASSERT_TRUE(WaitForEvents(3));
    EXPECT_EQ(Events(), (Codes{1, 2, 1}));
    EXPECT_EQ(Open(short{0}), 0);
}

TEST_F(SerialTest, SilenceIsReportedAfterASecondAndTheRetryThreeSecondsLater) {
    const auto start = Clock::now();
    ASSERT_EQ(Open(), 1);
    ASSERT_TRUE(WaitForEvents(1, 5s));
    const auto lost = Clock::now();
    EXPECT_EQ(Events(), Codes{3});
    EXPECT_EQ(seen[0].connect, 0);
    EXPECT_GE(lost - start, 950ms);
    EXPECT_LT(lost - start, 2500ms);
    ASSERT_TRUE(WaitForEvents(2, 8s));
    EXPECT_EQ(Events(), (Codes{3, 4}));
    EXPECT_EQ(seen[1].connect, 1);
    EXPECT_GE(Clock::now() - lost, 2800ms);
    EXPECT_LT(Clock::now() - lost, 5000ms);
    EXPECT_EQ(Open(short{0}), 0);
}

// The debug marker turns the log on at the next connection; the initialiser is started before
// every opening with its full path and the full port number.
TEST_F(SerialTest, DebugMarkerAndInitialiserThroughTheControl) {
    const char* probe = std::getenv("VARNEL_PORTIN16_PROBE");
    ASSERT_NE(probe, nullptr) << "VARNEL_PORTIN16_PROBE names no stand-in initialiser";
    WindowsDirEntry marker("LOGK880S.TMP"), log("BDXK880S.LOG"), program("PORTIN16.EXE");
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string runs =
        std::string(temp) + "varnel-ocx-portin-" + std::to_string(::GetCurrentProcessId());
    ::DeleteFileA(runs.c_str());
    ::SetEnvironmentVariableA("VARNEL_PORTIN_LOG", runs.c_str());
    ASSERT_TRUE(::CopyFileA(probe, program.Path().c_str(), FALSE));
    std::ofstream(marker.Path()).flush();

    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Open(short{0}), 0);
    const std::string commandLine = program.Path() + " COM" + std::to_string(port);
    const std::string reopen =
        "begin ConnectToScale\r\nConnectToScale: port was already open\r\n"
        "ConnectToScale: set PortOpen = False\r\nbegin OpenSerialPort\r\nbegin vnPortInit16\r\n"
        "Launching " +
        commandLine +
        "\r\nvnPortinit16: CreateProcess returned: 1\r\n"
        "vnPortinit16: waiting for obj...\r\nvnPortinit16: WaitForObj returned: 0\r\n"
        "vnPortinit16: CloseHandle returned: 1\r\nvnPortinit16: Exit code: 3\r\n"
        "end vnPortInit16\r\nvnPortInit16 returned: 0\r\nOpenSerialPort: ready to open port\r\n"
        "OpenSerialPort: port opened\r\nend OpenSerialPort\r\nConnectToScale PASSED\r\n"
        "end ConnectToScale\r\n";
    const std::string online =
        "\r\nStart debug...\r\nbegin ScaleOpen()\r\nScaleOpen: scale ONLINE 1, timeout "
        "enabled\r\nend ScaleOpen()\r\n";
    EXPECT_EQ(ReadFileText(log.Path()),
              online + reopen + online +
                  "DisconnectFromScale: PASSED\r\nScaleOpen: scale OFFLINE 2, timeout "
                  "disabled\r\nend ScaleOpen()\r\n");
    // The stand-in initialiser's own record: one line per run, its process id and command line.
    const std::string record = ReadFileText(runs);
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 2);
    EXPECT_NE(record.find(" " + commandLine + "\n"), std::string::npos) << record;
    ::SetEnvironmentVariableA("VARNEL_PORTIN_LOG", nullptr);
    ::DeleteFileA(runs.c_str());
}

// The core's departures from the described behaviour that show through COM (the put on a
// read-only property is in the container test; the initialiser's port name just above).
TEST_F(SerialTest, DeparturesOfTheCore) {
    struct Case {
        const char* name;
        std::function<void(SerialTest&)> run;
    };
    const Case cases[] = {
        {"the watchdog is re-armed at the CR of a frame of the wrong length",
         [](SerialTest& t) {
             ASSERT_EQ(t.Open(), 1);
             const auto end = Clock::now() + 2400ms;
             while (Clock::now() < end) {
                 t.Write(
                     "\x02"
                     "0 01234\r");  // 9 characters
                 PumpFor(400ms);
             }
             EXPECT_EQ(t.Events(), Codes{});  // no loss while CRs keep coming
             ASSERT_TRUE(t.WaitForEvents(1, 3s));
             EXPECT_EQ(t.Events(), Codes{3});  // and the watchdog still watches
         }},
        {"an overlong frame stops growing and is dropped at its CR",
         [](SerialTest& t) {
             ASSERT_EQ(t.Open(), 1);
             t.Write("\x02" + std::string(3000, '5') + "\r");
             PumpFor(300ms);  // every CR empties the receive buffer behind it
             t.Write(Frame('0', "00007"));
             ASSERT_TRUE(t.WaitForEvents(1));
             PumpFor(200ms);
             ASSERT_EQ(t.Events(), Codes{1});
             EXPECT_EQ(t.seen[0].rawWt, "00007");
         }},
        {"a weight that is not a number goes to EventError; the next frame is received",
         [](SerialTest& t) {
             ASSERT_EQ(t.Open(), 1);
             t.Write(Frame(' ', "0A234"));  // kilograms
             PumpFor(300ms);
             t.Write(Frame(' ', "00042"));
             ASSERT_TRUE(t.WaitForEvents(1));
             EXPECT_EQ(t.Events(), Codes{1});
             EXPECT_EQ(t.seen[0].rawWt, "00042");
             ASSERT_EQ(debugLines.size(), 1u);
             EXPECT_EQ(debugLines[0].rfind("Varnel: error 13 in an event handler: ", 0), 0u)
                 << debugLines[0];
         }},
        {"a host that closes the link in its handler stays closed",
         [](SerialTest& t) {
             ASSERT_EQ(t.Open(), 1);
             t.onEvent = [&t] { EXPECT_EQ(OpenOn(t.s.control.Get(), 0), 0); };
             t.Write(Frame('0', "00001"));
             ASSERT_TRUE(t.WaitForEvents(1));
             t.Write(Frame('0', "00002"));
             PumpFor(1500ms);  // past the watchdog's second
             EXPECT_EQ(t.Events(), Codes{1});
             short connect = -1;
             t.s.control->get_ConnectStatus(&connect);
             EXPECT_EQ(connect, 0);
             EXPECT_TRUE(t.PortIsFree());
         }},
        {"a log that cannot be written does not stop the control",
         [](SerialTest& t) {
             WindowsDirEntry marker("LOGK880S.TMP"), log("BDXK880S.LOG");
             std::ofstream(marker.Path()).flush();
             ASSERT_TRUE(::CreateDirectoryA(log.Path().c_str(), nullptr));  // not a file
             ASSERT_EQ(t.Open(), 1);
             t.Write(Frame('0', "00003"));
             ASSERT_TRUE(t.WaitForEvents(1));
             EXPECT_EQ(t.seen[0].rawWt, "00003");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        debugLines.clear();
        onEvent = nullptr;
        c.run(*this);
        onEvent = nullptr;
        Open(short{0});
        scale.Close();
    }
}

TEST_F(SerialTest, ReleasingOrClosingTheControlClosesThePortAndStopsTheTimers) {
    for (const bool inHandler : {false, true}) {
        SCOPED_TRACE(inHandler ? "released inside its OnScaleComm handler" : "released");
        Sited other;
        other.control->put_CommPort(port);
        ASSERT_EQ(OpenOn(other.control.Get()), 1);
        IVarnel* raw = other.control.Detach();
        As<IOleObject>(ComPtr<IVarnel>(raw), IID_IOleObject)->SetClientSite(nullptr);
        if (inHandler) {
            other.events->onEvent = [&] {
                if (other.events->events == 1) raw->Release();
            };
            Write(Frame('0', "00005") + Frame('0', "00006"));
            ASSERT_TRUE(PumpUntil([&] { return other.events->events > 0; }, 3s));
        } else {
            raw->Release();
        }
        // The control is gone (it held the sinks), and nothing ticks into it: not the watchdog
        // within its second, not a character still on its way.
        EXPECT_EQ(other.events->Refs(), 1);
        EXPECT_EQ(other.notify->Refs(), 1);
        PumpFor(1500ms);
        EXPECT_EQ(other.events->events, inHandler ? 1 : 0);
        EXPECT_TRUE(PortIsFree());
        scale.Close();
    }
    // IOleObject::Close, the control still held: the same, before the container lets go.
    Sited other;
    other.control->put_CommPort(port);
    ASSERT_EQ(OpenOn(other.control.Get()), 1);
    Write(Frame('0', "00005"));
    ASSERT_TRUE(PumpUntil([&] { return other.events->events > 0; }, 3s));
    const int events = other.events->events;
    EXPECT_EQ(As<IOleObject>(other.control, IID_IOleObject)->Close(OLECLOSE_NOSAVE), S_OK);
    PumpFor(1500ms);
    EXPECT_EQ(other.events->events, events);  // no watchdog
    EXPECT_TRUE(PortIsFree());
    scale.Close();
}

}  // namespace
}  // namespace varnel::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    AddVectoredExceptionHandler(1, varnel::testing::CatchDebugOutput);
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
