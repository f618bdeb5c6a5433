// What the command-line tool prints for an OnScaleComm event: one JSON object per line, or one
// aligned line for people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/varnel.h"

namespace varnel::cli {

// The properties as the host reads them inside its OnScaleComm handler.
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

    static EventRecord From(const Varnel& control);
};

// A JSON string literal for text whose bytes are single-byte characters (Latin-1).
std::string JsonString(std::string_view text);
// The same escapes without the quotes, for text on a terminal: control characters and bytes from
// 127 up as \u00XX, a backslash as two.
std::string Printable(std::string_view text);

// {"ScaleCommEvent":1,"ScaleStatus":0,...}; NetWt as the shortest decimal that reads back to the
// same 32-bit float.
std::string JsonLine(const EventRecord& r);

// "weight", "status", "lost", "restored" (or the code for any other value).
std::string EventName(std::int16_t scaleCommEvent);
// Units of the weight text for a RawWtUnits code: "kg", "lb:oz", "g", "lb:oz" or "".
std::string_view RawUnitsName(std::int16_t rawWtUnits);
// "lb", "kg", "g", "oz" for the units enum, else "units <n>".
std::string NetUnitsName(std::int32_t netWtUnits);

// "12:00:01.234  weight     012.34 kg       net 27.205 lb"
std::string HumanLine(std::string_view clock, const EventRecord& r);

// Local wall-clock time of day with milliseconds, "HH:MM:SS.mmm".
std::string ClockNow();

}  // namespace varnel::cli
