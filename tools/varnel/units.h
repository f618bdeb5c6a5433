// Names of the units and notification policies on the command line.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "control/varnel.h"

namespace varnel::cli {

inline const std::map<std::string, VN_UOM_ENUM>& UnitNames() {
    static const std::map<std::string, VN_UOM_ENUM> names = {
        {"pounds", vnPounds}, {"kilograms", vnKilograms}, {"grams", vnGrams}, {"ounces", vnOunces}};
    return names;
}

inline const std::map<std::string, VN_NOTIFY_ENUM>& NotifyNames() {
    static const std::map<std::string, VN_NOTIFY_ENUM> names = {{"everytime", vnEverytime},
                                                                {"changed", vnChanged}};
    return names;
}

inline std::optional<VN_UOM_ENUM> UnitsFromName(const std::string& name) {
    auto it = UnitNames().find(name);
    if (it == UnitNames().end()) return std::nullopt;
    return it->second;
}

inline std::optional<VN_NOTIFY_ENUM> NotifyFromName(const std::string& name) {
    auto it = NotifyNames().find(name);
    if (it == NotifyNames().end()) return std::nullopt;
    return it->second;
}

}  // namespace varnel::cli
