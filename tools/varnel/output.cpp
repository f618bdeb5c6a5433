#include "tools/varnel/output.h"

#include "datapath/frame.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace varnel::cli {

bool IsValidWeight(std::int16_t scaleCommEvent, std::int16_t scaleStatus, std::int16_t rawWtUnits) {
    return scaleCommEvent == scale_event::kNewWeight && scaleStatus == 0 &&
           rawWtUnits >= frame::units::kKilograms &&
           rawWtUnits <= frame::units::kPoundsOuncesQuarters;
}

EventRecord EventRecord::From(const Varnel& c, std::string device) {
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
    r.time = TimeNow();
    r.device = std::move(device);
    r.valid = IsValidWeight(r.scaleCommEvent, r.scaleStatus, r.rawWtUnits);
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
    field("t", JsonString(r.time));
    field("device", JsonString(r.device));
    field("event", JsonString(EventName(r.scaleCommEvent)));
    const auto units = NetUnitsShortName(r.netWtUnits);
    field("units", units ? JsonString(*units) : "null");
    field("valid", r.valid ? "true" : "false");
    const auto text = NetWtText(r);
    field("NetWtText", text ? JsonString(*text) : "null");
    s.append("}");
    return s;
}

std::optional<int> NetWtDecimals(std::int16_t rawWtUnits, std::int32_t netWtUnits) {
    // Rows: RawWtUnits 1 (0.01 kg), 2 (0.1 oz), 3 (1 g), 4 (0.25 oz). Columns: lb, kg, g, oz.
    // E.g. 0.1 oz is 0.00625 lb: three decimals; 0.01 kg is 10 g: none.
    static constexpr int kDecimals[4][4] = {{2, 2, 0, 1}, {3, 3, 0, 1}, {3, 3, 0, 2}, {2, 3, 0, 2}};
    if (rawWtUnits < frame::units::kKilograms || rawWtUnits > frame::units::kPoundsOuncesQuarters)
        return std::nullopt;
    if (netWtUnits < vnPounds || netWtUnits > vnOunces) return std::nullopt;
    return kDecimals[rawWtUnits - 1][netWtUnits];
}

std::optional<std::string> NetWtText(const EventRecord& r) {
    if (!r.valid) return std::nullopt;
    const auto decimals = NetWtDecimals(r.rawWtUnits, r.netWtUnits);
    if (!decimals) return std::nullopt;
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<double>(r.netWt),
                                         std::chars_format::fixed, *decimals);
    if (ec != std::errc()) return std::nullopt;
    return std::string(buf, end);
}

std::string OpenErrorJson(const posix::OpenFailure& f) {
    const bool port = f.kind == posix::OpenFailure::Kind::Port;
    return std::string("{\"OpenError\":{\"kind\":\"")
        .append(port ? "port" : "initialiser")
        .append("\",\"device\":")
        .append(JsonString(f.device))
        .append(",\"number\":")
        .append(std::to_string(f.number))
        .append(",\"reason\":")
        .append(JsonString(f.reason))
        .append("}}");
}

std::string OpenErrorText(const posix::OpenFailure& f) {
    const bool port = f.kind == posix::OpenFailure::Kind::Port;
    return std::string(port ? "cannot open the port (error " : "port initialiser failed (code ")
        .append(std::to_string(f.number))
        .append("): ")
        .append(f.reason);
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

std::optional<std::string_view> NetUnitsShortName(std::int32_t units) {
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
            return std::nullopt;
    }
}

std::string NetUnitsName(std::int32_t units) {
    if (auto name = NetUnitsShortName(units)) return std::string(*name);
    return std::string("units ").append(std::to_string(units));
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

std::string Rfc3339(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(when);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>((ms - seconds).count()));
    return buf;
}

std::string TimeNow() {
    // The date and time of day are worked out once a second, as in ClockNow.
    static std::chrono::system_clock::time_point second{};
    static std::string text = Rfc3339(second);
    const auto now =
        std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    if (std::chrono::floor<std::chrono::seconds>(now) != second) {
        second = std::chrono::floor<std::chrono::seconds>(now);
        text = Rfc3339(now);
        return text;
    }
    const auto ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - second).count());
    char* digits = text.data() + text.size() - 4;  // "...SS.mmmZ"
    digits[0] = static_cast<char>('0' + ms / 100);
    digits[1] = static_cast<char>('0' + ms / 10 % 10);
    digits[2] = static_cast<char>('0' + ms % 10);
    return text;
}

}  // namespace varnel::cli
