// Parts of the Win32 runtime that need no port: line settings, line errors, command lines, file
// lookup and log appends.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <filesystem>
#include <fstream>

#include "control/errors.h"
#include "platform/win32/comm_settings.h"
#include "platform/win32/win32_system.h"
#include "serial/comm_component.h"
#include "tests/support/test_util.h"

namespace varnel::testing {
namespace {

TEST(Win32Parts, TheDeviceControlBlockCarriesTheSettingsThisSystemCanSet) {
    struct Case {
        const char* text;
        DWORD baud;  // 0: refused
        BYTE parity, data, stop;
    };
    const Case cases[] = {
        {"2400,N,8,2", 2400, NOPARITY, 8, TWOSTOPBITS},
        {"14400,e,7,1", 14400, EVENPARITY, 7, ONESTOPBIT},
        {"1200,o,5,1.5", 1200, ODDPARITY, 5, ONE5STOPBITS},
        {"256000,M,6,1", 256000, MARKPARITY, 6, ONESTOPBIT},
        {"110,s,8,2", 110, SPACEPARITY, 8, TWOSTOPBITS},
        {"230400,N,8,1", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto s = comm::ParseLineSettings(c.text, win32::kLineCapabilities);
        ASSERT_EQ(s.has_value(), c.baud != 0);
        if (!s) continue;
        DCB dcb{};
        win32::FillDcb(dcb, *s, {});
        EXPECT_EQ(dcb.BaudRate, c.baud);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.fParity != 0, c.parity != NOPARITY);
        EXPECT_EQ(dcb.ByteSize, c.data);
        EXPECT_EQ(dcb.StopBits, c.stop);
    }
}

TEST(Win32Parts, LineErrorsBecomeTheirEvents) {
    using Codes = std::vector<std::int16_t>;
    EXPECT_EQ(win32::LineErrorEvents(0), Codes{});
    EXPECT_EQ(win32::LineErrorEvents(CE_FRAME | CE_BREAK),
              (Codes{comm::kEventBreak, comm::kEventFrame}));
    EXPECT_EQ(win32::LineErrorEvents(CE_RXPARITY | CE_RXOVER | CE_OVERRUN),
              (Codes{comm::kEventOverrun, comm::kEventRxOver, comm::kEventRxParity}));
    EXPECT_EQ(win32::LineErrorEvents(CE_TXFULL | CE_MODE),
              (Codes{comm::kEventTxFull, comm::kEventDCB}));
}

std::vector<std::string> SplitLikeAProgram(const std::string& line) {
    const std::wstring wide(line.begin(), line.end());
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(wide.c_str(), &argc);
    std::vector<std::string> out;
    for (int i = 0; i < argc; ++i) {
        const std::wstring arg(argv[i]);
        out.emplace_back(arg.begin(), arg.end());
    }
    ::LocalFree(argv);
    return out;
}

TEST(Win32Parts, CommandLinesSplitBackIntoTheirArguments) {
    EXPECT_EQ(win32::CommandLine("C:\\WINDOWS\\PORTIN16.EXE", {"COM1"}),
              "C:\\WINDOWS\\PORTIN16.EXE COM1");
    const std::vector<std::vector<std::string>> cases = {
        {"C:\\WINDOWS\\PORTIN16.EXE", "COM12"},
        {"C:\\Program Files\\Scale Tools\\PORTIN16.EXE", "COM3"},
        {"C:\\W\\P.EXE", "a b", "say \"hi\"", "end\\", "x\\\\\"y", "", "tab\there", "dir\\ x\\"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> args(c.begin() + 1, c.end());
        const std::string line = win32::CommandLine(c[0], args);
        SCOPED_TRACE(line);
        EXPECT_EQ(SplitLikeAProgram(line), c);
    }
}

class Win32SystemFiles : public ::testing::Test {
  protected:
    Win32SystemFiles() {
        dir = std::filesystem::temp_directory_path() /
              ("varnel-files-" + std::to_string(::GetCurrentProcessId()));
        std::filesystem::create_directories(dir);
    }
    ~Win32SystemFiles() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string At(const std::string& name) const { return (dir / name).string(); }

    std::filesystem::path dir;
    win32::Win32System system;
};

TEST_F(Win32SystemFiles, FindFileGivesTheNameAsTheDirectorySpellsItForNormalFilesOnly) {
    std::ofstream(At("LogK880s.tmp")).flush();
    std::filesystem::create_directory(dir / "PORTIN16.EXE");
    EXPECT_EQ(system.FindFile(At("LOGK880S.TMP")), "LogK880s.tmp");
    EXPECT_EQ(system.FindFile(At("PORTIN16.EXE")), std::nullopt);  // a directory
    EXPECT_EQ(system.FindFile(At("LOGK88*.TMP")), std::nullopt);   // no wildcards
    EXPECT_EQ(system.FindFile(At("absent")), std::nullopt);
    EXPECT_EQ(system.FindFile(""), std::nullopt);
}

TEST_F(Win32SystemFiles, AppendsGoToRegularFilesOnly) {
    system.AppendToFile(At("BDXK880S.LOG"), "one\r\n");
    system.AppendToFile(At("BDXK880S.LOG"), "two\r\n");
    std::ifstream in(dir / "BDXK880S.LOG", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one\r\ntwo\r\n");

    std::filesystem::create_directory(dir / "sub");
    EXPECT_EQ(ErrorOf([&] { system.AppendToFile(At("sub"), "x\r\n"); }), err::kPermissionDenied);
    EXPECT_EQ(ErrorOf([&] { system.AppendToFile("NUL", "x\r\n"); }), err::kPermissionDenied);

    const std::string pipe = "\\\\.\\pipe\\varnel-log-" + std::to_string(::GetCurrentProcessId());
    const HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1,
                                             0, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ErrorOf([&] { system.AppendToFile(pipe, "x\r\n"); }), err::kPermissionDenied);
    DWORD waiting = 0;  // what a client wrote stays readable after it went
    ::PeekNamedPipe(server, nullptr, 0, nullptr, &waiting, nullptr);
    EXPECT_EQ(waiting, 0u);
    ::CloseHandle(server);
    EXPECT_EQ(ErrorOf([&] { system.AppendToFile(At("missing\\BDXK880S.LOG"), "x\r\n"); }),
              err::kPermissionDenied);
}

}  // namespace
}  // namespace varnel::testing
