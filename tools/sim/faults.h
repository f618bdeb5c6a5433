// Faults the simulated scale can put on the line, and when.
//
// Frame slots are numbered from 0; slot n is due at n times the frame period.
//
// Option strings (ParseFault): KIND[:ARGS]@WHEN
//   garbage[:N[:any]]   N random bytes (default 8) written half a period after the slot's frame;
//                       never STX or CR unless "any" is given
//   truncate[:N]        the slot's frame cut to its first N characters (1..8, default 6), then CR
//   overlong[:N]        N characters "0" (1..64, default 1) inserted before the frame's CR
//   stx[:P]             the character at position P (counted from 1, 2..9, default 6) becomes STX;
//                       the frame keeps its 10 characters
//   silence:MS          nothing at all for MS milliseconds from the slot's time (slots that fall
//                       inside are not sent; the script still advances)
// WHEN:
//   every:K             slots K, 2K, 3K, ... (K >= 1)
//   at:K                slot K only
//   time:T              the first slot at or after T seconds
// Examples: garbage:8@every:50, truncate@at:30, silence:1500@time:4.5.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace varnel::sim {

enum class FaultKind { Garbage, Truncate, Overlong, StxInside, Silence };

std::string_view FaultName(FaultKind kind);  // "garbage", "truncate", ...

struct FaultTrigger {
    enum class Kind { Every, AtFrame, AtTime };
    Kind kind = Kind::AtFrame;
    std::uint64_t frame = 0;  // K for Every (>= 1) and AtFrame
    double seconds = 0.0;     // T for AtTime

    // Whether the trigger fires on slot n, due at `slot`, with the previous slot due at
    // `previous` (negative for slot 0).
    bool Fires(std::uint64_t n, std::chrono::nanoseconds slot,
               std::chrono::nanoseconds previous) const;
};

struct Fault {
    FaultKind kind = FaultKind::Garbage;
    FaultTrigger when;
    int garbageBytes = 8;
    bool garbageAnyByte = false;  // STX and CR allowed among the garbage
    int truncateKeep = 6;         // characters before the CR
    int overlongExtra = 1;        // characters added before the CR
    int stxPosition = 6;          // position from 1
    std::chrono::milliseconds silence{1000};
};

// Parses a fault option string (format above); throws std::invalid_argument naming the fault.
Fault ParseFault(std::string_view option);

}  // namespace varnel::sim
