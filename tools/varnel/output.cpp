#include "tools/varnel/output.h"

#include "datapath/frame.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace varnel::cli {

bool IsValidWeight(std::int16_t scaleCommEvent, std::int16_t scaleStatus, std::int16_t rawWtUnits) {
    return scaleCommEvent == scale_event::kNewWeight && scaleStatus == 0 &&
           rawWtUnits >= frame::units::kKilograms &&
           rawWtUnits <= frame::units::kPoundsOuncesQuarters;
}

namespace {

// The text TimeNow returns, kept up to date in place.
const std::string& TimeNowText();

}  // namespace

EventRecord EventRecord::From(const Varnel& c, std::string device) {
    EventRecord r;
    r.Fill(c, device);
    return r;
}

void EventRecord::Fill(const Varnel& c, std::string_view where) {
    scaleCommEvent = c.ScaleCommEvent();
    scaleStatus = c.ScaleStatus();
    rawWtUnits = c.RawWtUnits();
    rawWt = c.RawWt();
    formattedWt = c.FormattedWt();
    netWt = *c.NetWt().R4();
    netWtUnits = c.NetWtUnits();
    wtNotification = c.WtNotification();
    connectStatus = c.ConnectStatus();
    time.assign(TimeNowText());
    device.assign(where);
    valid = IsValidWeight(scaleCommEvent, scaleStatus, rawWtUnits);
}

namespace {

// Which bytes stand for themselves inside a JSON string: printable ASCII but " and \\.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c)
        plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

// Writes a line into a buffer sized for the worst case up front, so that nothing is checked or
// reallocated on the way; Finish() cuts the string to what was written.
class LineWriter {
  public:
    LineWriter(std::string& out, std::size_t most) : out_(out) {
        out_.resize(most);
        p_ = out_.data();
    }
    // Room for a string field's text, escaped, with its quotes.
    static std::size_t Room(std::string_view text) { return 6 * text.size() + 2; }

    void Raw(std::string_view text) {
        std::memcpy(p_, text.data(), text.size());
        p_ += text.size();
    }
    void Int(long value) { p_ = std::to_chars(p_, p_ + 24, value).ptr; }
    void Float(float value) { p_ = std::to_chars(p_, p_ + 64, value).ptr; }  // as FormatSingle
    void String(std::string_view text) {
        static constexpr char kHex[] = "0123456789abcdef";
        *p_++ = '"';
        for (const char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            if (kPlain[c]) {
                *p_++ = ch;
            } else if (c == '"' || c == '\\') {
                *p_++ = '\\';
                *p_++ = ch;
            } else {
                const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                Raw(std::string_view(escape, sizeof escape));
            }
        }
        *p_++ = '"';
    }
    void Finish() { out_.resize(static_cast<std::size_t>(p_ - out_.data())); }

  private:
    std::string& out_;
    char* p_;
};

// The text with backslashes and control bytes escaped as in JSON; quotes too when asked.
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
    std::string out;
    LineWriter w(out, LineWriter::Room(text));
    w.String(text);
    w.Finish();
    return out;
}

std::string Printable(std::string_view text) {
    std::string out;
    AppendEscaped(out, text, false);
    return out;
}

std::string JsonLine(const EventRecord& r) {
    // This runs for every event of the monitor: one allocation, with room for the newline that
    // the monitor appends.
    const auto units = NetUnitsShortName(r.netWtUnits);
    const auto text = NetWtText(r);
    const std::string event = EventName(r.scaleCommEvent);
    std::string s;
    LineWriter w(s, 400 + LineWriter::Room(r.rawWt) + LineWriter::Room(r.formattedWt) +
                        LineWriter::Room(r.time) + LineWriter::Room(r.device) +
                        LineWriter::Room(event) + LineWriter::Room(text ? *text : "") +
                        LineWriter::Room(units ? *units : ""));
    w.Raw("{\"ScaleCommEvent\":");
    w.Int(r.scaleCommEvent);
    w.Raw(",\"ScaleStatus\":");
    w.Int(r.scaleStatus);
    w.Raw(",\"RawWtUnits\":");
    w.Int(r.rawWtUnits);
    w.Raw(",\"RawWt\":");
    w.String(r.rawWt);
    w.Raw(",\"FormattedWt\":");
    w.String(r.formattedWt);
    w.Raw(",\"NetWt\":");
    w.Float(r.netWt);
    w.Raw(",\"NetWtUnits\":");
    w.Int(r.netWtUnits);
    w.Raw(",\"WtNotification\":");
    w.Int(r.wtNotification);
    w.Raw(",\"ConnectStatus\":");
    w.Int(r.connectStatus);
    w.Raw(",\"t\":");
    w.String(r.time);
    w.Raw(",\"device\":");
    w.String(r.device);
    w.Raw(",\"event\":");
    w.String(event);
    w.Raw(",\"units\":");
    if (units) {
        w.String(*units);
    } else {
        w.Raw("null");
    }
    w.Raw(r.valid ? ",\"valid\":true" : ",\"valid\":false");
    w.Raw(",\"NetWtText\":");
    if (text) {
        w.String(*text);
    } else {
        w.Raw("null");
    }
    w.Raw("}");
    w.Finish();
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
    // A float times 10^0..10^3 needs at most 34 significant bits, so the product is exact in a
    // double and rounding it to an integer (half to even) rounds the float's exact value as
    // to_chars does, without the tables of its general algorithm.
    static constexpr double kScale[] = {1.0, 10.0, 100.0, 1000.0};
    const double scaled = static_cast<double>(r.netWt) * kScale[*decimals];
    if (std::isfinite(scaled) && std::fabs(scaled) < 1e15) {
        auto units = static_cast<std::uint64_t>(std::fabs(std::nearbyint(scaled)));
        char buf[32];
        char* p = buf + sizeof buf;
        for (int i = 0; i < *decimals; ++i, units /= 10)
            *--p = static_cast<char>('0' + units % 10);
        if (*decimals > 0) *--p = '.';
        do {
            *--p = static_cast<char>('0' + units % 10);
            units /= 10;
        } while (units != 0);
        if (std::signbit(r.netWt)) *--p = '-';
        return std::string(p, buf + sizeof buf);
    }
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

namespace {

const std::string& TimeNowText() {
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

}  // namespace

std::string TimeNow() {
    return TimeNowText();
}

}  // namespace varnel::cli
