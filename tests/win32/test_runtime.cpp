// The control on the Win32 runtime under Wine, on two COM ports joined by a null-modem cable
// (run_on_com_ports.sh): the test writes the scale's side, the control reads the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/runtime.h"
#include "platform/win32/serial_port.h"
#include "tests/fakes/recording_container.h"
#include "tests/support/test_util.h"
#include "tests/win32/wine_com.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using CodeList = std::vector<std::int16_t>;

struct Seen {
    std::int16_t event;
    std::int16_t rawUnits;
    std::string rawWt;
    std::string formatted;
    float netWt;
    std::int16_t connect;
};

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file in the Windows directory for the length of one test; gone again afterwards.
class WindowsDirFile {
  public:
    explicit WindowsDirFile(const std::string& name) {
        char dir[MAX_PATH] = {};
        ::GetWindowsDirectoryA(dir, MAX_PATH);
        path_ = std::string(dir) + "\\" + name;
        ::DeleteFileA(path_.c_str());
    }
    ~WindowsDirFile() { ::DeleteFileA(path_.c_str()); }
    WindowsDirFile(const WindowsDirFile&) = delete;
    WindowsDirFile& operator=(const WindowsDirFile&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// The process's own directory, with a trailing backslash.
std::string OwnDirectory() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::chrono::milliseconds ProcessCpu() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& f) {
        return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
}

class WineComTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controlPort = static_cast<std::int16_t>(PortFromEnv("VARNEL_TEST_CONTROL_PORT"));
        scalePort = PortFromEnv("VARNEL_TEST_SCALE_PORT");
        ASSERT_TRUE(controlPort > 0 && scalePort > 0)
            << "run this program through tests/win32/run_on_com_ports.sh";
        container.onScaleComm = [this] {
            Varnel& c = *control;
            seen.push_back(Seen{c.ScaleCommEvent(), c.RawWtUnits(), c.RawWt(), c.FormattedWt(),
                                *c.NetWt().R4(), c.ConnectStatus()});
        };
        control = NewControl();
    }

    std::unique_ptr<Varnel> NewControl() {
        auto c =
            std::make_unique<Varnel>(container, runtime.Services(), runtime.MakeHostedComponents());
        c->SetCommPort(controlPort);
        return c;
    }
    std::int16_t Open() {
        std::int16_t v = -1;
        return control->ScaleOpen(v);
    }
    std::int16_t Close() {
        std::int16_t v = 0;
        return control->ScaleOpen(v);
    }
    // Written once the control has opened its port: opening discards what came before.
    void Write(std::string_view bytes) {
        if (!scale.IsOpen()) scale = ScaleLine(scalePort);
        scale.Write(bytes);
    }
    CodeList Codes() const {
        CodeList out;
        for (const auto& s : seen)
            out.push_back(s.event);
        return out;
    }
    // The line as the driver holds it, through a handle of the test's own (Wine's driver, unlike
    // a Windows one, lets a second opener in).
    DCB LineState() const {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        const std::string name = "\\\\.\\COM" + std::to_string(controlPort);
        const HANDLE h =
            ::CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(::GetCommState(h, &dcb));
        ::CloseHandle(h);
        return dcb;
    }

    std::int16_t controlPort = 0;
    int scalePort = 0;
    win32::Runtime runtime;
    RecordingContainer container;
    std::unique_ptr<Varnel> control;
    ScaleLine scale;
    std::vector<Seen> seen;
};

TEST_F(WineComTest, FramesBecomeEventsOnA2400Baud8N2LineWithDtrAndRtsLow) {
    ASSERT_EQ(Open(), 1);
    control->SetNetWtUnits(vnGrams);
    Write(Frame(' ', "01234"));
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, 3s));
    EXPECT_EQ(seen[0].event, 1);
    EXPECT_EQ(seen[0].rawUnits, 1);
    EXPECT_EQ(seen[0].rawWt, "01234");
    EXPECT_EQ(seen[0].formatted, "012.34");
    EXPECT_EQ(seen[0].netWt, 12340.0f);
    EXPECT_EQ(seen[0].connect, 1);

    Write(Frame('1', "01234"));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }, 3s));
    EXPECT_EQ(Codes(), (CodeList{1, 2, 1}));
    EXPECT_EQ(seen[2].rawWt, "00000");

    const DCB dcb = LineState();
    EXPECT_EQ(dcb.BaudRate, 2400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow);
    EXPECT_TRUE(container.errors.empty());
}

