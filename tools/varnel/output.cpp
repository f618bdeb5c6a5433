#include "tools/varnel/output.h"

#include "datapath/frame.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace varnel::cli {

EventRecord EventRecord::From(const Varnel& c) {
    EventRecord r;
    r.scaleCommEvent = c.ScaleCommEvent();
    r.scaleStatus = c.ScaleStatus();
    r.rawWtUnits = c.RawWtUnits();
    r.rawWt = c.RawWt();
    r.formattedWt = c.FormattedWt();
    r.netWt = *c.NetWt().R4();
    r.netWtUnits = c.NetWtUnits();
    r.wtNotification = c.WtNotification();
    r.connectStatus = c.ConnectStatus();
    return r;
}

namespace {

void AppendEscaped(std::string& out, std::string_view text, bool quotes) {
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c == '"' && quotes) || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    AppendEscaped(out, text, true);
    out += '"';
    return out;
}

std::string Printable(std::string_view text) {
    std::string out;
    AppendEscaped(out, text, false);
    return out;
}

std::string JsonLine(const EventRecord& r) {
    std::string s;
    s.reserve(200);
    auto field = [&s](const char* key, const std::string& value) {
        s.append(s.empty() ? "{\"" : ",\"").append(key).append("\":").append(value);
    };
    field("ScaleCommEvent", std::to_string(r.scaleCommEvent));
    field("ScaleStatus", std::to_string(r.scaleStatus));
    field("RawWtUnits", std::to_string(r.rawWtUnits));
    field("RawWt", JsonString(r.rawWt));
    field("FormattedWt", JsonString(r.formattedWt));
    field("NetWt", FormatSingle(r.netWt));
    field("NetWtUnits", std::to_string(r.netWtUnits));
    field("WtNotification", std::to_string(r.wtNotification));
    field("ConnectStatus", std::to_string(r.connectStatus));
    s.append("}");
    return s;
}

std::string EventName(std::int16_t code) {
    switch (code) {
        case scale_event::kNewWeight:
            return "weight";
        case scale_event::kStatusChanged:
            return "status";
        case scale_event::kCommLost:
            return "lost";
        case scale_event::kCommRestored:
            return "restored";
        default:
            return std::string("event ").append(std::to_string(code));
    }
}

std::string_view RawUnitsName(std::int16_t units) {
    switch (units) {
        case frame::units::kKilograms:
            return "kg";
        case frame::units::kPoundsOuncesTenths:
        case frame::units::kPoundsOuncesQuarters:
            return "lb:oz";
        case frame::units::kGrams:
            return "g";
        default:
            return "";
    }
}

std::string NetUnitsName(std::int32_t units) {
    switch (units) {
        case vnPounds:
            return "lb";
        case vnKilograms:
            return "kg";
        case vnGrams:
            return "g";
        case vnOunces:
            return "oz";
        default:
            return std::string("units ").append(std::to_string(units));
    }
}

std::string HumanLine(std::string_view clock, const EventRecord& r) {
    std::string name = EventName(r.scaleCommEvent);
    if (r.scaleCommEvent == scale_event::kStatusChanged)
        name += " " + std::to_string(r.scaleStatus);
    std::string weight = Printable(r.formattedWt);  // the bytes of the line, never raw
    if (!weight.empty()) weight += " " + std::string(RawUnitsName(r.rawWtUnits));
    char line[256];
    std::snprintf(line, sizeof line, "%.*s  %-10s  %-16s  net %s %s",
                  static_cast<int>(clock.size()), clock.data(), name.c_str(), weight.c_str(),
                  FormatSingle(r.netWt).c_str(), NetUnitsName(r.netWtUnits).c_str());
    return line;
}

std::string ClockNow() {
    // The broken-down time is worked out once a second; events come up to 22 times a second.
    static std::time_t lastSecond = -1;
    static char hms[16] = "";
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    if (t != lastSecond) {
        std::tm tm{};
        localtime_r(&t, &tm);
        std::snprintf(hms, sizeof hms, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        lastSecond = t;
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s.%03d", hms, static_cast<int>(ms));
    return buf;
}

}  // namespace varnel::cli
