// Initialising, loading and saving the control's properties through a property bag.
#include <gtest/gtest.h>

#include "control/errors.h"
#include "control/persistence.h"
#include "tests/fakes/harness.h"
#include "tests/fakes/memory_property_bag.h"
#include "tests/support/control_state.h"

namespace varnel::testing {
namespace {

using Notes = std::vector<std::string>;

const Notes kSaveOrder = {"CommID",         "CommPort",   "PortOpen",    "ScaleCommEvent",
                          "RawWtUnits",     "RawWt",      "FormattedWt", "ScaleStatus",
                          "WtNotification", "NetWtUnits", "NetWt",       "ConnectStatus"};
const Notes kLoadOrder = {"CommPort",    "ScaleCommEvent", "RawWtUnits", "RawWt", "FormattedWt",
                          "ScaleStatus", "WtNotification", "NetWtUnits", "NetWt", "ConnectStatus"};

const State kFresh{1, 0, 0, 0, 0, "", "", 0, 0, 0.0f};

// A bag in which every loaded key holds a valid value that differs from its default.
MemoryPropertyBag FullBag() {
    MemoryPropertyBag bag;
    bag.values = {{"CommPort", Variant(std::int16_t{3})},
                  {"ScaleCommEvent", Variant(std::int16_t{1})},
                  {"RawWtUnits", Variant(std::int16_t{3})},
                  {"RawWt", Variant("01250")},
                  {"FormattedWt", Variant("1250 g")},
                  {"ScaleStatus", Variant(std::int16_t{2})},
                  {"WtNotification", Variant(std::int32_t{1})},
                  {"NetWtUnits", Variant(std::int32_t{2})},
                  {"NetWt", Variant(1250.0f)},
                  {"ConnectStatus", Variant(std::int16_t{1})}};
    return bag;
}
const State kFull{3, 1, 3, 2, 1, "01250", "1250 g", 1, 2, 1250.0f};

TEST(PersistenceTest, InitialisingSetsDefaultsWithoutTheHostOrTheComponent) {
    Harness h;
    MemoryPropertyBag bag = FullBag();
    h.ctl->ReadProperties(bag);
    h.comm->accesses.clear();
    h.container.failUserMode = true;  // the host's mode is not consulted
    h.ctl->InitProperties();
    h.container.failUserMode = false;
    EXPECT_EQ(StateOf(*h.ctl), (State{3, 0, 0, 0, 0, "", "", 0, 0, 0.0f}));  // port kept
    EXPECT_TRUE(h.container.notifications.empty());
    EXPECT_EQ(h.comm->accesses, (Notes{"get CommPort"}));  // only StateOf's read
}

TEST(PersistenceTest, AnEmptyBagLoadsTheDefaults) {
    Harness h;
    MemoryPropertyBag bag;
    h.ctl->ReadProperties(bag);
    EXPECT_EQ(StateOf(*h.ctl), kFresh);
    EXPECT_EQ(bag.reads, kLoadOrder);
}

TEST(PersistenceTest, LoadingSetsFieldsDirectlyAndOpensNothing) {
    Harness h;
    MemoryPropertyBag bag = FullBag();
    bag.values["PortOpen"] = Variant::Boolean(true);
    bag.values["CommID"] = Variant(std::int32_t{9});
    h.container.failUserMode = true;
    h.ctl->ReadProperties(bag);
    h.container.failUserMode = false;
    EXPECT_EQ(StateOf(*h.ctl), kFull);
    EXPECT_EQ(bag.reads, kLoadOrder);  // neither CommID nor PortOpen
    EXPECT_EQ(h.comm->Writes(), Notes{"set CommPort 3"});
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_EQ(h.ctl->CommID(), 0);
    EXPECT_TRUE(h.container.notifications.empty());
    EXPECT_EQ(h.container.raised, 0);
    h.clock.Advance(10000);
    EXPECT_EQ(h.watchdog->ticks + h.reconnect->ticks, 0);
    EXPECT_EQ(VarnelProbe::Pounds(*h.ctl), 0.0f);
}

TEST(PersistenceTest, LoadingConvertsAndKeepsValuesOutsideTheEnums) {
    Harness h;
    MemoryPropertyBag bag;
    bag.values = {{"CommPort", Variant(" 4 ")},          {"NetWtUnits", Variant(std::int16_t{9})},
                  {"WtNotification", Variant(-2.5)},     {"NetWt", Variant("0.1")},
                  {"RawWt", Variant(std::int32_t{123})}, {"ConnectStatus", Variant::Boolean(true)}};
    h.ctl->ReadProperties(bag);
    EXPECT_EQ(h.ctl->CommPort(), 4);
    EXPECT_EQ(h.ctl->NetWtUnits(), 9);
    EXPECT_EQ(h.ctl->WtNotification(), -2);
    EXPECT_EQ(*h.ctl->NetWt().R4(), 0.1f);
    EXPECT_EQ(h.ctl->RawWt(), "123");
    EXPECT_EQ(h.ctl->ConnectStatus(), -1);
}

TEST(PersistenceTest, SavingAFreshControlStoresNothingButWritesEveryKeyInOrder) {
    Harness h;
    h.ctl->InitProperties();
    MemoryPropertyBag bag;
    h.ctl->WriteProperties(bag);
    EXPECT_EQ(bag.writes, kSaveOrder);
    EXPECT_TRUE(bag.values.empty());
}

TEST(PersistenceTest, SavedValuesHaveTheirTypes) {
    Harness h;
    h.ctl->SetCommID(5);
    h.ctl->SetCommPort(2);
    h.Open();
    h.Feed(Frame('0', "01234"));
    h.ctl->SetWtNotification(vnChanged);
    h.ctl->SetNetWtUnits(vnKilograms);
    MemoryPropertyBag bag;
    h.ctl->WriteProperties(bag);
    struct Row {
        const char* key;
        VarType type;
    };
    const Row rows[] = {{"CommID", VarType::I4},         {"CommPort", VarType::I2},
                        {"PortOpen", VarType::Bool},     {"ScaleCommEvent", VarType::I2},
                        {"RawWt", VarType::Str},         {"FormattedWt", VarType::Str},
                        {"WtNotification", VarType::I4}, {"NetWtUnits", VarType::I4},
                        {"NetWt", VarType::R4},          {"ConnectStatus", VarType::I2}};
    for (const Row& r : rows) {
        ASSERT_TRUE(bag.values.count(r.key)) << r.key;
        EXPECT_EQ(bag.values[r.key].Type(), r.type) << r.key;
        EXPECT_EQ(persistence::FindSavedKey(r.key)->type, r.type);
    }
    EXPECT_EQ(bag.values["PortOpen"], Variant::Boolean(true));
    EXPECT_EQ(bag.values["CommID"], Variant(std::int32_t{5}));
}

TEST(PersistenceTest, SaveAndLoadRoundTripTheDesignSettingsButNotTheComponentState) {
    Harness a;
    a.container.userMode = false;
    a.ctl->InitProperties();
    a.ctl->SetCommPort(7);
    a.ctl->SetCommID(42);
    a.ctl->SetWtNotification(vnChanged);
    a.ctl->SetNetWtUnits(vnOunces);
    std::int16_t open = kTrue;
    a.ctl->ScaleOpen(open);
    MemoryPropertyBag bag;
    a.ctl->WriteProperties(bag);
    EXPECT_EQ(bag.values.size(), 5u);  // CommID, CommPort, PortOpen, the two enums

    Harness b;
    b.ctl->ReadProperties(bag);
    EXPECT_EQ(StateOf(*b.ctl), (State{7, 0, 0, 0, 0, "", "", 1, 3, 0.0f}));
    EXPECT_EQ(b.ctl->CommID(), 0);
    EXPECT_FALSE(b.comm->IsOpen());
}

TEST(PersistenceTest, ARunningHostSavesAndRestoresTheReadOnlyValues) {
    Harness a;
    a.Open();
    a.ctl->SetNetWtUnits(vnGrams);
    a.Feed(Frame('0', "01234"));
    MemoryPropertyBag bag;
    a.ctl->WriteProperties(bag);

    Harness b;
    b.ctl->ReadProperties(bag);
    EXPECT_EQ(StateOf(*b.ctl), StateOf(*a.ctl));
    EXPECT_EQ(b.ctl->ConnectStatus(), 1);  // while no port is open
    EXPECT_FALSE(b.comm->IsOpen());
    EXPECT_EQ(VarnelProbe::Grams(*b.ctl), 0.0f);  // the converted weights are not saved
    EXPECT_NE(VarnelProbe::Grams(*a.ctl), 0.0f);
}

// One hostile value at each loaded key in turn, all other keys valid: the load fails at that key
// with an error naming it; the keys before it are applied, those after it are not even read.
TEST(PersistenceTest, AHostileValueEndsTheLoadAtItsKey) {
    struct Hostile {
        const char* key;
        Variant value;
        std::int32_t error;
    };
    const std::string huge(1 << 20, '7');
    const Hostile cases[] = {
        {"CommPort", Variant("COM1"), err::kTypeMismatch},
        {"CommPort", Variant(std::int32_t{40000}), err::kOverflow},
        {"ScaleCommEvent", Variant(huge), err::kOverflow},
        {"RawWtUnits", Variant(std::string(1 << 20, 'x')), err::kTypeMismatch},
        {"ScaleStatus", Variant(-32768.6), err::kOverflow},
        {"WtNotification", Variant(3e9), err::kOverflow},
        {"WtNotification", Variant(""), err::kTypeMismatch},
        {"NetWtUnits", Variant("1e10"), err::kOverflow},
        {"NetWt", Variant(1e39), err::kOverflow},
        {"NetWt", Variant("1e39"), err::kOverflow},
        {"NetWt", Variant("12 kg"), err::kTypeMismatch},
        {"ConnectStatus", Variant("--1"), err::kTypeMismatch},
    };
    for (const Hostile& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value.ToStr().substr(0, 20));
        Harness h;
        MemoryPropertyBag bag = FullBag();
        bag.values[c.key] = c.value;
        try {
            h.ctl->ReadProperties(bag);
            ADD_FAILURE() << "no error";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), c.error);
            EXPECT_NE(e.Description().find(std::string("\"") + c.key + "\""), std::string::npos)
                << e.Description();
        }
        ASSERT_EQ(bag.reads.back(), c.key);
        const std::size_t at = bag.reads.size() - 1;
        EXPECT_EQ(bag.reads, Notes(kLoadOrder.begin(), kLoadOrder.begin() + at + 1));
        // Keys before the failing one applied, the rest at their values from creation.
        Harness fresh;
        MemoryPropertyBag partial;
        for (std::size_t i = 0; i < at; ++i)
            partial.values[kLoadOrder[i]] = bag.values[kLoadOrder[i]];
        fresh.ctl->ReadProperties(partial);
        EXPECT_EQ(StateOf(*h.ctl), StateOf(*fresh.ctl));
        EXPECT_FALSE(h.comm->IsOpen());
        EXPECT_TRUE(h.container.notifications.empty());
    }
}

