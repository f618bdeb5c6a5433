#include "datapath/frame.h"

#include <cmath>

#include "control/errors.h"
#include "control/variant.h"

namespace varnel::frame {

namespace {

// Parses a part of the weight field into a float.
float ParseWeight(std::string_view text) {
    auto value = ParseSingle(text);
    if (!value) ThrowTypeMismatch();
    if (std::isinf(*value)) ThrowOverflow();
    return *value;
}

}  // namespace

Status DecodeStatus(unsigned char statusByte) {
    static constexpr std::int16_t kUnitsByBits[8] = {
        units::kNone,      units::kNone,
        units::kKilograms, units::kPoundsOuncesTenths,
        units::kGrams,     units::kPoundsOuncesQuarters,
        units::kNone,      units::kNone};
    return Status{static_cast<std::int16_t>(statusByte & 0x0F),
                  kUnitsByBits[(statusByte & 0x70) >> 4]};
}

std::string_view RawWeightField(std::int16_t status, std::string_view frame) {
    if (status != 0) return kInvalidWeight;
    return Mid(frame, kWeightPos + 1, kWeightLen);
}

QuarterOunce QuarterOunceOf(std::string_view digit) {
    if (digit == "0") return {"", 0.0f};
    if (digit == "1") return {"-1/4", 0.25f};
    if (digit == "2") return {"-1/2", 0.5f};
    if (digit == "3") return {"-3/4", 0.75f};
    return {"", 0.0f};
}

std::string_view Mid(std::string_view text, std::size_t start, std::size_t length) {
    if (start == 0 || start > text.size()) return {};
    return text.substr(start - 1, length);
}

std::optional<std::string> FormatRawWt(std::int16_t units, std::string_view raw) {
    std::string text;
    switch (units) {
        case units::kNone:
            return text;
        case units::kKilograms:
            text.append(Mid(raw, 1, 3)).append(".").append(Mid(raw, 4, 2));
            return text;
        case units::kPoundsOuncesTenths:
            text.append(Mid(raw, 1, 2)).append(":").append(Mid(raw, 3, 2));
            text.append(".").append(Mid(raw, 5, 1));
            return text;
        case units::kGrams:
            text.assign(raw);
            return text;
        case units::kPoundsOuncesQuarters:
            text.append(Mid(raw, 1, 2)).append(":").append(Mid(raw, 3, 2));
            text.append(QuarterOunceOf(Mid(raw, 5, 1)).suffix);
            return text;
        default:
            return std::nullopt;
    }
}

Weights ConvertWeights(std::int16_t units, std::string_view raw) {
    Weights w;
    switch (units) {
        case units::kKilograms: {
            std::string kg;
            kg.append(Mid(raw, 1, 3)).append(".").append(Mid(raw, 4, 2));
            w.kilograms = ParseWeight(kg);
            w.grams = ToSingleChecked(w.kilograms * kKgToGrams);
            w.pounds = ToSingleChecked(w.kilograms * kKgToPounds);
            w.ounces = ToSingleChecked(w.pounds * kPoundsToOunces);
            break;
        }
        case units::kGrams:
            w.grams = ParseWeight(raw);
            w.kilograms = ToSingleChecked(w.grams * kGramsToKg);
            w.pounds = ToSingleChecked(w.kilograms * kKgToPounds);
            w.ounces = ToSingleChecked(w.pounds * kPoundsToOunces);
            break;
        case units::kPoundsOuncesTenths:
        case units::kPoundsOuncesQuarters: {
            const double pounds = ParseWeight(Mid(raw, 1, 2));
            const double ounces = ParseWeight(Mid(raw, 3, 2));
            const double fraction = units == units::kPoundsOuncesTenths
                                        ? ParseWeight(Mid(raw, 5, 1)) * kTenthOunce
                                        : QuarterOunceOf(Mid(raw, 5, 1)).fraction;
            w.ounces = ToSingleChecked((ounces + fraction) + pounds * kPoundsToOunces);
            w.pounds = ToSingleChecked(w.ounces * kOuncesToPounds);
            w.kilograms = ToSingleChecked(w.pounds * kPoundsToKg);
            w.grams = ToSingleChecked(w.kilograms * kKgToGrams);
            break;
        }
        default:
            break;
    }
    return w;
}

std::optional<float> SelectWeight(std::int32_t netWtUnits, const Weights& w) {
    switch (netWtUnits) {
        case 0:
            return w.pounds;
        case 1:
            return w.kilograms;
        case 2:
            return w.grams;
        case 3:
            return w.ounces;
        default:
            return std::nullopt;
    }
}

}  // namespace varnel::frame
