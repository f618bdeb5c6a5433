// A small automation value: empty, 16/32-bit integer, 32-bit float, double, Boolean or text,
// with the standard conversions between them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace varnel {

// Automation Boolean: True is -1, False is 0; a test for True compares with -1.
using VBool = std::int16_t;
inline constexpr VBool kTrue = -1;
inline constexpr VBool kFalse = 0;

enum class VarType : std::uint8_t { Empty, I2, I4, R4, R8, Bool, Str };

const char* VarTypeName(VarType t);

class Variant {
  public:
    Variant() = default;
    Variant(std::int16_t v) : v_(v) {}
    Variant(std::int32_t v) : v_(v) {}
    Variant(float v) : v_(v) {}
    Variant(double v) : v_(v) {}
    Variant(std::string v) : v_(std::move(v)) {}
    Variant(const char* v) : v_(std::string(v)) {}
    Variant(std::string_view v) : v_(std::string(v)) {}
    static Variant Boolean(bool v) {
        Variant r;
        r.v_ = BoolValue{v};
        return r;
    }

    VarType Type() const { return static_cast<VarType>(v_.index()); }
    bool IsEmpty() const { return Type() == VarType::Empty; }

    // Standard conversions. Text is read as a decimal number with blanks around it allowed;
    // fractions go to the nearest integer, an exact half to the even one (text is rounded once,
    // from its decimal digits). A value outside the
    // destination's range raises overflow (6), a text that is not a number type mismatch (13).
    std::int16_t ToI2() const;
    std::int32_t ToI4() const;
    float ToR4() const;
    double ToR8() const;
    bool ToBool() const;
    VBool ToVBool() const { return ToBool() ? kTrue : kFalse; }
    std::string ToStr() const;
    Variant ConvertTo(VarType t) const;

    // Exact accessors: nullptr when the variant holds another type.
    const std::string* Str() const { return std::get_if<std::string>(&v_); }
    const float* R4() const { return std::get_if<float>(&v_); }

    // Same type and same value.
    friend bool operator==(const Variant& a, const Variant& b) { return a.v_ == b.v_; }

    // Equal as values: numbers and Booleans compare numerically across types, texts as text,
    // Empty equals 0 and the empty text.
    bool ValueEquals(const Variant& other) const;

  private:
    struct BoolValue {
        bool value;
        friend bool operator==(BoolValue a, BoolValue b) { return a.value == b.value; }
    };
    std::variant<std::monostate, std::int16_t, std::int32_t, float, double, BoolValue, std::string>
        v_;
};

// Parses a decimal number (optional sign, digits, optional fraction and exponent) with blanks
// around it allowed. nullopt when the text is not such a number.
std::optional<double> ParseNumber(std::string_view text);
// The same into a 32-bit float, rounded once from the decimal text.
std::optional<float> ParseSingle(std::string_view text);

// The same rounded once, from its decimal digits, to the nearest integer, an exact half to the
// even one ("2.5000000000000001" gives 3). Magnitudes beyond the 64-bit range saturate; `whole`
// tells whether the text was a whole number already.
struct RoundedNumber {
    std::int64_t value = 0;
    bool whole = true;
};
std::optional<RoundedNumber> RoundNumberText(std::string_view text);

// Shortest decimal text that reads back to the same value.
std::string FormatSingle(float v);
std::string FormatDouble(double v);

// Rounds to a 32-bit float, raising overflow (6) for values a float cannot hold.
float ToSingleChecked(double v);

}  // namespace varnel
