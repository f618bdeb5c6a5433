// The property model: public setters, internal setters gated by UserMode, NetWt's type.
#include <gtest/gtest.h>

#include "control/errors.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Notes = std::vector<std::string>;

TEST(PropertiesTest, NewControlReadsZerosAndEmptyTextsWithTimersOff) {
    Harness h;
    EXPECT_EQ(h.ctl->ScaleCommEvent(), 0);
    EXPECT_EQ(h.ctl->RawWt(), "");
    EXPECT_EQ(h.ctl->FormattedWt(), "");
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    EXPECT_EQ(h.ctl->NetWt().Type(), VarType::R4);
    EXPECT_EQ(*h.ctl->NetWt().R4(), 0.0f);
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_FALSE(h.reconnect->Enabled());
    EXPECT_EQ(h.watchdog->Interval(), 1000);
    EXPECT_EQ(h.reconnect->Interval(), 3000);
    EXPECT_FALSE(h.comm->IsOpen());
    h.clock.Advance(60000);
    EXPECT_EQ(h.watchdog->ticks + h.reconnect->ticks, 0);
}

TEST(PropertiesTest, EnumSettersStoreAnyValueAndNotifyEveryTime) {
    Harness h;
    h.ctl->SetWtNotification(static_cast<VN_NOTIFY_ENUM>(7));
    EXPECT_EQ(h.ctl->WtNotification(), 7);
    h.ctl->SetNetWtUnits(static_cast<VN_UOM_ENUM>(-3));
    EXPECT_EQ(h.ctl->NetWtUnits(), -3);
    h.ctl->SetWtNotification(vnChanged);
    h.ctl->SetWtNotification(vnChanged);
    EXPECT_EQ(h.container.notifications,
              (Notes{"WtNotification", "NetWtUnits", "WtNotification", "WtNotification"}));
}

TEST(PropertiesTest, CommPortNotifiesOnlyOnChangeAndCommIdAlways) {
    Harness h;
    h.ctl->SetCommPort(1);  // the component's own initial port
    EXPECT_TRUE(h.container.notifications.empty());
    EXPECT_EQ(h.comm->Writes(), Notes{});
    h.ctl->SetCommPort(4);
    EXPECT_EQ(h.ctl->CommPort(), 4);
    h.ctl->SetCommID(4);
    h.ctl->SetCommID(4);
    EXPECT_EQ(h.ctl->CommID(), 4);
    EXPECT_EQ(h.container.notifications, (Notes{"CommPort", "CommID", "CommID"}));
    EXPECT_EQ(h.comm->Writes(), (Notes{"set CommPort 4", "set CommID 4", "set CommID 4"}));
}

TEST(PropertiesTest, ComponentErrorsReachTheCaller) {
    Harness h;
    h.comm->Fail("set CommPort", comm::kErrInvalidPortNumber);
    try {
        h.ctl->SetCommPort(99);
        FAIL() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), comm::kErrInvalidPortNumber);
    }
    EXPECT_TRUE(h.container.notifications.empty());
}

TEST(PropertiesTest, InDesignModeTheDataPathChangesNothing) {
    Harness h;
    h.container.userMode = false;
    EXPECT_EQ(h.Open(), 1);  // the port still opens
    EXPECT_TRUE(h.comm->IsOpen());
    EXPECT_EQ(h.ctl->ConnectStatus(), 0);
    h.container.notifications.clear();
    h.Feed(Frame('0', "01234"));
    EXPECT_EQ(h.ctl->ScaleStatus(), 0);
    EXPECT_EQ(h.ctl->RawWtUnits(), 0);
    EXPECT_EQ(h.ctl->RawWt(), "");
    EXPECT_EQ(h.ctl->FormattedWt(), "");
    EXPECT_EQ(*h.ctl->NetWt().R4(), 0.0f);
    EXPECT_TRUE(h.container.notifications.empty());
    // The event itself is still raised, with nothing new to read.
    EXPECT_EQ(h.EventCodes(), (std::vector<std::int16_t>{0}));
}

TEST(PropertiesTest, NetWtUnitsInDesignModeStoresWithoutRecomputing) {
    Harness h;
    h.container.userMode = false;
    h.ctl->SetWtNotification(vnChanged);
    h.ctl->SetNetWtUnits(vnGrams);
    EXPECT_EQ(h.ctl->NetWtUnits(), vnGrams);
    EXPECT_EQ(h.container.raised, 0);
}

TEST(PropertiesTest, RunModeInternalSettersNotifyEveryStoreEvenUnchanged) {
    Harness h;
    h.Open();
    h.Feed(Frame('0', "01234"));
    h.container.notifications.clear();
    h.Feed(Frame('0', "01234"));
    const Notes perFrame = {"ScaleStatus", "RawWtUnits", "RawWt",
                            "FormattedWt", "NetWt",      "ScaleCommEvent"};
    EXPECT_EQ(h.container.notifications, perFrame);
}

TEST(PropertiesTest, UserModeFailureEndsTheSetterAfterTheStore) {
    Harness h;
    h.container.failUserMode = true;
    EXPECT_THROW(h.ctl->SetNetWtUnits(vnOunces), AutomationError);
    EXPECT_EQ(h.ctl->NetWtUnits(), vnPounds);  // UserMode is read before the store
    h.ctl->SetWtNotification(vnChanged);       // does not consult the mode
    EXPECT_EQ(h.ctl->WtNotification(), vnChanged);
}

}  // namespace
}  // namespace varnel::testing
