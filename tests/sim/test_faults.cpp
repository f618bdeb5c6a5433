// Fault option strings and their triggers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tools/sim/faults.h"

namespace varnel::sim {
namespace {

using namespace std::chrono_literals;
using Trigger = FaultTrigger::Kind;

TEST(FaultTest, OptionStringsGiveKindArgumentsAndTrigger) {
    struct Case {
        const char* option;
        FaultKind kind;
        Trigger trigger;
        std::uint64_t frame;
        double seconds;
    };
    const Case cases[] = {
        {"garbage:8@every:50", FaultKind::Garbage, Trigger::Every, 50, 0.0},
        {"garbage@at:0", FaultKind::Garbage, Trigger::AtFrame, 0, 0.0},
        {"truncate@at:30", FaultKind::Truncate, Trigger::AtFrame, 30, 0.0},
        {"overlong@every:40", FaultKind::Overlong, Trigger::Every, 40, 0.0},
        {"stx@every:25", FaultKind::StxInside, Trigger::Every, 25, 0.0},
        {"silence:1500@at:200", FaultKind::Silence, Trigger::AtFrame, 200, 0.0},
        {"silence:1500@time:4.5", FaultKind::Silence, Trigger::AtTime, 0, 4.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const Fault f = ParseFault(c.option);
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.when.kind, c.trigger);
        EXPECT_EQ(f.when.frame, c.frame);
        EXPECT_EQ(f.when.seconds, c.seconds);
    }

    // Defaults and arguments.
    EXPECT_EQ(ParseFault("garbage@at:1").garbageBytes, 8);
    EXPECT_FALSE(ParseFault("garbage:3@at:1").garbageAnyByte);
    EXPECT_EQ(ParseFault("garbage:3:any@at:1").garbageBytes, 3);
    EXPECT_TRUE(ParseFault("garbage:3:any@at:1").garbageAnyByte);
    EXPECT_EQ(ParseFault("truncate@at:1").truncateKeep, 6);
    EXPECT_EQ(ParseFault("truncate:1@at:1").truncateKeep, 1);
    EXPECT_EQ(ParseFault("overlong@at:1").overlongExtra, 1);
    EXPECT_EQ(ParseFault("overlong:64@at:1").overlongExtra, 64);
    EXPECT_EQ(ParseFault("stx@at:1").stxPosition, 6);
    EXPECT_EQ(ParseFault("stx:2@at:1").stxPosition, 2);
    EXPECT_EQ(ParseFault("silence:1500@at:1").silence, 1500ms);
    EXPECT_EQ(FaultName(ParseFault("stx@at:1").kind), "stx");
}

TEST(FaultTest, BadOptionStringsNameWhatIsWrong) {
    const struct {
        const char* option;
        const char* message;
    } cases[] = {
        {"garbage:8", "missing @every:K, @at:K or @time:T"},
        {"noise@at:1", "unknown fault 'noise'"},
        {"@at:1", "unknown fault ''"},
        {"garbage:0@at:1", "byte count 0 is outside 1..4096"},
        {"garbage:x@at:1", "byte count 'x' is not a whole number"},
        {"garbage:8:all@at:1", "expected garbage[:N[:any]]"},
        {"garbage:8:any:1@at:1", "too many arguments for garbage"},
        {"truncate:9@at:1", "characters kept 9 is outside 1..8"},
        {"truncate:0@at:1", "characters kept 0 is outside 1..8"},
        {"truncate:2:3@at:1", "too many arguments for truncate"},
        {"overlong:65@at:1", "extra characters 65 is outside 1..64"},
        {"stx:1@at:1", "position 1 is outside 2..9"},
        {"stx:10@at:1", "position 10 is outside 2..9"},
        {"silence@at:1", "expected silence:MS"},
        {"silence:0@at:1", "milliseconds 0 is outside"},
        {"silence:1.5@at:1", "milliseconds '1.5' is not a whole number"},
        {"stx@", "expected @every:K, @at:K or @time:T"},
        {"stx@every", "expected @every:K, @at:K or @time:T"},
        {"stx@often:3", "expected @every:K, @at:K or @time:T"},
        {"stx@every:0", "every:K needs K >= 1"},
        {"stx@every:-2", "frame count '-2' is not a whole number"},
        {"stx@at:3.5", "frame number '3.5' is not a whole number"},
        {"stx@time:-1", "time must be 0 or more seconds"},
        {"stx@time:soon", "time 'soon' is not a number"},
        {"stx@at:1:2", "expected @every:K, @at:K or @time:T"},
    };
    for (const auto& c : cases) {
        try {
            ParseFault(c.option);
            ADD_FAILURE() << "no error for " << c.option;
        } catch (const std::invalid_argument& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(c.message), std::string::npos) << c.option << ": " << message;
            EXPECT_NE(message.find("fault '" + std::string(c.option) + "'"), std::string::npos)
                << message;
        }
    }
}

TEST(FaultTest, TriggersFireOnTheirSlotsOnly) {
    const auto period = 50ms;
    auto firing = [&](const FaultTrigger& trigger) {
        std::vector<std::uint64_t> slots;
        for (std::uint64_t n = 0; n < 100; ++n) {
            const auto due = period * static_cast<long>(n);
            if (trigger.Fires(n, due, n == 0 ? -1ns : due - period))
                slots.push_back(n);
        }
        return slots;
    };
    using Slots = std::vector<std::uint64_t>;
    EXPECT_EQ(firing({Trigger::Every, 30, 0.0}), (Slots{30, 60, 90}));
    EXPECT_EQ(firing({Trigger::Every, 1, 0.0}).size(), 99u);
    EXPECT_EQ(firing({Trigger::AtFrame, 0, 0.0}), (Slots{0}));
    EXPECT_EQ(firing({Trigger::AtFrame, 42, 0.0}), (Slots{42}));
    EXPECT_EQ(firing({Trigger::AtTime, 0, 0.0}), (Slots{0}));
    EXPECT_EQ(firing({Trigger::AtTime, 0, 1.0}), (Slots{20}));    // exactly on slot 20
    EXPECT_EQ(firing({Trigger::AtTime, 0, 1.001}), (Slots{21}));  // the first slot after
    EXPECT_EQ(firing({Trigger::AtTime, 0, 99.0}), (Slots{}));
}

}  // namespace
}  // namespace varnel::sim
