// Opening and closing the link: component accesses, attempts, results and log lines.
#include <gtest/gtest.h>

#include <algorithm>

#include "control/errors.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Lines = std::vector<std::string>;

const Lines kOpenSequence = {
    "get PortOpen",  // ConnectToScale: open already?
    "get CommPort",  // the initialiser's port name
    "get PortOpen",  // OpenSerialPort: open already?
    "set PortOpen True",   "set Settings 2400,N,8,2", "set DTREnable False", "set Handshaking 0",
    "set RTSEnable False", "set OutBufferCount 0",    "set InputLen 0",      "get Input",
    "set InputLen 1",
    "set InBufferCount 0",  // receiver reset after the connection
};

TEST(ConnectionTest, OpeningWritesTheComponentInItsFixedOrder) {
    Harness h;
    EXPECT_EQ(h.Open(), 1);
    EXPECT_EQ(h.comm->accesses, kOpenSequence);
    EXPECT_EQ(h.ctl->ConnectStatus(), 1);
    EXPECT_TRUE(h.watchdog->Enabled());
    EXPECT_FALSE(h.reconnect->Enabled());
    EXPECT_TRUE(h.events.empty());  // opening by the host raises no event
    EXPECT_EQ(VarnelProbe::LogDir(*h.ctl), "C:\\WINDOWS\\");
}

TEST(ConnectionTest, OnlyMinusOneOpens) {
    for (std::int16_t value : std::vector<std::int16_t>{1, 0, 2, -2, 32767}) {
        SCOPED_TRACE(value);
        Harness h;
        h.Open();
        std::int16_t arg = value;
        EXPECT_EQ(h.ctl->ScaleOpen(arg), 0);
        EXPECT_EQ(arg, value);
        EXPECT_FALSE(h.comm->IsOpen());
        EXPECT_EQ(h.ctl->ConnectStatus(), 0);
        EXPECT_FALSE(h.watchdog->Enabled());
        EXPECT_FALSE(h.reconnect->Enabled());
    }
}

TEST(ConnectionTest, ReopeningAnOpenLinkClosesItFirst) {
    Harness h;
    h.OpenWithLogging();
    h.ClearLog();
    EXPECT_EQ(h.Open(), 1);
    const Lines log = h.Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "begin ConnectToScale");
    EXPECT_EQ(log[1], "ConnectToScale: port was already open");
    EXPECT_EQ(log[2], "ConnectToScale: set PortOpen = False");
    EXPECT_TRUE(h.comm->IsOpen());
}

TEST(ConnectionTest, WithLoggingOnASuccessfulOpenWritesTheWholeTrace) {
    Harness h;
    h.OpenWithLogging();
    h.Close();
    h.ClearLog();
    EXPECT_EQ(h.Open(), 1);
    EXPECT_EQ(h.Log(),
              (Lines{"begin ConnectToScale", "begin OpenSerialPort", "begin vnPortInit16",
                     "vnPortinit16: PORTIN16 app not in win dir", "end vnPortInit16",
                     "vnPortInit16 returned: 5", "OpenSerialPort: ready to open port",
                     "OpenSerialPort: port opened", "end OpenSerialPort", "ConnectToScale PASSED",
                     "end ConnectToScale", "", "Start debug...", "begin ScaleOpen()",
                     "ScaleOpen: scale ONLINE 1, timeout enabled", "end ScaleOpen()"}));
}

TEST(ConnectionTest, ClosingANeverOpenedLinkLogsAndStopsBothTimers) {
    Harness h;
    h.OpenWithLogging();
    h.Close();
    h.ClearLog();
    EXPECT_EQ(h.Close(), 0);
    EXPECT_EQ(h.Log(), (Lines{"DisconnectFromScale: PASSED",
                              "ScaleOpen: scale OFFLINE 2, timeout disabled", "end ScaleOpen()"}));
}

