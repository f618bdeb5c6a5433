#include "control/variant.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "control/errors.h"

namespace varnel {

void ThrowOverflow() {
    throw AutomationError(err::kOverflow, "Overflow");
}
void ThrowTypeMismatch() {
    throw AutomationError(err::kTypeMismatch, "Type mismatch");
}

const char* VarTypeName(VarType t) {
    switch (t) {
        case VarType::Empty:
            return "Empty";
        case VarType::I2:
            return "Integer";
        case VarType::I4:
            return "Long";
        case VarType::R4:
            return "Single";
        case VarType::R8:
            return "Double";
        case VarType::Bool:
            return "Boolean";
        case VarType::Str:
            return "String";
    }
    return "?";
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

struct NumberText {
    std::string_view body;  // without blanks and without a leading '+'
    bool negative = false;
    long magnitude = 0;  // decimal exponent of the leading non-zero digit
};

// Checks the decimal-number shape: optional sign, digits with an optional fraction, an optional
// exponent, at least one digit.
std::optional<NumberText> ScanNumber(std::string_view text) {
    NumberText n;
    std::string_view s = Trim(text);
    n.body = s;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        n.negative = s.front() == '-';
        if (s.front() == '+') n.body.remove_prefix(1);
        s.remove_prefix(1);
    }
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    std::size_t digits = 0;
    long firstNonZero = 0;
    bool seenNonZero = false;
    long position = 0;  // digits before the decimal point counted up, after it counted down
    for (; i < s.size() && isDigit(s[i]); ++i, ++digits) {
        if (seenNonZero || s[i] != '0') {
            if (!seenNonZero) seenNonZero = true;
            ++position;
        }
    }
    firstNonZero = position - 1;
    if (i < s.size() && s[i] == '.') {
        ++i;
        long fraction = 0;
        for (; i < s.size() && isDigit(s[i]); ++i, ++digits) {
            --fraction;
            if (!seenNonZero && s[i] != '0') {
                seenNonZero = true;
                firstNonZero = fraction;
            }
        }
    }
    if (digits == 0) return std::nullopt;
    long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negExp = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negExp = s[i++] == '-';
        std::size_t expDigits = 0;
        for (; i < s.size() && isDigit(s[i]); ++i, ++expDigits) {
            if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
        }
        if (expDigits == 0) return std::nullopt;
        if (negExp) exponent = -exponent;
    }
    if (i != s.size()) return std::nullopt;
    n.magnitude = seenNonZero ? firstNonZero + exponent : 0;
    return n;
}

template <typename T>
std::optional<T> ParseAs(std::string_view text) {
    auto n = ScanNumber(text);
    if (!n) return std::nullopt;
    T value{};
    const char* first = n->body.data();
    const char* last = first + n->body.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
        // Too large reads as an infinity, so that the caller's range check raises overflow;
        // too small reads as zero.
        if (n->magnitude < 0) return n->negative ? -T{0} : T{0};
        return n->negative ? -std::numeric_limits<T>::infinity()
                           : std::numeric_limits<T>::infinity();
    }
    if (ec != std::errc() || ptr != last) return std::nullopt;
    return value;
}

template <typename Int>
Int InRange(std::int64_t v) {
    if (v < std::numeric_limits<Int>::min() || v > std::numeric_limits<Int>::max()) ThrowOverflow();
    return static_cast<Int>(v);
}

template <typename Int>
Int RoundChecked(double v) {
    if (std::isnan(v)) ThrowOverflow();
    double r = std::nearbyint(v);  // the default rounding mode rounds a half to even
    if (r < static_cast<double>(std::numeric_limits<Int>::min()) ||
        r > static_cast<double>(std::numeric_limits<Int>::max())) {
        ThrowOverflow();
    }
    return static_cast<Int>(r);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::optional<double> ParseNumber(std::string_view text) {
    return ParseAs<double>(text);
}
std::optional<float> ParseSingle(std::string_view text) {
    return ParseAs<float>(text);
}

std::optional<RoundedNumber> RoundNumberText(std::string_view text) {
    const auto n = ScanNumber(text);
    if (!n) return std::nullopt;
    // The digits without sign, point and exponent, and where the point falls among them.
    std::string digits;
    long point = 0;
    long exponent = 0;
    bool inFraction = false;
    std::string_view s = n->body;
    if (!s.empty() && s.front() == '-') s.remove_prefix(1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.') {
            inFraction = true;
        } else if (c == 'e' || c == 'E') {
            // ScanNumber checked the shape; its magnitude bound keeps this from overflowing.
            bool negative = false;
            std::size_t j = i + 1;
            if (s[j] == '+' || s[j] == '-') negative = s[j++] == '-';
            for (; j < s.size(); ++j) {
                if (exponent < 100000) exponent = exponent * 10 + (s[j] - '0');
            }
            if (negative) exponent = -exponent;
            break;
        } else {
            if (!digits.empty() || c != '0') digits += c;
            if (!inFraction && !digits.empty()) ++point;
            if (inFraction && digits.empty()) --point;
        }
    }
    point += exponent;

    RoundedNumber r;
    if (digits.empty()) return r;  // zero
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t whole = 0;
    bool saturated = point > 19;
    for (long i = 0; i < point && !saturated; ++i) {
        const unsigned d = i < static_cast<long>(digits.size()) ? digits[i] - '0' : 0u;
        if (whole > (kMax - d) / 10) saturated = true;
        whole = whole * 10 + d;
    }
    if (saturated) {
        r.value = n->negative ? std::numeric_limits<std::int64_t>::min()
                              : std::numeric_limits<std::int64_t>::max();
        return r;
    }
    // The fraction: the digits after the point, with the zeros between point and first digit.
    const std::string_view rest = point >= static_cast<long>(digits.size())
                                      ? std::string_view()
                                      : std::string_view(digits).substr(point > 0 ? point : 0);
    const long zeros = point < 0 ? -point : 0;
    r.whole = zeros == 0 && rest.find_first_not_of('0') == std::string_view::npos;
    if (!r.whole) {
        // Up above one half, to even at exactly one half.
        const char first = zeros > 0 ? '0' : rest.front();
        const bool moreAfterFirst = rest.find_first_not_of('0', 1) != std::string_view::npos;
        if (first > '5' || (first == '5' && (moreAfterFirst || whole % 2 == 1))) ++whole;
    }
    if (whole > kMax) whole = kMax;
    r.value = n->negative ? -static_cast<std::int64_t>(whole) : static_cast<std::int64_t>(whole);
    return r;
}

