// The frame receiver: byte streams through the component's receive events.
#include <gtest/gtest.h>

#include "control/errors.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Codes = std::vector<std::int16_t>;
using Lines = std::vector<std::string>;

class ReceiverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.OpenWithLogging();
        ASSERT_EQ(h.ctl->ConnectStatus(), 1);
        h.ClearLog();
        h.comm->accesses.clear();
    }
    std::int16_t State() const { return VarnelProbe::RxState(*h.ctl); }
    const std::string& Partial() const { return VarnelProbe::Frame(*h.ctl); }
    Harness h;
};

TEST_F(ReceiverTest, OneValidFrameIsProcessedOnceAndTheReceiverIsReset) {
    h.Feed(Frame('0', "01234"));
    ASSERT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.events[0].event, 1);
    EXPECT_EQ(h.events[0].rawWt, "01234");
    EXPECT_EQ(State(), 0);
    EXPECT_EQ(Partial(), "");
    EXPECT_TRUE(h.watchdog->Enabled());
    EXPECT_TRUE(h.Log().empty());
}

TEST_F(ReceiverTest, EachReceiveEventReadsOneCharacterAndRestartsTheWatchdog) {
    h.Feed("\x02");
    EXPECT_EQ(h.comm->accesses, (Lines{"set InputLen 1", "get CommEvent", "get Input"}));
    EXPECT_EQ(State(), 1);
    h.clock.Advance(900);
    h.Feed("0");
    h.clock.Advance(900);  // 1800 ms since the open, 900 since the last character
    EXPECT_EQ(h.watchdog->ticks, 0);
    h.comm->accesses.clear();
    h.Feed(std::string("  01234\r"));
    // At the CR: the frame is processed, then the receive buffer is emptied.
    ASSERT_GE(h.comm->accesses.size(), 2u);
    EXPECT_EQ(h.comm->accesses.back(), "set InBufferCount 0");
    EXPECT_EQ(h.EventCodes(), Codes{1});
}

TEST_F(ReceiverTest, FramesOfTheWrongLengthAreDroppedSilently) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"9 characters", std::string("\x02") + "0 01234" + "\r"},
        {"11 characters", std::string("\x02") + "0  012345" + "\r"},
        {"CR alone after STX", std::string("\x02") + "\r"},
        {"very long", std::string("\x02") + std::string(5000, '7') + "\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.Feed(c.bytes);
        EXPECT_TRUE(h.events.empty());
        EXPECT_TRUE(h.Log().empty());
        EXPECT_EQ(State(), 0);
        EXPECT_EQ(Partial(), "");
        // The watchdog runs after every CR, so silence after a bad frame is still noticed.
        EXPECT_TRUE(h.watchdog->Enabled());
    }
    h.Feed(Frame('0', "00001"));
    EXPECT_EQ(h.EventCodes(), Codes{1});
}

TEST_F(ReceiverTest, AFrameWithoutCrStaysBoundedUntilTheNextStx) {
    h.Feed(std::string("\x02") + std::string(100000, '5'));
    EXPECT_EQ(State(), 1);
    EXPECT_LE(Partial().size(), 11u);
    EXPECT_LE(VarnelProbe::FrameCapacity(*h.ctl), 15u);
    h.Feed("\x02");  // resets, emptying the buffer
    EXPECT_EQ(State(), 0);
    h.Feed(Frame('0', "00042"));
    EXPECT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.ctl->RawWt(), "00042");
}

TEST_F(ReceiverTest, ResetsDiscardWhatIsAlreadyBuffered) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::string good = Frame('0', "01111");
    const Case cases[] = {
        // A stray character read while hunting for STX empties the buffer behind it.
        {"stray before STX", "x" + good},
        // An STX inside a frame drops that frame, and the one it begins goes with the flush.
        {"STX inside a frame", std::string("\x02") + "0 01" + good},
        // Noise between frames.
        {"noise", std::string("\xff\xfe\x00", 3) + good},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.Feed(c.bytes);
        EXPECT_TRUE(h.events.empty());
        EXPECT_EQ(State(), 0);
        EXPECT_EQ(h.comm->Waiting(), 0u);
    }
    // The next STX that arrives on its own starts a frame.
    h.Feed(good);
    EXPECT_EQ(h.EventCodes(), Codes{1});
}

TEST_F(ReceiverTest, FramesBehindAGoodFrameInTheSameBurstAreFlushed) {
    h.Feed(Frame('0', "00001") + Frame('0', "00002"));
    ASSERT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.ctl->RawWt(), "00001");
}

