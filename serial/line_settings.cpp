#include "serial/line_settings.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace varnel::comm {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<unsigned> ToNumber(std::string_view s) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

std::nullopt_t Fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return std::nullopt;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(std::string_view text, const LineCapabilities& can,
                                              std::string* error) {
    std::vector<std::string_view> f;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        f.push_back(Trim(text.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (f.size() != 4) {
        return Fail(error, "settings must read \"baud,parity,data,stop\", e.g. \"2400,N,8,2\"");
    }
    LineSettings s;
    const auto baud = ToNumber(f[0]);
    if (!baud || std::find(can.bauds.begin(), can.bauds.end(), *baud) == can.bauds.end())
        return Fail(error, "unsupported baud rate \"" + std::string(f[0]) + "\"");
    s.baud = *baud;

    char p = f[1].size() == 1 ? f[1][0] : '?';
    if (p >= 'a' && p <= 'z') p = static_cast<char>(p - 'a' + 'A');
    if (p != 'N' && p != 'E' && p != 'O' && p != 'M' && p != 'S')
        return Fail(error, "parity must be one of N, E, O, M, S");
    s.parity = p;

    const auto data = ToNumber(f[2]);
    if (!data || *data < 5 || *data > 8) return Fail(error, "data bits must be 5, 6, 7 or 8");
    s.dataBits = static_cast<int>(*data);

    if (f[3] == "1") {
        s.stopBits = StopBits::One;
    } else if (f[3] == "2") {
        s.stopBits = StopBits::Two;
    } else if (f[3] == "1.5" && !can.oneAndHalfStopBits) {
        return Fail(error, "1.5 stop bits cannot be set on this system");
    } else if (f[3] == "1.5") {
        if (s.dataBits != 5) return Fail(error, "1.5 stop bits go with 5 data bits only");
        s.stopBits = StopBits::OneAndHalf;
    } else {
        return Fail(error, can.oneAndHalfStopBits ? "stop bits must be 1, 1.5 or 2"
                                                  : "stop bits must be 1 or 2");
    }
    return s;
}

}  // namespace varnel::comm
