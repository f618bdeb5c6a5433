// Fault option strings and their triggers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/sim/faults.h"

namespace varnel::sim {
namespace {

using namespace std::chrono_literals;
using Trigger = FaultTrigger::Kind;

// The argument that matters for the fault's kind.
long Argument(const Fault& f) {
    switch (f.kind) {
        case FaultKind::Garbage:
            return f.garbageBytes * (f.garbageAnyByte ? -1 : 1);
        case FaultKind::Truncate:
            return f.truncateKeep;
        case FaultKind::Overlong:
            return f.overlongExtra;
        case FaultKind::StxInside:
            return f.stxPosition;
        case FaultKind::Silence:
            return static_cast<long>(f.silence.count());
    }
    return 0;
}

TEST(FaultTest, OptionStringsGiveKindArgumentAndTrigger) {
    const struct {
        const char* option;
        FaultKind kind;
        long argument;  // negative: garbage that may hold STX and CR
        Trigger trigger;
        std::uint64_t frame;
        double seconds;
    } cases[] = {
        {"garbage:8@every:50", FaultKind::Garbage, 8, Trigger::Every, 50, 0.0},
        {"garbage:3:any@at:1", FaultKind::Garbage, -3, Trigger::AtFrame, 1, 0.0},
        {"truncate@at:30", FaultKind::Truncate, 6, Trigger::AtFrame, 30, 0.0},
        {"overlong@every:40", FaultKind::Overlong, 1, Trigger::Every, 40, 0.0},
        {"stx@every:25", FaultKind::StxInside, 6, Trigger::Every, 25, 0.0},
        {"stx:2@every:25", FaultKind::StxInside, 2, Trigger::Every, 25, 0.0},
        {"silence:1500@at:200", FaultKind::Silence, 1500, Trigger::AtFrame, 200, 0.0},
        {"silence:1500@time:4.5", FaultKind::Silence, 1500, Trigger::AtTime, 0, 4.5},
    };
    for (const auto& c : cases) {
        const Fault f = ParseFault(c.option);
        EXPECT_EQ(f.kind, c.kind) << c.option;
        EXPECT_EQ(Argument(f), c.argument) << c.option;
        EXPECT_EQ(f.when.kind, c.trigger) << c.option;
        EXPECT_EQ(f.when.frame, c.frame) << c.option;
        EXPECT_EQ(f.when.seconds, c.seconds) << c.option;
    }
    EXPECT_EQ(FaultName(FaultKind::StxInside), "stx");

    const struct {
        const char* option;
        const char* message;
    } bad[] = {
        {"garbage:8", "missing @every:K, @at:K or @time:T"},
        {"noise@at:1", "unknown fault 'noise' (garbage, truncate, overlong, stx or silence)"},
        {"garbage:8:all@at:1", "expected garbage[:N[:any]]"},
        {"truncate:9@at:1", "characters kept 9 is outside 1..8"},
        {"truncate:2:3@at:1", "too many arguments for truncate"},
        {"overlong:65@at:1", "extra characters 65 is outside 1..64"},
        {"silence@at:1", "expected silence:MS"},
        {"silence:1.5@at:1", "milliseconds '1.5' is not a whole number"},
        {"stx@often:3", "expected @every:K, @at:K or @time:T after the fault"},
        {"stx@every:0", "every:K needs K >= 1"},
        {"stx@at:-2", "frame number '-2' is not a whole number >= 0"},
        {"stx@time:-1", "time must be 0 or more seconds"},
    };
    for (const auto& c : bad) {
        try {
            ParseFault(c.option);
            ADD_FAILURE() << "no error for " << c.option;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "fault '" + std::string(c.option) + "': " + c.message);
        }
    }
}

TEST(FaultTest, TriggersFireOnTheirSlotsOnly) {
    auto firing = [](const FaultTrigger& trigger) {
        std::vector<std::uint64_t> slots;
        for (std::uint64_t n = 0; n < 100; ++n) {
            const auto due = 50ms * static_cast<long>(n);
            if (trigger.Fires(n, due, n == 0 ? -1ns : due - 50ms)) slots.push_back(n);
        }
        return slots;
    };
    using Slots = std::vector<std::uint64_t>;
    EXPECT_EQ(firing({Trigger::Every, 30, 0.0}), (Slots{30, 60, 90}));
    EXPECT_EQ(firing({Trigger::AtFrame, 42, 0.0}), (Slots{42}));
    EXPECT_EQ(firing({Trigger::AtTime, 0, 0.0}), (Slots{0}));
    EXPECT_EQ(firing({Trigger::AtTime, 0, 1.0}), (Slots{20}));    // exactly on slot 20
    EXPECT_EQ(firing({Trigger::AtTime, 0, 1.001}), (Slots{21}));  // the first slot after
}

}  // namespace
}  // namespace varnel::sim