TEST_F(ReceiverTest, ErrorEventsResetWithoutTellingTheHost) {
    for (std::int16_t code : Codes{1001, 1002, 1003, 1004, 1006, 1007, 1008, 1009, 1010, 1011}) {
        SCOPED_TRACE(code);
        h.Feed(std::string("\x02") + "0 01");
        ASSERT_EQ(State(), 1);
        h.comm->Raise(code);
        EXPECT_EQ(State(), 0);
        EXPECT_EQ(Partial(), "");
        h.Feed("234\r");  // the rest of the abandoned frame is only noise now
        EXPECT_TRUE(h.events.empty());
        EXPECT_TRUE(h.Log().empty());
    }
}

TEST_F(ReceiverTest, OtherEventsOnlyLogAndTheFrameContinues) {
    for (std::int16_t code : Codes{1005, 1, 3, 4, 5, 6, 7, 0, -1, 2000}) {
        SCOPED_TRACE(code);
        h.events.clear();
        h.ClearLog();
        h.Feed(std::string("\x02") + "0  01");
        h.comm->Raise(code);
        EXPECT_EQ(State(), 1);
        EXPECT_EQ(h.Log(), Lines{"OnComm: event error"});
        h.Feed("234\r");
        EXPECT_EQ(h.EventCodes(), Codes{1});
    }
}

TEST_F(ReceiverTest, AnEmptyReadInsideAFrameChangesNothing) {
    h.Feed(std::string("\x02") + "0  01");
    h.comm->Raise(comm::kEvReceive);  // nothing is waiting
    EXPECT_EQ(State(), 1);
    EXPECT_EQ(Partial(), std::string("\x02") + "0  01");
    EXPECT_TRUE(h.container.errors.empty());
    h.Feed("234\r");
    EXPECT_EQ(h.EventCodes(), Codes{1});
}

TEST_F(ReceiverTest, AnEmptyReadWhileHuntingResets) {
    h.comm->Raise(comm::kEvReceive);
    EXPECT_EQ(State(), 0);
    EXPECT_EQ(h.comm->accesses.back(), "set InBufferCount 0");
}

TEST_F(ReceiverTest, AFrameThatDoesNotConvertIsReportedAndTheNextFrameStillArrives) {
    h.Feed(Frame(' ', "0A234"));  // kilograms layout, not a number
    ASSERT_EQ(h.container.errors.size(), 1u);
    EXPECT_EQ(h.container.errors[0].Number(), err::kTypeMismatch);
    EXPECT_EQ(h.ctl->FormattedWt(), "0A2.34");  // set before the parse failed
    EXPECT_EQ(VarnelProbe::LastRawWt(*h.ctl), "");
    EXPECT_EQ(State(), 0);
    EXPECT_TRUE(h.watchdog->Enabled());
    EXPECT_TRUE(h.events.empty());
    h.Feed(Frame(' ', "01234"));
    EXPECT_EQ(h.EventCodes(), Codes{1});
    EXPECT_EQ(h.ctl->FormattedWt(), "012.34");
}

TEST_F(ReceiverTest, AFailedBufferFlushIsACommunicationsError) {
    h.Feed(std::string("\x02") + "0 01");
    h.comm->Fail("set InBufferCount", comm::kErrPortOpenOnly, 1);
    h.Feed("x");     // fine inside a frame
    h.Feed("\x02");  // second STX: the reset fails
    EXPECT_EQ(h.EventCodes(), Codes{3});
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    EXPECT_TRUE(h.reconnect->Enabled());
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_EQ(h.Log().front(), "Scale communications error!");
    EXPECT_TRUE(h.container.errors.empty());
}

TEST_F(ReceiverTest, AHostThatClosesTheLinkInItsHandlerStaysClosed) {
    h.container.onScaleComm = [&] {
        h.events.push_back(h.Snap());
        h.Close();
    };
    h.Feed(Frame('0', "01234"));
    EXPECT_EQ(h.EventCodes(), Codes{1});
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_EQ(State(), 0);
    h.clock.Advance(10000);
    EXPECT_EQ(h.EventCodes(), Codes{1});  // no loss reported, no reconnect
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_TRUE(h.container.errors.empty());
}

TEST_F(ReceiverTest, ComponentErrorsInsideTheHandlerReachTheContainer) {
    h.comm->Fail("get CommEvent", comm::kErrPortOpenOnly, 1);
    h.Feed("\x02");
    ASSERT_EQ(h.container.errors.size(), 1u);
    EXPECT_EQ(h.container.errors[0].Number(), comm::kErrPortOpenOnly);
    EXPECT_EQ(State(), 0);
}

}  // namespace
}  // namespace varnel::testing
