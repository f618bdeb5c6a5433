// Change notification: which frames reach the host, in which order, with which values.
#include <gtest/gtest.h>

#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Codes = std::vector<std::int16_t>;

struct PolicyCase {
    const char* name;
    VN_NOTIFY_ENUM policy;
    std::vector<std::string> frames;
    Codes expected;
};

TEST(NotificationTest, PoliciesDecideWhichFramesAreReported) {
    const std::string a = Frame('0', "00100");
    const std::string b = Frame('0', "00105");
    const PolicyCase cases[] = {
        {"everytime, identical", vnEverytime, {a, a, a}, {1, 1, 1}},
        {"changed, identical", vnChanged, {a, a, a}, {1}},
        {"changed, 100 100 105", vnChanged, {a, a, b}, {1, 1}},
        {"changed, back and forth", vnChanged, {a, b, a}, {1, 1, 1}},
        {"other value filters as changed", static_cast<VN_NOTIFY_ENUM>(7), {a, a, b}, {1, 1}},
        {"everytime, status 0 to 2", vnEverytime, {a, Frame('2', "00100")}, {1, 2, 1}},
        // A non-zero status reads 00000, like a true zero: only the status event.
        {"changed, error then zero",
         vnChanged,
         {Frame('3', "12345"), Frame('3', "99999"), Frame('0', "00000")},
         {2, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.ctl->SetWtNotification(c.policy);
        h.Open();
        for (const auto& f : c.frames)
            h.Feed(f);
        EXPECT_EQ(h.EventCodes(), c.expected);
    }
}

TEST(NotificationTest, TheStatusEventComesFirstWithTheOldWeight) {
    Harness h;
    h.Open();
    h.Feed(Frame('0', "01234"));
    h.Feed(Frame('2', "01234"));
    ASSERT_EQ(h.EventCodes(), (Codes{1, 2, 1}));
    const Snapshot& status = h.events[1];
    EXPECT_EQ(status.status, 2);
    EXPECT_EQ(status.rawUnits, 2);
    EXPECT_EQ(status.rawWt, "01234");  // still the previous frame's
    EXPECT_EQ(status.formatted, "01:23.4");
    const Snapshot& weight = h.events[2];
    EXPECT_EQ(weight.rawWt, "00000");
    EXPECT_EQ(weight.formatted, "00:00.0");
    EXPECT_EQ(weight.netWt, 0.0f);
    EXPECT_EQ(VarnelProbe::LastStatus(*h.ctl), 2);
}

TEST(NotificationTest, EveryOpeningMakesTheFirstFrameAChange) {
    Harness h;
    h.ctl->SetWtNotification(vnChanged);
    h.Open();
    h.Feed(Frame('1', "00000"));
    h.Feed(Frame('1', "00000"));
    EXPECT_EQ(h.EventCodes(), (Codes{2, 1}));
    h.Open();  // reopen: last status and last weight forgotten
    h.Feed(Frame('1', "00000"));
    EXPECT_EQ(h.EventCodes(), (Codes{2, 1, 2, 1}));
}

TEST(NotificationTest, ValuesOfAWeightEventFollowTheUnits) {
    struct Case {
        VN_UOM_ENUM units;
        float net;
    };
    const Case cases[] = {{vnPounds, 0x1.b347bap+4f},
                          {vnKilograms, 12.34f},
                          {vnGrams, 12340.0f},
                          {vnOunces, 0x1.b347bap+8f}};
    for (const auto& c : cases) {
        Harness h;
        h.ctl->SetNetWtUnits(c.units);
        h.Open();
        h.Feed(Frame(' ', "01234"));
        ASSERT_EQ(h.events.size(), 1u);
        EXPECT_EQ(h.events[0].netWt, c.net);
        EXPECT_EQ(h.events[0].formatted, "012.34");
        EXPECT_EQ(h.events[0].rawUnits, 1);
    }
}

TEST(NotificationTest, NetWtKeepsItsValueForUnitsOutsideTheEnum) {
    Harness h;
    h.ctl->SetNetWtUnits(vnGrams);
    h.Open();
    h.Feed(Frame('@', "01234"));
    EXPECT_EQ(*h.ctl->NetWt().R4(), 1234.0f);
    h.ctl->SetNetWtUnits(static_cast<VN_UOM_ENUM>(9));
    h.Feed(Frame('@', "05000"));
    EXPECT_EQ(*h.ctl->NetWt().R4(), 1234.0f);
    EXPECT_EQ(h.ctl->RawWt(), "05000");
}

TEST(NotificationTest, LayoutWithoutUnitsClearsTheWeight) {
    Harness h;
    h.Open();
    h.Feed(Frame('@', "01234"));
    h.Feed(Frame('\x60', "01234"));  // units bits 0x60: no layout
    EXPECT_EQ(h.ctl->FormattedWt(), "");
    EXPECT_EQ(*h.ctl->NetWt().R4(), 0.0f);
    EXPECT_EQ(VarnelProbe::Grams(*h.ctl), 0.0f);
}

TEST(NotificationTest, UnitsChangeAtRunTimeUnderChangedReportsAtOnce) {
    Harness h;
    h.ctl->SetWtNotification(vnChanged);
    h.Open();
    h.Feed(Frame('@', "01234"));
    h.ctl->SetNetWtUnits(vnGrams);
    ASSERT_EQ(h.EventCodes(), (Codes{1, 1}));
    EXPECT_EQ(h.events[1].netWt, 1234.0f);
    h.ctl->SetNetWtUnits(vnGrams);  // same value: still recomputed and reported
    EXPECT_EQ(h.EventCodes(), (Codes{1, 1, 1}));
}

TEST(NotificationTest, UnitsChangeUnderOtherPoliciesWaitsForTheNextFrame) {
    for (auto policy : {vnEverytime, static_cast<VN_NOTIFY_ENUM>(2)}) {
        Harness h;
        h.ctl->SetWtNotification(policy);
        h.Open();
        h.Feed(Frame('@', "01234"));
        const float pounds = *h.ctl->NetWt().R4();
        h.ctl->SetNetWtUnits(vnGrams);
        EXPECT_EQ(h.events.size(), 1u);
        EXPECT_EQ(*h.ctl->NetWt().R4(), pounds);
        if (policy == vnEverytime) {
            h.Feed(Frame('@', "01234"));
            EXPECT_EQ(*h.ctl->NetWt().R4(), 1234.0f);
        }
    }
}

TEST(NotificationTest, UnitsChangeOnAStoredWeightThatIsNotANumberFailsAfterStoring) {
    Harness h;
    h.ctl->SetWtNotification(vnChanged);
    h.Open();
    h.Feed(Frame('@', "01234"));
    h.container.errors.clear();
    h.Feed(Frame('@', "1x234"));  // reported through EventError
    ASSERT_EQ(h.container.errors.size(), 1u);
    EXPECT_THROW(h.ctl->SetNetWtUnits(vnKilograms), AutomationError);
    EXPECT_EQ(h.ctl->NetWtUnits(), vnKilograms);
}

}  // namespace
}  // namespace varnel::testing
