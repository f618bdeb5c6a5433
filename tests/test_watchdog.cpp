// Receive watchdog and reconnect cycle on a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "control/errors.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Codes = std::vector<std::int16_t>;
using Lines = std::vector<std::string>;

TEST(WatchdogTest, SilenceOfOneSecondAfterTheLastCharacterIsALoss) {
    Harness h;
    h.OpenWithLogging();
    h.ClearLog();
    h.clock.Advance(500);
    h.Feed(Frame('0', "00100"));
    h.clock.Advance(999);
    EXPECT_EQ(h.EventCodes(), Codes{1});
    h.clock.Advance(1);  // 1000 ms after the frame
    EXPECT_EQ(h.EventCodes(), (Codes{1, 3}));
    EXPECT_EQ(h.events.back().connect, 0);
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_TRUE(h.reconnect->Enabled());
    EXPECT_EQ(h.Log(), (Lines{"Scale communications error!", "DisconnectFromScale: PASSED",
                              "ScaleOpen: scale OFFLINE 2, timeout disabled", "end ScaleOpen()"}));
}

TEST(WatchdogTest, RetriesEveryThreeSecondsAndReportsOnlyTheSuccess) {
    Harness h;
    h.Open();
    h.comm->Fail("set PortOpen True", comm::kErrDeviceUnavailable);  // cable gone
    h.clock.Advance(1000);
    EXPECT_EQ(h.EventCodes(), Codes{3});
    const std::int64_t lost = h.clock.Now();
    for (int retry = 1; retry <= 3; ++retry) {
        h.comm->accesses.clear();
        h.clock.Advance(2999);
        EXPECT_TRUE(h.comm->accesses.empty());
        h.clock.Advance(1);
        EXPECT_EQ(h.clock.Now() - lost, 3000 * retry);
        // A full opening with three attempts, each failing at the port.
        EXPECT_EQ(std::count(h.comm->accesses.begin(), h.comm->accesses.end(), "set PortOpen True"),
                  3);
        EXPECT_EQ(h.EventCodes(), Codes{3});
        EXPECT_TRUE(h.reconnect->Enabled());
        EXPECT_FALSE(h.watchdog->Enabled());
    }
    h.comm->Heal("set PortOpen True");
    h.clock.Advance(3000);
    EXPECT_EQ(h.EventCodes(), (Codes{3, 4}));
    EXPECT_EQ(h.events.back().connect, 1);
    EXPECT_TRUE(h.comm->IsOpen());
    EXPECT_TRUE(h.watchdog->Enabled());
    EXPECT_FALSE(h.reconnect->Enabled());
    h.Feed(Frame('0', "00100"));  // the first frame after reconnecting always counts
    EXPECT_EQ(h.EventCodes(), (Codes{3, 4, 1}));
}

TEST(WatchdogTest, AFailedOpenByTheHostRetriesAndReportsCodeFourLater) {
    Harness h;
    h.comm->Fail("set PortOpen True", comm::kErrInvalidPortNumber, 3);
    EXPECT_EQ(h.Open(), 0);
    EXPECT_TRUE(h.events.empty());
    h.clock.Advance(3000);
    EXPECT_EQ(h.EventCodes(), Codes{4});
    EXPECT_EQ(h.ctl->ConnectStatus(), 1);
}

TEST(WatchdogTest, CharactersKeepTheLinkAliveEvenWithoutFrames) {
    Harness h;
    h.Open();
    for (int i = 0; i < 100; ++i) {
        h.clock.Advance(900);
        h.Feed("?");
    }
    EXPECT_TRUE(h.events.empty());
    EXPECT_TRUE(h.comm->IsOpen());
}

TEST(WatchdogTest, SilenceAfterAMalformedFrameIsStillNoticed) {
    Harness h;
    h.Open();
    h.Feed(std::string("\x02") + "0 1234\r");  // 8 characters
    h.clock.Advance(1000);
    EXPECT_EQ(h.EventCodes(), Codes{3});
}

TEST(WatchdogTest, AStreamThatStopsIsReportedOnce) {
    Harness h;
    h.Open();
    for (int i = 0; i < 50; ++i) {
        h.Feed(Frame('0', "00100"));
        h.clock.Advance(46);
    }
    EXPECT_EQ(h.events.size(), 50u);
    h.clock.Advance(2000);
    const Codes codes = h.EventCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 3), 1);
}

TEST(WatchdogTest, ReconnectTickWithTheLinkMarkedUpDoesNothing) {
    Harness h;
    h.Open();
    h.reconnect->SetEnabled(true);
    for (int i = 0; i < 3; ++i) {
        h.clock.Advance(900);
        h.Feed("?");
    }
    h.comm->accesses.clear();
    h.clock.Advance(300);
    EXPECT_EQ(h.reconnect->ticks, 1);
    EXPECT_TRUE(h.comm->accesses.empty());
    EXPECT_TRUE(h.events.empty());
}

TEST(WatchdogTest, AnErrorEscapingATickKeepsTheRetryCycleGoing) {
    Harness h;
    h.Open();
    h.clock.Advance(1000);  // lost
    ASSERT_EQ(h.EventCodes(), Codes{3});
    h.comm->Fail("get PortOpen", comm::kErrDeviceUnavailable, 1);  // not trapped by the opening
    h.clock.Advance(3000);
    ASSERT_EQ(h.container.errors.size(), 1u);
    EXPECT_EQ(h.container.errors[0].Number(), comm::kErrDeviceUnavailable);
    EXPECT_TRUE(h.reconnect->Enabled());
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    h.clock.Advance(3000);
    EXPECT_EQ(h.EventCodes(), (Codes{3, 4}));
}

TEST(WatchdogTest, AnErrorWhileClosingAfterALossStillStartsTheRetries) {
    Harness h;
    h.Open();
    h.comm->Fail("get PortOpen", comm::kErrDeviceUnavailable, 1);
    h.clock.Advance(1000);
    ASSERT_EQ(h.container.errors.size(), 1u);
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_TRUE(h.reconnect->Enabled());
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    h.clock.Advance(3000);
    EXPECT_EQ(h.ctl->ConnectStatus(), 1);
    EXPECT_TRUE(h.comm->IsOpen());
}

}  // namespace
}  // namespace varnel::testing
