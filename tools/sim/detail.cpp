#include "tools/sim/detail.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace varnel::sim::detail {

namespace {

template <typename T>
bool FromChars(std::string_view token, T& value) {
    const char* end = token.data() + token.size();
    auto [ptr, ec] = std::from_chars(token.data(), end, value);
    return ec == std::errc{} && ptr == end && !token.empty();
}

std::string Quoted(std::string_view token) {
    return "'" + std::string(token) + "'";
}

}  // namespace

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

void Fail(std::string_view context, std::string_view message) {
    std::string text(context);
    text.append(": ").append(message);
    throw std::invalid_argument(text);
}

double ParseReal(std::string_view token, std::string_view what, std::string_view context) {
    double value = 0.0;
    if (!FromChars(token, value) || !std::isfinite(value))
        Fail(context, std::string(what) + " " + Quoted(token) + " is not a number");
    return value;
}

std::int64_t ParseInteger(std::string_view token, std::string_view what, std::string_view context) {
    std::int64_t value = 0;
    if (!FromChars(token, value))
        Fail(context, std::string(what) + " " + Quoted(token) + " is not a whole number");
    return value;
}

std::uint64_t ParseUnsigned(std::string_view token, std::string_view what,
                            std::string_view context) {
    std::uint64_t value = 0;
    if (!FromChars(token, value))
        Fail(context, std::string(what) + " " + Quoted(token) + " is not a whole number >= 0");
    return value;
}

}  // namespace varnel::sim::detail