TEST(PersistenceTest, ABagFullOfHostileValuesFailsAtTheFirstKeyAndAppliesNothing) {
    Harness h;
    MemoryPropertyBag bag;
    for (const persistence::SavedKey& k : persistence::kSavedKeys)
        bag.values[k.key] = Variant(std::string(1 << 20, '\xFF'));
    try {
        h.ctl->ReadProperties(bag);
        FAIL() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), err::kTypeMismatch);
        EXPECT_NE(e.Description().find("\"CommPort\""), std::string::npos);
    }
    EXPECT_EQ(bag.reads, Notes{"CommPort"});
    EXPECT_EQ(StateOf(*h.ctl), kFresh);
    EXPECT_TRUE(h.comm->Writes().empty());
}

TEST(PersistenceTest, APortNumberTheComponentRefusesEndsTheLoad) {
    Harness h;
    h.comm->Fail("set CommPort", comm::kErrInvalidPortNumber);
    MemoryPropertyBag bag = FullBag();
    EXPECT_THROW(h.ctl->ReadProperties(bag), AutomationError);
    EXPECT_EQ(bag.reads, Notes{"CommPort"});
    EXPECT_EQ(h.ctl->WtNotification(), vnEverytime);
}

TEST(PersistenceTest, AFailingComponentReadEndsTheSaveAtItsKey) {
    Harness h;
    h.comm->Fail("get PortOpen", 91);
    MemoryPropertyBag bag;
    try {
        h.ctl->WriteProperties(bag);
        FAIL() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 91);
        EXPECT_NE(e.Description().find("\"PortOpen\""), std::string::npos);
    }
    EXPECT_EQ(bag.writes, (Notes{"CommID", "CommPort"}));
}

}  // namespace
}  // namespace varnel::testing
