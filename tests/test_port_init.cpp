// The port initialiser: launch, bounded wait, result codes and their log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Lines = std::vector<std::string>;

struct InitCase {
    const char* name;
    std::function<void(ScriptedSystem&)> script;
    std::int32_t code;
    Lines lines;  // from "begin vnPortInit16" to "end vnPortInit16", first attempt
};

const std::string kProgram = "C:\\WINDOWS\\PORTIN16.EXE";

TEST(PortInitTest, ResultCodesAndTheirLogLines) {
    const Lines head = {"begin vnPortInit16", "Launching " + kProgram + " COM1",
                        "vnPortinit16: CreateProcess returned: 1",
                        "vnPortinit16: waiting for obj..."};
    auto with = [&](Lines tail) {
        Lines all = head;
        all.insert(all.end(), tail.begin(), tail.end());
        all.push_back("end vnPortInit16");
        return all;
    };
    const InitCase cases[] = {
        {"not installed",
         [](ScriptedSystem& s) { s.RemoveFile(kProgram); },
         5,
         {"begin vnPortInit16", "vnPortinit16: PORTIN16 app not in win dir", "end vnPortInit16"}},
        {"ran, exit code 3", [](ScriptedSystem& s) { s.exitCode = 3; }, 0,
         with({"vnPortinit16: WaitForObj returned: 0", "vnPortinit16: CloseHandle returned: 1",
               "vnPortinit16: Exit code: 3"})},
        {"negative exit code", [](ScriptedSystem& s) { s.exitCode = -1073741819; }, 0,
         with({"vnPortinit16: WaitForObj returned: 0", "vnPortinit16: CloseHandle returned: 1",
               "vnPortinit16: Exit code: -1073741819"})},
        {"start failed",
         [](ScriptedSystem& s) { s.startOk = false; },
         1,
         {"begin vnPortInit16", "Launching " + kProgram + " COM1",
          "vnPortinit16: CreateProcess returned: 0", "vnPortinit16: CreateProcess FAILED",
          "end vnPortInit16"}},
        {"wait failed", [](ScriptedSystem& s) { s.waitResult = System::kWaitFailed; }, 2,
         with({"vnPortinit16: WaitForObj returned: -1", "vnPortinit16: WaitForObj FAILED"})},
        {"ran past the bound", [](ScriptedSystem& s) { s.waitResult = System::kWaitTimedOut; }, 2,
         with({"vnPortinit16: WaitForObj returned: 258", "vnPortinit16: WaitForObj FAILED"})},
        {"no exit code", [](ScriptedSystem& s) { s.exitCode.reset(); }, 3,
         with({"vnPortinit16: WaitForObj returned: 0"})},
        {"close failed", [](ScriptedSystem& s) { s.closeOk = false; }, 4,
         with({"vnPortinit16: WaitForObj returned: 0", "vnPortinit16: CloseHandle returned: 0",
               "vnPortinit16: CloseHandle FAILED"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.OpenWithLogging();
        h.Close();
        h.ClearLog();
        h.comm->accesses.clear();
        h.system.AddFile(kProgram);
        c.script(h.system);

        const bool opens = c.code == 0 || c.code == 5;
        EXPECT_EQ(h.Open(), opens ? 1 : 0);
        const Lines log = h.Log();
        auto begin = std::find(log.begin(), log.end(), "begin vnPortInit16");
        auto end = std::find(begin, log.end(), "end vnPortInit16");
        ASSERT_NE(end, log.end());
        EXPECT_EQ(Lines(begin, end + 1), c.lines);
        ASSERT_NE(end + 1, log.end());
        EXPECT_EQ(*(end + 1), "vnPortInit16 returned: " + std::to_string(c.code));
        if (!opens) {
            EXPECT_EQ(*(end + 2), "OpenSerialPort: comm port init unsuccessful");
            EXPECT_EQ(
                std::count(h.comm->accesses.begin(), h.comm->accesses.end(), "set PortOpen True"),
                0);
            EXPECT_EQ(std::count(log.begin(), log.end(), "begin vnPortInit16"), 3);
        }
        // Whatever happened, nothing is left open.
        EXPECT_EQ(h.system.open, 0);
    }
}

TEST(PortInitTest, TheInitialiserGetsTheFullPortNameAndABoundedWait) {
    for (std::int16_t port : std::vector<std::int16_t>{1, 9, 10, 12, 25, 255}) {
        Harness h;
        h.system.AddFile(kProgram);
        h.ctl->SetCommPort(port);
        h.ctl->SetPortInitTimeout(2500);
        h.Open();
        ASSERT_EQ(h.system.launches.size(), 1u);
        EXPECT_EQ(h.system.launches[0].program, kProgram);
        EXPECT_EQ(h.system.launches[0].args, Lines{"COM" + std::to_string(port)});
        EXPECT_EQ(h.system.launches[0].timeoutMs, 2500u);
    }
    Harness h;
    h.system.AddFile(kProgram);
    h.Open();
    EXPECT_EQ(h.system.launches.at(0).timeoutMs, kDefaultPortInitTimeoutMs);
}

TEST(PortInitTest, NoSystemDirectoryMeansNoInitialiser) {
    Harness h;
    h.system.windowsDir = "";
    h.system.AddFile(kDebugMarkerFile);  // relative to the current directory
    h.Open();
    h.Close();
    h.system.written.clear();
    EXPECT_EQ(h.Open(), 1);
    const Lines log = h.system.Lines(kDebugLogFile);
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(
        Lines(log.begin() + 2, log.begin() + 5),
        (Lines{"begin vnPortInit16", "vnPortinit16: no path to windows", "end vnPortInit16"}));
}

TEST(PortInitTest, ALookupErrorEndsTheAttemptInTheTrap) {
    Harness h;
    h.OpenWithLogging();
    h.Close();
    h.ClearLog();
    h.system.failLookup = true;
    EXPECT_EQ(h.Open(), 0);
    const Lines log = h.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "OpenSerialPort: sioopenerr0"), 3);
}

}  // namespace
}  // namespace varnel::testing