TEST(ConnectionTest, ThreeFailedAttemptsLeaveTheControlRetrying) {
    Harness h;
    h.OpenWithLogging();
    h.Close();
    h.ClearLog();
    h.comm->SetEventCode(0);
    h.comm->Fail("set Settings", comm::kErrSetCommState);
    EXPECT_EQ(h.Open(), 0);
    const Lines attempt = {"begin OpenSerialPort",
                           "begin vnPortInit16",
                           "vnPortinit16: PORTIN16 app not in win dir",
                           "end vnPortInit16",
                           "vnPortInit16 returned: 5",
                           "OpenSerialPort: ready to open port",
                           "OpenSerialPort: sioopenerr0",
                           "end OpenSerialPort",
                           "ConnectToScale FAILED"};
    Lines expected = {"begin ConnectToScale"};
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), attempt.begin(), attempt.end());
    expected.insert(
        expected.end(),
        {"end ConnectToScale", "ScaleOpen: scale OFFLINE 1, timeout disabled", "end ScaleOpen()"});
    EXPECT_EQ(h.Log(), expected);
    // The port that opened before Settings failed was closed after each attempt.
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_TRUE(h.reconnect->Enabled());
    EXPECT_TRUE(h.events.empty());
}

TEST(ConnectionTest, SioOpenErrorCarriesTheComponentsEventCode) {
    Harness h;
    h.OpenWithLogging();
    h.Close();
    h.ClearLog();
    h.comm->SetEventCode(1004);
    h.comm->Fail("set PortOpen True", comm::kErrInvalidPortNumber);
    EXPECT_EQ(h.Open(), 0);
    const Lines log = h.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "OpenSerialPort: sioopenerr1004"), 3);
}

TEST(ConnectionTest, ErrorsOutsideTheTrapReachTheCaller) {
    Harness h;
    h.comm->Fail("get PortOpen", comm::kErrDeviceUnavailable, 1);
    try {
        h.Open();
        FAIL() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), comm::kErrDeviceUnavailable);
    }
    EXPECT_FALSE(h.comm->IsOpen());
}

TEST(ConnectionTest, AReceiverResetThatFailsAfterOpeningIsNoSuccess) {
    Harness h;
    h.comm->Fail("set InBufferCount", comm::kErrPortOpenOnly, 1);
    EXPECT_EQ(h.Open(), 0);
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_TRUE(h.reconnect->Enabled());
    ASSERT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.events[0].event, 3);
    // The retry cycle takes over and reports the restored link.
    h.clock.Advance(3000);
    EXPECT_EQ(h.ctl->ConnectStatus(), 1);
    EXPECT_EQ(h.events.back().event, 4);
}

TEST(ConnectionTest, LogLinesOfAFailedResetAfterOpening) {
    Harness h;
    h.OpenWithLogging();
    h.ClearLog();
    h.comm->Fail("set InBufferCount", comm::kErrPortOpenOnly, 1);
    EXPECT_EQ(h.Open(), 0);
    Lines log = h.Log();
    // Tail: the error handling inside, then this call's own ending.
    const Lines tail = {"ConnectToScale PASSED",
                        "end ConnectToScale",
                        "Scale communications error!",
                        "DisconnectFromScale: PASSED",
                        "ScaleOpen: scale OFFLINE 2, timeout disabled",
                        "end ScaleOpen()",
                        "ScaleOpen: scale OFFLINE 1, timeout disabled",
                        "end ScaleOpen()"};
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(Lines(log.end() - static_cast<std::ptrdiff_t>(tail.size()), log.end()), tail);
}

TEST(ConnectionTest, CommPortWrittenWhileDownIsUsedAtTheNextOpen) {
    Harness h;
    h.ctl->SetCommPort(12);
    h.system.AddFile("C:\\WINDOWS\\PORTIN16.EXE");
    EXPECT_EQ(h.Open(), 1);
    EXPECT_EQ(h.comm->Port(), 12);
    ASSERT_EQ(h.system.launches.size(), 1u);
    EXPECT_EQ(h.system.launches[0].args, (std::vector<std::string>{"COM12"}));
}

TEST(ConnectionTest, SystemDirectoryWithoutTrailingSeparatorGetsOne) {
    struct Case {
        std::string dir;
        char separator;
        std::string logDir;
    };
    const Case cases[] = {{"C:\\WINDOWS", '\\', "C:\\WINDOWS\\"},
                          {"C:\\", '\\', "C:\\"},
                          {"/var/lib/varnel", '/', "/var/lib/varnel/"},
                          {"", '/', ""},
                          {std::string(400, 'd'), '/', std::string(400, 'd') + "/"}};
    for (const auto& c : cases) {
        Harness h;
        h.system.windowsDir = c.dir;
        h.system.separator = c.separator;
        h.Open();
        EXPECT_EQ(VarnelProbe::LogDir(*h.ctl), c.logDir);
    }
}

}  // namespace
}  // namespace varnel::testing
