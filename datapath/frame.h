// The scale's frame and the arithmetic on it, free of any state.
//
// A frame is 10 characters: STX, status byte, two characters not interpreted, a five-character
// weight field, CR. The status byte carries the status nibble (bits 0-3, 0 = valid weight) and
// the layout of the weight field (bits 4-6).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::frame {

inline constexpr char kSTX = 2;
inline constexpr char kCR = 13;
inline constexpr std::size_t kLength = 10;
inline constexpr std::size_t kWeightPos = 4;  // zero-based start of the weight field
inline constexpr std::size_t kWeightLen = 5;
inline constexpr const char* kInvalidWeight = "00000";

// RawWtUnits codes: the layout of the weight field.
namespace units {
inline constexpr std::int16_t kNone = 0;
inline constexpr std::int16_t kKilograms = 1;             // ddd.dd kilograms
inline constexpr std::int16_t kPoundsOuncesTenths = 2;    // LL:OO.T
inline constexpr std::int16_t kGrams = 3;                 // ddddd grams
inline constexpr std::int16_t kPoundsOuncesQuarters = 4;  // LL:OO and a quarter-ounce digit
}  // namespace units

// Conversion constants; each direction has its own, neither is derived from the other.
inline constexpr double kKgToGrams = 1000.0;
inline constexpr double kGramsToKg = 0.001;
inline constexpr double kKgToPounds = 2.20462;
inline constexpr double kPoundsToKg = 0.4535929;
inline constexpr double kPoundsToOunces = 16.0;
inline constexpr double kOuncesToPounds = 0.0625;
inline constexpr double kTenthOunce = 0.1;

struct Status {
    std::int16_t status;  // ScaleStatus
    std::int16_t units;   // RawWtUnits
};
Status DecodeStatus(unsigned char statusByte);

// The weight field as RawWt: the five characters unchanged for status 0, else "00000".
std::string_view RawWeightField(std::int16_t status, std::string_view frame);

struct QuarterOunce {
    const char* suffix;
    float fraction;
};
QuarterOunce QuarterOunceOf(std::string_view digit);

// FormattedWt for a units code; nullopt for a code that has no layout (nothing changes then).
std::optional<std::string> FormatRawWt(std::int16_t units, std::string_view rawWt);

struct Weights {
    float pounds = 0.0f;
    float kilograms = 0.0f;
    float grams = 0.0f;
    float ounces = 0.0f;
};
// The weight in all four units. Each product is formed in double precision from its operands
// and rounded to float; the next step works on the rounded value. Raises type mismatch for a
// field that does not read as numbers, overflow for a value a float cannot hold. Code 0 gives
// zeros. Only call it for codes FormatRawWt accepts.
Weights ConvertWeights(std::int16_t units, std::string_view rawWt);

// The weight NetWtUnits selects; nullopt for a value outside the units enum.
std::optional<float> SelectWeight(std::int32_t netWtUnits, const Weights& w);

// Characters start..start+length-1 of text, counted from 1; shorter when text ends first.
std::string_view Mid(std::string_view text, std::size_t start, std::size_t length);

}  // namespace varnel::frame
