// The debug log: the marker switch and what reaches the log file.
#include <gtest/gtest.h>

#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Lines = std::vector<std::string>;

const Lines kSwitchedOn = {"", "Start debug...", "begin ScaleOpen()",
                           "ScaleOpen: scale ONLINE 1, timeout enabled", "end ScaleOpen()"};

TEST(DebugLogTest, TheOpeningThatFindsTheMarkerWritesOnlyItsOwnEnding) {
    Harness h;
    h.OpenWithLogging();
    EXPECT_EQ(h.Log(), kSwitchedOn);
    EXPECT_EQ(h.system.written.begin()->second.substr(0, 2), "\r\n");
}

TEST(DebugLogTest, TheMarkerNameIsComparedWithoutRegardToCase) {
    struct Case {
        std::string spelled;
        bool on;
    };
    const Case cases[] = {{"LOGK880S.TMP", true},
                          {"logk880s.tmp", true},
                          {"LogK880s.Tmp", true},
                          {"LOGK880S.TMP.OLD", false},
                          {"LOGK880S", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spelled);
        Harness h;
        h.system.AddFile(h.Dir() + kDebugMarkerFile, c.spelled);
        h.Open();
        EXPECT_EQ(VarnelProbe::DebugOn(*h.ctl), c.on ? kTrue : kFalse);
        EXPECT_EQ(h.Log().empty(), !c.on);
    }
}

TEST(DebugLogTest, AFailedOpeningNeverSwitchesLoggingOn) {
    Harness h;
    h.system.AddFile(h.Dir() + kDebugMarkerFile);
    h.comm->Fail("set PortOpen True");
    EXPECT_EQ(h.Open(), 0);
    h.clock.Advance(30000);  // several failed retries
    EXPECT_TRUE(h.system.written.empty());
    EXPECT_EQ(VarnelProbe::DebugOn(*h.ctl), kFalse);
}

TEST(DebugLogTest, TheMarkerIsOnlyLookedAtWhenAConnectionComesUp) {
    Harness h;
    h.OpenWithLogging();
    h.system.RemoveFile(h.Dir() + kDebugMarkerFile);
    h.ClearLog();
    h.comm->Raise(1005);
    EXPECT_EQ(h.Log(), Lines{"OnComm: event error"});  // still on
    h.ClearLog();
    h.Open();  // the lines before the marker check are still written
    const Lines log = h.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "begin ConnectToScale");
    EXPECT_EQ(log.back(), "end ConnectToScale");
    EXPECT_EQ(VarnelProbe::DebugOn(*h.ctl), kFalse);
    h.ClearLog();
    h.Close();
    EXPECT_TRUE(h.Log().empty());
}

TEST(DebugLogTest, AReconnectWithTheMarkerWritesTheGroupAgain) {
    Harness h;
    h.OpenWithLogging();
    h.ClearLog();
    h.clock.Advance(1000 + 3000);  // lost, then reconnected
    const Lines log = h.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "Start debug..."), 1);
    EXPECT_EQ(log.back(), "end ScaleOpen()");
    EXPECT_EQ(h.EventCodes(), (std::vector<std::int16_t>{3, 4}));
}

TEST(DebugLogTest, ALogThatCannotBeWrittenStopsNothing) {
    Harness h;
    h.system.failAppend = true;
    h.OpenWithLogging();
    EXPECT_EQ(h.ctl->ConnectStatus(), 1);
    EXPECT_TRUE(h.watchdog->Enabled());
    h.Feed(Frame('0', "00100"));
    h.comm->Raise(1005);
    h.clock.Advance(1000);
    EXPECT_EQ(h.EventCodes(), (std::vector<std::int16_t>{1, 3}));
    EXPECT_TRUE(h.container.errors.empty());
}

}  // namespace
}  // namespace varnel::testing
