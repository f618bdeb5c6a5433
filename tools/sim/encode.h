// Building the scale's 10-character frames: STX, status byte, two filler characters, a
// five-character weight field, CR.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnel::sim {

// Layout of the weight field, carried in bits 4-6 of the status byte.
enum class Layout {
    Kilograms,             // 0x20, "dddDD": whole kilograms and hundredths, 0 .. 999.99 kg
    PoundsOuncesTenths,    // 0x30, "LLOOT": pounds, ounces, tenths of an ounce, up to 99 lb 15.9 oz
    Grams,                 // 0x40, "ddddd": grams, 0 .. 99999 g
    PoundsOuncesQuarters,  // 0x50, "LLOOQ": pounds, ounces, quarter ounces "0".."3"
};

// Option names: "kg", "lb-oz-tenths", "g", "lb-oz-quarters".
std::optional<Layout> ParseLayout(std::string_view name);
std::string_view LayoutName(Layout layout);

// The status byte: the layout's bits with the status nibble (0 = valid weight) in bits 0-3.
// Throws std::invalid_argument for a nibble outside 0..15.
char StatusByte(Layout layout, int statusNibble);

// The five-character weight field for a weight in the layout's unit: kilograms, grams, or
// pounds (decimal) for both pound-ounce layouts, which are split into whole pounds, whole ounces
// and tenths or quarters of an ounce. Rounds to the nearest step of the field, halves up (a
// decimal half such as 1.005 kg counts as a half), and clamps to the field's range; negative
// values and NaN give zero.
std::string EncodeWeightField(Layout layout, double weight);

// A whole frame. The field is sent as given whatever the status nibble; filler must be two
// characters. Throws std::invalid_argument for a bad nibble or filler.
std::string EncodeFrame(Layout layout, int statusNibble, double weight,
                        std::string_view filler = "  ");

}  // namespace varnel::sim