TEST_F(WineComTest, NoiseAndMalformedLinesLeaveNothingStuck) {
    ASSERT_EQ(Open(), 1);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case lost[] = {
        {"an overlong line", "\x02" + std::string(5000, '5') + "\r"},
        {"noise with 0xFF and NUL bytes", std::string("\xff\xfe\x01\x00\x00\r\n\xff", 8)},
        {"9 characters", std::string("\x02") + "0 01234\r"},
        {"11 characters", std::string("\x02") + "0  012345\r"},
    };
    for (const auto& c : lost) {
        SCOPED_TRACE(c.name);
        Write(c.bytes);
        PumpFor(200ms);
        EXPECT_TRUE(seen.empty());
    }
    Write(Frame('0', "00007"));
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, 3s));
    EXPECT_EQ(seen[0].rawWt, "00007");

    // A steady stream of frames keeps restarting the watchdog: no loss is reported.
    const auto end = Clock::now() + 1600ms;
    int written = 1;
    while (Clock::now() < end) {
        Write(Frame('0', "00008"));
        ++written;
        PumpFor(45ms);
    }
    PumpUntil([&] { return seen.size() == static_cast<std::size_t>(written); }, 2s);
    EXPECT_EQ(Codes(), CodeList(seen.size(), 1));
    EXPECT_GE(seen.size(), static_cast<std::size_t>(written) / 2);
    EXPECT_TRUE(container.errors.empty());
}

TEST_F(WineComTest, SilenceIsReportedAndTheNextRetryRestoresTheLink) {
    ASSERT_EQ(Open(), 1);
    const auto start = Clock::now();
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, 5s));
    const auto lostAt = Clock::now();
    EXPECT_EQ(Codes(), CodeList{3});
    EXPECT_GE(lostAt - start, 950ms);
    EXPECT_LT(lostAt - start, 2500ms);
    EXPECT_EQ(control->ConnectStatus(), 0);

    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }, 8s));
    EXPECT_EQ(Codes(), (CodeList{3, 4}));
    EXPECT_GE(Clock::now() - lostAt, 2800ms);
    EXPECT_LT(Clock::now() - lostAt, 5000ms);
    EXPECT_EQ(control->ConnectStatus(), 1);
    Write(Frame('0', "00100"));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }, 3s));
    EXPECT_EQ(seen[2].event, 1);
}

TEST_F(WineComTest, AHandlerThatRunsAMessageLoopKeepsTheLinkWhileFramesStream) {
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
    const auto record = container.onScaleComm;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Open(), 1);
        Write("");
        seen.clear();
        std::atomic<bool> stop{false};
        std::atomic<Clock::time_point> lastWrite{Clock::now()};
        std::thread scaleSide([&] {
            for (int n = 0; !stop; ++n) {
                char weight[8];
                std::snprintf(weight, sizeof weight, "%05d", n % 100000);
                scale.Write(Frame('0', weight));
                lastWrite = Clock::now();
                std::this_thread::sleep_for(40ms);
            }
        });
        bool ran = false;
        std::size_t returnedAt = 0;  // events seen when the handler returned
        Clock::time_point lostAt{};
        container.onScaleComm = [&] {
            record();
            const std::int16_t event = control->ScaleCommEvent();
            if (event == 3 && lostAt == Clock::time_point{}) lostAt = Clock::now();
            if (ran || event != 1) return;
            ran = true;
            std::int16_t open = -1;
            if (c.reopen) control->ScaleOpen(open);
            const auto start = Clock::now();
            while (Clock::now() - start < 2500ms) {
                if (c.silent && Clock::now() - start > 200ms) stop = true;
                PumpFor(20ms);
            }
            returnedAt = seen.size();
        };
        auto weightsAfter = [&] {
            std::vector<std::string> out;
            for (std::size_t i = returnedAt; i < seen.size(); ++i)
                if (seen[i].event == 1) out.push_back(seen[i].rawWt);
            return out;
        };
        const bool done = PumpUntil(
            [&] { return returnedAt > 0 && (c.silent || weightsAfter().size() >= 5); }, 20s);
        stop = true;
        scaleSide.join();
        container.onScaleComm = record;
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
        EXPECT_EQ(control->ConnectStatus(), 1);
        const auto weights = weightsAfter();
        EXPECT_TRUE(std::is_sorted(weights.begin(), weights.end()) &&
                    std::adjacent_find(weights.begin(), weights.end()) == weights.end());
    }
}

