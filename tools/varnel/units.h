// Names of the units and notification policies, the same on every command line: a short name, a
// word, or the enum member's name, compared without regard to case.
#pragma once

#include <optional>
#include <string_view>

#include "control/varnel.h"

namespace varnel::cli {

// lb|pounds|vnPounds, kg|kilograms|vnKilograms, g|grams|vnGrams, oz|ounces|vnOunces.
std::optional<VN_UOM_ENUM> ParseUnits(std::string_view name);
// everytime|vnEverytime, changed|vnChanged.
std::optional<VN_NOTIFY_ENUM> ParseNotify(std::string_view name);

// For messages: "lb, kg, g or oz (also pounds, kilograms, grams, ounces or vnPounds, ...)".
inline constexpr const char* kUnitsChoices =
    "lb, kg, g or oz (or pounds, kilograms, grams, ounces, vnPounds, vnKilograms, vnGrams, "
    "vnOunces)";
inline constexpr const char* kNotifyChoices = "everytime or changed (or vnEverytime, vnChanged)";

}  // namespace varnel::cli
