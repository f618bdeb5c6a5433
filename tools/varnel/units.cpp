#include "tools/varnel/units.h"

#include <array>

namespace varnel::cli {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

template <typename Enum, std::size_t N>
std::optional<Enum> Find(const std::array<std::pair<std::string_view, Enum>, N>& table,
                         std::string_view name) {
    for (const auto& [text, value] : table) {
        if (EqualsNoCase(text, name)) return value;
    }
    return std::nullopt;
}

constexpr std::array<std::pair<std::string_view, VN_UOM_ENUM>, 12> kUnits{{
    {"lb", vnPounds},
    {"pounds", vnPounds},
    {"vnPounds", vnPounds},
    {"kg", vnKilograms},
    {"kilograms", vnKilograms},
    {"vnKilograms", vnKilograms},
    {"g", vnGrams},
    {"grams", vnGrams},
    {"vnGrams", vnGrams},
    {"oz", vnOunces},
    {"ounces", vnOunces},
    {"vnOunces", vnOunces},
}};

constexpr std::array<std::pair<std::string_view, VN_NOTIFY_ENUM>, 4> kNotify{{
    {"everytime", vnEverytime},
    {"vnEverytime", vnEverytime},
    {"changed", vnChanged},
    {"vnChanged", vnChanged},
}};

}  // namespace

std::optional<VN_UOM_ENUM> ParseUnits(std::string_view name) {
    return Find(kUnits, name);
}

std::optional<VN_NOTIFY_ENUM> ParseNotify(std::string_view name) {
    return Find(kNotify, name);
}

}  // namespace varnel::cli