TEST_F(WineComTest, AHungUpLineGoesQuietWithoutSpinningAndIsReconnected) {
    const char* hangup = std::getenv("VARNEL_TEST_HANGUP");
    ASSERT_NE(hangup, nullptr);
    ASSERT_EQ(Open(), 1);
    Write(Frame('0', "00001"));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 1; }, 3s));

    // The cable is pulled: both ends hang up, and a new cable is put in on the same ports.
    const HANDLE request = ::CreateFileA(hangup, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(request, INVALID_HANDLE_VALUE);
    ::CloseHandle(request);
    const auto cpuBefore = ProcessCpu();
    const auto wallBefore = Clock::now();
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }, 4s));
    EXPECT_EQ(seen[1].event, 3);
    const auto cpu = ProcessCpu() - cpuBefore;
    const auto wall =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - wallBefore);
    EXPECT_LT(cpu.count(), wall.count() / 4)
        << "cpu " << cpu.count() << " ms in " << wall.count() << " ms";

    ASSERT_TRUE(
        PumpUntil([&] { return ::GetFileAttributesA(hangup) == INVALID_FILE_ATTRIBUTES; }, 10s));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }, 5s));
    EXPECT_EQ(seen[2].event, 4);
    scale.Close();  // its end hung up too
    Write(Frame('0', "00002"));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 4; }, 3s));
    EXPECT_EQ(seen[3].rawWt, "00002");
}

TEST_F(WineComTest, ASecondOpenerOfThePortGets8005) {
    ASSERT_EQ(Open(), 1);
    HostedComponents other = runtime.MakeHostedComponents();
    other.comm->SetCommPort(controlPort);
    EXPECT_EQ(ErrorOf([&] { other.comm->SetPortOpen(true); }), comm::kErrPortAlreadyOpen);
    ASSERT_EQ(Close(), 0);
    other.comm->SetPortOpen(true);  // free again
    EXPECT_TRUE(other.comm->PortOpen());
}

