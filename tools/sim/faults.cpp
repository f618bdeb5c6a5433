#include "tools/sim/faults.h"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "tools/sim/detail.h"

namespace varnel::sim {

namespace {

constexpr std::array<std::string_view, 5> kNames = {"garbage", "truncate", "overlong", "stx",
                                                    "silence"};

using detail::Fail;

int Bounded(std::string_view token, std::string_view what, std::int64_t lo, std::int64_t hi,
            std::string_view context) {
    const auto value = detail::ParseInteger(token, what, context);
    if (value < lo || value > hi)
        Fail(context, std::string(what) + " " + std::string(token) + " is outside " +
                          std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<int>(value);
}

FaultTrigger ParseTrigger(std::string_view text, std::string_view context) {
    const auto parts = detail::Split(text, ':');
    const auto form = "expected @every:K, @at:K or @time:T after the fault";
    if (parts.size() != 2) Fail(context, form);
    FaultTrigger trigger;
    if (parts[0] == "every") {
        trigger.kind = FaultTrigger::Kind::Every;
        trigger.frame = detail::ParseUnsigned(parts[1], "frame count", context);
        if (trigger.frame == 0) Fail(context, "every:K needs K >= 1");
    } else if (parts[0] == "at") {
        trigger.kind = FaultTrigger::Kind::AtFrame;
        trigger.frame = detail::ParseUnsigned(parts[1], "frame number", context);
    } else if (parts[0] == "time") {
        trigger.kind = FaultTrigger::Kind::AtTime;
        trigger.seconds = detail::ParseReal(parts[1], "time", context);
        if (trigger.seconds < 0.0) Fail(context, "time must be 0 or more seconds");
    } else {
        Fail(context, form);
    }
    return trigger;
}

}  // namespace

std::string_view FaultName(FaultKind kind) {
    return kNames[static_cast<std::size_t>(kind)];
}

bool FaultTrigger::Fires(std::uint64_t n, std::chrono::nanoseconds slot,
                         std::chrono::nanoseconds previous) const {
    switch (kind) {
        case Kind::Every:
            return n > 0 && n % frame == 0;
        case Kind::AtFrame:
            return n == frame;
        case Kind::AtTime: {
            if (!(seconds < 9e9))  // beyond what nanosecond offsets hold: never
                return false;
            const std::chrono::nanoseconds due(std::llround(seconds * 1e9));
            return slot >= due && previous < due;
        }
    }
    return false;
}

Fault ParseFault(std::string_view option) {
    const std::string context = "fault '" + std::string(option) + "'";
    const auto at = option.find('@');
    if (at == std::string_view::npos) Fail(context, "missing @every:K, @at:K or @time:T");
    const auto head = detail::Split(option.substr(0, at), ':');
    const auto args = std::vector<std::string_view>(head.begin() + 1, head.end());

    Fault fault;
    std::size_t maxArgs = 1;
    if (head[0] == "garbage") {
        fault.kind = FaultKind::Garbage;
        maxArgs = 2;
        if (!args.empty()) fault.garbageBytes = Bounded(args[0], "byte count", 1, 4096, context);
        if (args.size() == 2) {
            if (args[1] != "any") Fail(context, "expected garbage[:N[:any]]");
            fault.garbageAnyByte = true;
        }
    } else if (head[0] == "truncate") {
        fault.kind = FaultKind::Truncate;
        if (!args.empty()) fault.truncateKeep = Bounded(args[0], "characters kept", 1, 8, context);
    } else if (head[0] == "overlong") {
        fault.kind = FaultKind::Overlong;
        if (!args.empty())
            fault.overlongExtra = Bounded(args[0], "extra characters", 1, 64, context);
    } else if (head[0] == "stx") {
        fault.kind = FaultKind::StxInside;
        if (!args.empty()) fault.stxPosition = Bounded(args[0], "position", 2, 9, context);
    } else if (head[0] == "silence") {
        fault.kind = FaultKind::Silence;
        if (args.size() != 1) Fail(context, "expected silence:MS");
        fault.silence =
            std::chrono::milliseconds(Bounded(args[0], "milliseconds", 1, 86'400'000, context));
    } else {
        Fail(context, "unknown fault '" + std::string(head[0]) +
                          "' (garbage, truncate, overlong, stx or silence)");
    }
    if (args.size() > maxArgs) Fail(context, "too many arguments for " + std::string(head[0]));
    fault.when = ParseTrigger(option.substr(at + 1), context);
    return fault;
}

}  // namespace varnel::sim
