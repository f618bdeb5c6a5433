// What the command-line tool prints for an OnScaleComm event: one JSON object per line, or one
// aligned line for people.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/varnel.h"
#include "platform/posix/open_failure.h"

namespace varnel::cli {

// The properties as the host reads them inside its OnScaleComm handler, with when and where.
struct EventRecord {
    std::int16_t scaleCommEvent = 0;
    std::int16_t scaleStatus = 0;
    std::int16_t rawWtUnits = 0;
    std::string rawWt;
    std::string formattedWt;
    float netWt = 0.0f;
    std::int32_t netWtUnits = 0;
    std::int32_t wtNotification = 0;
    std::int16_t connectStatus = 0;
    std::string time;    // wall clock, RFC 3339 in UTC with milliseconds (TimeNow)
    std::string device;  // the path the port opens
    // A weight event for a frame that carried a weight: status nibble 0 and a known layout. The
    // control reports "00000" for any other frame; this tells such an event from a real zero.
    bool valid = false;

    static EventRecord From(const Varnel& control, std::string device);
    // The same in place: a record filled again for every event keeps its storage.
    void Fill(const Varnel& control, std::string_view device);
};

// True for a weight event (ScaleCommEvent 1) with ScaleStatus 0 and RawWtUnits 1 to 4.
bool IsValidWeight(std::int16_t scaleCommEvent, std::int16_t scaleStatus, std::int16_t rawWtUnits);

// A JSON string literal for text whose bytes are single-byte characters (Latin-1).
std::string JsonString(std::string_view text);
// The same escapes without the quotes, for text on a terminal: control characters and bytes from
// 127 up as \u00XX, a backslash as two.
std::string Printable(std::string_view text);

// {"ScaleCommEvent":1,"ScaleStatus":0,...,"t":"...","device":"...","event":"weight","units":"kg",
// "valid":true,"NetWtText":"12.34"}; NetWt as the shortest decimal that reads back to the same
// 32-bit float. "units" is null for a NetWtUnits outside the enum, "NetWtText" null unless valid.
std::string JsonLine(const EventRecord& r);

// Decimals of NetWt that the weight's layout carries: one step of the layout (0.01 kg, 0.1 oz,
// 1 g, 0.25 oz) converted into the net units and written to its first significant digit, or to
// the second when that writes it exactly (0.25 oz). nullopt without a layout or known net units.
std::optional<int> NetWtDecimals(std::int16_t rawWtUnits, std::int32_t netWtUnits);
// NetWt with NetWtDecimals decimals ("12.34"), or nullopt.
std::optional<std::string> NetWtText(const EventRecord& r);

// {"OpenError":{"kind":"port"|"initialiser","device":"...","number":8010,"reason":"..."}}
std::string OpenErrorJson(const posix::OpenFailure& f);
// "cannot open the port (error 8010): /dev/ttyUSB0: Permission denied; ..." or
// "port initialiser failed (code 2): /var/lib/varnel/PORTIN16.EXE: still running after ..."
std::string OpenErrorText(const posix::OpenFailure& f);

// "weight", "status", "lost", "restored" (or the code for any other value).
std::string EventName(std::int16_t scaleCommEvent);
// Units of the weight text for a RawWtUnits code: "kg", "lb:oz", "g", "lb:oz" or "".
std::string_view RawUnitsName(std::int16_t rawWtUnits);
// "lb", "kg", "g", "oz" for the units enum, else "units <n>".
std::string NetUnitsName(std::int32_t netWtUnits);
// "lb", "kg", "g", "oz", or nullopt outside the units enum.
std::optional<std::string_view> NetUnitsShortName(std::int32_t netWtUnits);

// "12:00:01.234  weight     012.34 kg       net 27.205 lb"
std::string HumanLine(std::string_view clock, const EventRecord& r);

// Local wall-clock time of day with milliseconds, "HH:MM:SS.mmm".
std::string ClockNow();

// "2024-05-01T12:00:01.234Z": RFC 3339, UTC, milliseconds.
std::string Rfc3339(std::chrono::system_clock::time_point when);
// Rfc3339 of the current time. Like ClockNow, it keeps the last second's text: call both from one
// thread (the event loop's).
std::string TimeNow();

}  // namespace varnel::cli