TEST_F(WineComTest, OnCommHandlersMayCloseReopenOrDestroyThePort) {
    enum class Act { Read, Close, Reopen, Destroy };
    struct Case {
        const char* name;
        Act act;
        int events;      // after "ABC" is written
        bool openAfter;  // the port is open afterwards
    };
    const Case cases[] = {
        {"reading one character per event", Act::Read, 3, true},
        {"closing", Act::Close, 1, false},
        {"closing and opening again", Act::Reopen, 1, true},
        {"destroying it", Act::Destroy, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CommComponent> port = std::move(runtime.MakeHostedComponents().comm);
        port->SetCommPort(controlPort);
        port->SetPortOpen(true);
        port->SetInputLen(1);
        int events = 0;
        std::string text;
        port->SetOnComm([&] {
            ++events;
            EXPECT_EQ(port->CommEvent(), comm::kEvReceive);
            switch (c.act) {
                case Act::Read:
                    text += port->Input();
                    break;
                case Act::Close:
                    port->SetPortOpen(false);
                    break;
                case Act::Reopen:
                    if (events == 1) {
                        port->SetPortOpen(false);
                        port->SetPortOpen(true);
                    } else {
                        text += port->Input();
                    }
                    break;
                case Act::Destroy:
                    port.reset();
                    break;
            }
        });
        scale = ScaleLine(scalePort);
        Write("ABC");
        ASSERT_TRUE(PumpUntil([&] { return events == c.events; }, 3s));
        PumpFor(150ms);
        EXPECT_EQ(events, c.events);
        if (c.act == Act::Read) {
            EXPECT_EQ(text, "ABC");
        }
        EXPECT_EQ(port && port->PortOpen(), c.openAfter);
        if (c.act == Act::Reopen) {
            Write("D");
            ASSERT_TRUE(PumpUntil([&] { return text == "D"; }, 3s));
        }
        port.reset();
        // Whatever the handler did, the port is free for the next opener.
        HostedComponents next = runtime.MakeHostedComponents();
        next.comm->SetCommPort(controlPort);
        next.comm->SetPortOpen(true);
        EXPECT_TRUE(next.comm->PortOpen());
    }
}

TEST_F(WineComTest, TheDebugMarkerYieldsTheExactLog) {
    WindowsDirFile marker("LOGK880S.TMP");
    WindowsDirFile log("BDXK880S.LOG");
    std::ofstream(marker.Path()).flush();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Close(), 0);
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(ReadFileText(log.Path()),
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

// A driver that keeps a cancelled read until the test lets it go.
HANDLE letGo = nullptr;
BOOL KeepCancelledRead(HANDLE device, OVERLAPPED* overlapped, DWORD* got) {
    ::WaitForSingleObject(letGo, INFINITE);
    return ::GetOverlappedResult(device, overlapped, got, TRUE);
}

// What the process writes to the debugger output (OutputDebugString raises it as an exception).
std::mutex debugMutex;
std::string debugOutput;
LONG CALLBACK CaptureDebugOutput(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& r = *info->ExceptionRecord;
    if (r.ExceptionCode == DBG_PRINTEXCEPTION_C && r.NumberParameters >= 2) {
        std::lock_guard<std::mutex> lock(debugMutex);
        debugOutput += reinterpret_cast<const char*>(r.ExceptionInformation[1]);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
std::string DebugOutput() {
    std::lock_guard<std::mutex> lock(debugMutex);
    return debugOutput;
}

TEST_F(WineComTest, ClosingDoesNotWaitForADriverThatKeepsACancelledRead) {
    letGo = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    win32::SetCancelledReadWait(&KeepCancelledRead);
    void* capture = ::AddVectoredExceptionHandler(1, &CaptureDebugOutput);
    // Let go at the latest after 20 s: a close that waits for the reader fails, it does not hang.
    std::thread deadline([] {
        ::WaitForSingleObject(letGo, 20000);
        ::SetEvent(letGo);
    });
    {
        std::unique_ptr<CommComponent> port = std::move(runtime.MakeHostedComponents().comm);
        port->SetCommPort(controlPort);
        port->SetPortOpen(true);
        const auto start = Clock::now();
        port->SetPortOpen(false);
        EXPECT_LT(Clock::now() - start, 8s);
        EXPECT_FALSE(port->PortOpen());
        EXPECT_NE(DebugOutput().find("Varnel: COM" + std::to_string(controlPort) +
                                     ": the driver has not ended a cancelled read"),
                  std::string::npos)
            << DebugOutput();
        // The reader still has the device: nobody else gets the port yet.
        std::unique_ptr<CommComponent> next = std::move(runtime.MakeHostedComponents().comm);
        next->SetCommPort(controlPort);
        EXPECT_EQ(ErrorOf([&] { next->SetPortOpen(true); }), comm::kErrPortAlreadyOpen);
        // The component goes; then the driver ends the read, and the reader lets the port go.
        port.reset();
        ::SetEvent(letGo);
        EXPECT_TRUE(PumpUntil([&] { return ErrorOf([&] { next->SetPortOpen(true); }) == 0; }, 10s));
    }
    deadline.join();
    ::RemoveVectoredExceptionHandler(capture);
    win32::SetCancelledReadWait(nullptr);
    ::CloseHandle(letGo);
}

// The probe initialiser's log: one "pid command-line" line per process it ran as.
class InitialiserTest : public WineComTest {
  protected:
    void SetUp() override {
        WineComTest::SetUp();
        char temp[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, temp);
        probeLog = std::string(temp) + "varnel-portin-" + std::to_string(::GetCurrentProcessId());
        ::DeleteFileA(probeLog.c_str());
        ::SetEnvironmentVariableA("VARNEL_PORTIN_LOG", probeLog.c_str());
        ASSERT_TRUE(::CopyFileA((OwnDirectory() + "portin16_probe.exe").c_str(),
                                program.Path().c_str(), FALSE));
    }
    void TearDown() override {
        ::SetEnvironmentVariableA("VARNEL_PORTIN_LOG", nullptr);
        ::SetEnvironmentVariableA("VARNEL_PORTIN_HANG", nullptr);
        ::SetEnvironmentVariableA("VARNEL_PORTIN_HANDLE", nullptr);
        ::DeleteFileA(probeLog.c_str());
    }
    std::vector<std::pair<DWORD, std::string>> Runs() const {
        std::vector<std::pair<DWORD, std::string>> out;
        std::istringstream in(ReadFileText(probeLog));
        for (std::string line; std::getline(in, line);) {
            const std::size_t blank = line.find(' ');
            out.emplace_back(std::stoul(line.substr(0, blank)), line.substr(blank + 1));
        }
        return out;
    }

    WindowsDirFile program{"PORTIN16.EXE"};
    std::string probeLog;
};

TEST_F(InitialiserTest, RunsWithThePortNameAndItsExitCodeIsLogged) {
    WindowsDirFile marker("LOGK880S.TMP");
    WindowsDirFile log("BDXK880S.LOG");
    std::ofstream(marker.Path()).flush();
    ASSERT_EQ(Open(), 1);  // logging is on from the next call
    ASSERT_EQ(Open(), 1);
    const std::string commandLine = program.Path() + " COM" + std::to_string(controlPort);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].second, commandLine);
    const std::string text = ReadFileText(log.Path());
    EXPECT_NE(text.find("Launching " + commandLine + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vnPortinit16: CloseHandle returned: 1\r\n"
                        "vnPortinit16: Exit code: 3\r\nend vnPortInit16\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(runtime.Services().OpenProcesses(), 0u);
}

TEST_F(InitialiserTest, InheritsNoneOfTheHostsHandles) {
    // An inheritable handle of the host's, on a file of its own.
    const std::string path = probeLog + ".held";
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                      CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char held[MAX_PATH] = {};
    ASSERT_GT(::GetFinalPathNameByHandleA(file, held, MAX_PATH, 0), 0u);
    const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(file));
    ::SetEnvironmentVariableA("VARNEL_PORTIN_HANDLE", value.c_str());
    EXPECT_EQ(Open(), 1);
    ::CloseHandle(file);
    const std::string log = ReadFileText(probeLog);
    const std::size_t line = log.find("handle " + value + " ");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_EQ(log.substr(line, log.find('\n', line) - line).find(held), std::string::npos) << log;
}

TEST_F(InitialiserTest, OneThatHangsIsEndedAtItsBoundWithWhatItStarted) {
    ::SetEnvironmentVariableA("VARNEL_PORTIN_HANG", "1");
    control->SetPortInitTimeout(500);
    const auto start = Clock::now();
    EXPECT_EQ(Open(), 0);  // three attempts, each failing its wait
    EXPECT_LT(Clock::now() - start, 8s);
    EXPECT_EQ(runtime.Services().OpenProcesses(), 0u);
    const auto runs = Runs();
    EXPECT_GE(runs.size(), 3u);  // the initialisers, and the copies they started
    for (const auto& [pid, commandLine] : runs) {
        SCOPED_TRACE(commandLine);
        const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (process) {
            EXPECT_EQ(::WaitForSingleObject(process, 5000), WAIT_OBJECT_0);
            ::CloseHandle(process);
        }
    }
}

}  // namespace
}  // namespace varnel::testing
