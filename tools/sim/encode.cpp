#include "tools/sim/encode.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "datapath/frame.h"

namespace varnel::sim {

namespace {

struct LayoutInfo {
    Layout layout;
    std::string_view name;
    unsigned char bits;
};

constexpr std::array<LayoutInfo, 4> kLayouts = {{
    {Layout::Kilograms, "kg", 0x20},
    {Layout::PoundsOuncesTenths, "lb-oz-tenths", 0x30},
    {Layout::Grams, "g", 0x40},
    {Layout::PoundsOuncesQuarters, "lb-oz-quarters", 0x50},
}};

const LayoutInfo& InfoOf(Layout layout) {
    for (const auto& info : kLayouts)
        if (info.layout == layout) return info;
    throw std::invalid_argument("unknown weight layout");
}

// The value in steps of the field, rounded to nearest with halves up and clamped to 0..max.
// The small bias makes decimal halves that binary floating point holds just below .5 round up.
std::int64_t Steps(double value, double stepsPerUnit, std::int64_t max) {
    if (!(value > 0.0))  // negative, zero or NaN
        return 0;
    const double scaled = std::floor(value * stepsPerUnit + 0.5 + 1e-7);
    if (scaled >= static_cast<double>(max)) return max;
    return static_cast<std::int64_t>(scaled);
}

void AppendDigits(std::string& out, std::int64_t value, int width) {
    std::string digits(static_cast<std::size_t>(width), '0');
    for (int i = width - 1; i >= 0 && value > 0; --i, value /= 10)
        digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    out += digits;
}

// Pounds split into LL, OO and a fraction digit counting 1/perOunce ounces.
std::string PoundsOunces(double pounds, int perOunce) {
    const std::int64_t perPound = 16 * perOunce;
    const std::int64_t total = Steps(pounds, static_cast<double>(perPound), 100 * perPound - 1);
    std::string field;
    AppendDigits(field, total / perPound, 2);
    AppendDigits(field, total % perPound / perOunce, 2);
    AppendDigits(field, total % perOunce, 1);
    return field;
}

}  // namespace

std::optional<Layout> ParseLayout(std::string_view name) {
    for (const auto& info : kLayouts)
        if (info.name == name) return info.layout;
    return std::nullopt;
}

std::string_view LayoutName(Layout layout) {
    return InfoOf(layout).name;
}

char StatusByte(Layout layout, int statusNibble) {
    if (statusNibble < 0 || statusNibble > 15)
        throw std::invalid_argument("status " + std::to_string(statusNibble) + " is outside 0..15");
    return static_cast<char>(InfoOf(layout).bits | statusNibble);
}

std::string EncodeWeightField(Layout layout, double weight) {
    std::string field;
    switch (layout) {
        case Layout::Kilograms:
            AppendDigits(field, Steps(weight, 100.0, 99999), 5);
            break;
        case Layout::Grams:
            AppendDigits(field, Steps(weight, 1.0, 99999), 5);
            break;
        case Layout::PoundsOuncesTenths:
            field = PoundsOunces(weight, 10);
            break;
        case Layout::PoundsOuncesQuarters:
            field = PoundsOunces(weight, 4);
            break;
    }
    return field;
}

std::string EncodeFrame(Layout layout, int statusNibble, double weight, std::string_view filler) {
    if (filler.size() != 2)
        throw std::invalid_argument("filler must be two characters, not " +
                                    std::to_string(filler.size()));
    std::string frame;
    frame.reserve(frame::kLength);
    frame += frame::kSTX;
    frame += StatusByte(layout, statusNibble);
    frame += filler;
    frame += EncodeWeightField(layout, weight);
    frame += frame::kCR;
    return frame;
}

}  // namespace varnel::sim
