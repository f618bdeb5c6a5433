// What the rigs of the Win32 runtime and of the COM control share under Wine: two COM ports joined
// by a null-modem cable of pseudo-terminals (run_on_com_ports.sh), the test writing the scale's
// side; the Windows directory; the stand-in initialiser (portin16_probe); the debugger output.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32/runtime.h"
#include "serial/comm_component.h"
#include "tests/scenarios/rig.h"
#include "tests/support/test_util.h"
#include "tests/win32/wine_com.h"

namespace varnel::testing {

// The lines this process writes to the debugger from the first rig on: OutputDebugString raises
// DBG_PRINTEXCEPTION_C, which a vectored handler sees before the system handles it.
class DebugOutput {
  public:
    DebugOutput() {
        static const PVOID handler = ::AddVectoredExceptionHandler(1, &Catch);
        (void)handler;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

  private:
    static LONG CALLBACK Catch(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD& r = *info->ExceptionRecord;
        if (r.ExceptionCode == DBG_PRINTEXCEPTION_C && r.NumberParameters >= 2) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(reinterpret_cast<const char*>(r.ExceptionInformation[1]));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    inline static std::mutex mutex_;
    inline static std::vector<std::string> lines_;
};

class WineRig : public Rig {
  public:
    WineRig() : scalePort(PortFromEnv("VARNEL_TEST_SCALE_PORT")) {
        port = static_cast<std::int16_t>(PortFromEnv("VARNEL_TEST_CONTROL_PORT"));
        const char* cable = std::getenv("VARNEL_TEST_CABLE");
        if (port <= 0 || scalePort <= 0 || !cable) {
            throw std::runtime_error("run this program through tests/win32/run_on_com_ports.sh");
        }
        cable_ = cable;
        timerLead = std::chrono::milliseconds(50);  // opening goes on after the watchdog starts
        char temp[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, temp);
        probeLog = std::string(temp) + "varnel-portin-" + std::to_string(::GetCurrentProcessId());
        Clean();
        ::SetEnvironmentVariableA("VARNEL_PORTIN_LOG", probeLog.c_str());
    }
    ~WineRig() override {
        Clean();
        for (const char* name : {"VARNEL_PORTIN_LOG", "VARNEL_PORTIN_HANG", "VARNEL_PORTIN_HANDLE"})
            ::SetEnvironmentVariableA(name, nullptr);
    }

    void Write(std::string_view bytes) override {
        std::lock_guard<std::mutex> lock(writing_);
        if (!scale_.IsOpen()) scale_ = ScaleLine(scalePort);
        scale_.Write(bytes);
    }
    void PullCable() override { Request("out"); }
    void PlugInCable() override {
        DropScaleSide();
        Request("in");
    }
    // The next write opens the scale's side afresh.
    void DropScaleSide() {
        std::lock_guard<std::mutex> lock(writing_);
        scale_.Close();
    }
    // The line as the driver holds it, through a handle of the test's own (Wine's driver, unlike
    // a Windows one, lets a second opener in).
    void ExpectLineIs2400Baud8N2() override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        const std::string name = "\\\\.\\COM" + std::to_string(port);
        const HANDLE h =
            ::CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(::GetCommState(h, &dcb));
        ::CloseHandle(h);
        EXPECT_EQ(dcb.BaudRate, 2400u);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
        EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
        EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
        EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow);
    }
    // A serial port of the Win32 runtime, as another program in the session would have it.
    std::int32_t OpenElsewhere() override {
        HostedComponents other = runtime.MakeHostedComponents();
        other.comm->SetCommPort(port);
        const std::int32_t error = ErrorOf([&] { other.comm->SetPortOpen(true); });
        return error != 0 ? error : other.comm->PortOpen() ? 0 : -1;
    }

    bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) override {
        return PumpUntil(pred, limit);
    }
    void RunNested(std::chrono::milliseconds d) override { PumpFor(d); }
    std::chrono::milliseconds Cpu() override {
        FILETIME created, exited, kernel, user;
        ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
        auto ticks = [](const FILETIME& f) {
            return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
        };
        return std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
    }

    std::filesystem::path SystemDir() override {
        char dir[MAX_PATH] = {};
        ::GetWindowsDirectoryA(dir, MAX_PATH);
        return dir;
    }
    // The probe that run_on_com_ports.sh's caller names in VARNEL_PORTIN16_PROBE.
    void InstallInitialiser(Initialiser kind) override {
        const char* probe = std::getenv("VARNEL_PORTIN16_PROBE");
        ASSERT_NE(probe, nullptr) << "VARNEL_PORTIN16_PROBE names no stand-in initialiser";
        if (kind == Initialiser::Hangs) ::SetEnvironmentVariableA("VARNEL_PORTIN_HANG", "1");
        ASSERT_TRUE(::CopyFileA(probe, (SystemDir() / "PORTIN16.EXE").string().c_str(), FALSE));
    }
    std::vector<Started> InitialiserRuns() override { return RunsIn(ReadText(probeLog)); }
    bool Ends(const Started& run, std::chrono::milliseconds limit) override {
        const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(run.pid));
        if (!process) return true;
        const bool ended =
            ::WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
        ::CloseHandle(process);
        return ended;
    }

    const int scalePort;
    win32::Runtime runtime;
    DebugOutput debug;
    std::string probeLog;  // one "pid command-line" line per process the probe ran as

  private:
    // What a test may leave in the Windows directory, and the probe's log.
    void Clean() {
        std::error_code ec;
        for (const char* name : {"LOGK880S.TMP", "BDXK880S.LOG", "PORTIN16.EXE"})
            std::filesystem::remove(SystemDir() / name, ec);
        ::DeleteFileA(probeLog.c_str());
    }
    // Asks run_on_com_ports.sh to pull or put in the cable, and waits until it has.
    void Request(const char* what) {
        const std::string file = cable_ + "\\" + what;
        const HANDLE h =
            ::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << file;
        ::CloseHandle(h);
        ASSERT_TRUE(
            WaitUntil([&] { return ::GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES; },
                      std::chrono::seconds(10)))
            << "the cable was not " << (what[0] == 'o' ? "pulled" : "put in");
    }

    std::string cable_;
    std::mutex writing_;
    ScaleLine scale_;
};

}  // namespace varnel::testing