float ToSingleChecked(double v) {
    if (std::isnan(v) || std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
        ThrowOverflow();
    }
    return static_cast<float>(v);
}

std::string FormatSingle(float v) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

std::string FormatDouble(double v) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

double Variant::ToR8() const {
    switch (Type()) {
        case VarType::Empty:
            return 0.0;
        case VarType::I2:
            return std::get<std::int16_t>(v_);
        case VarType::I4:
            return std::get<std::int32_t>(v_);
        case VarType::R4:
            return std::get<float>(v_);
        case VarType::R8:
            return std::get<double>(v_);
        case VarType::Bool:
            return std::get<BoolValue>(v_).value ? -1.0 : 0.0;
        case VarType::Str: {
            const std::string& s = std::get<std::string>(v_);
            if (auto n = ParseNumber(s)) {
                if (std::isinf(*n)) ThrowOverflow();
                return *n;
            }
            std::string_view t = Trim(s);
            if (EqualsIgnoreCase(t, "True")) return -1.0;
            if (EqualsIgnoreCase(t, "False")) return 0.0;
            ThrowTypeMismatch();
        }
    }
    ThrowTypeMismatch();
}

std::int16_t Variant::ToI2() const {
    if (Type() == VarType::I2) return std::get<std::int16_t>(v_);
    if (const std::string* s = Str()) {
        if (auto r = RoundNumberText(*s)) return InRange<std::int16_t>(r->value);
    }
    return RoundChecked<std::int16_t>(ToR8());
}

std::int32_t Variant::ToI4() const {
    if (Type() == VarType::I4) return std::get<std::int32_t>(v_);
    if (const std::string* s = Str()) {
        if (auto r = RoundNumberText(*s)) return InRange<std::int32_t>(r->value);
    }
    return RoundChecked<std::int32_t>(ToR8());
}

float Variant::ToR4() const {
    if (Type() == VarType::R4) return std::get<float>(v_);
    if (Type() == VarType::Str) {
        // Round the decimal text once, straight to single precision.
        if (auto f = ParseSingle(std::get<std::string>(v_))) {
            if (std::isinf(*f)) ThrowOverflow();
            return *f;
        }
    }
    return ToSingleChecked(ToR8());
}

bool Variant::ToBool() const {
    if (Type() == VarType::Bool) return std::get<BoolValue>(v_).value;
    return ToR8() != 0.0;
}

std::string Variant::ToStr() const {
    switch (Type()) {
        case VarType::Empty:
            return {};
        case VarType::I2:
            return std::to_string(std::get<std::int16_t>(v_));
        case VarType::I4:
            return std::to_string(std::get<std::int32_t>(v_));
        case VarType::R4:
            return FormatSingle(std::get<float>(v_));
        case VarType::R8:
            return FormatDouble(std::get<double>(v_));
        case VarType::Bool:
            return std::get<BoolValue>(v_).value ? "True" : "False";
        case VarType::Str:
            return std::get<std::string>(v_);
    }
    return {};
}

Variant Variant::ConvertTo(VarType t) const {
    switch (t) {
        case VarType::Empty:
            return Variant();
        case VarType::I2:
            return Variant(ToI2());
        case VarType::I4:
            return Variant(ToI4());
        case VarType::R4:
            return Variant(ToR4());
        case VarType::R8:
            return Variant(ToR8());
        case VarType::Bool:
            return Boolean(ToBool());
        case VarType::Str:
            return Variant(ToStr());
    }
    ThrowTypeMismatch();
}

bool Variant::ValueEquals(const Variant& other) const {
    const bool textA = Type() == VarType::Str;
    const bool textB = other.Type() == VarType::Str;
    if (textA || textB) {
        if (textA && textB) return *Str() == *other.Str();
        // Empty equals the empty text; a text never equals a number here.
        if (IsEmpty() || other.IsEmpty()) return ToStr() == other.ToStr();
        return false;
    }
    return ToR8() == other.ToR8();
}

}  // namespace varnel
