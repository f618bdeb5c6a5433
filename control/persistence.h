// The keys a control saves in its host's property bag: names, order, types and defaults.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "control/variant.h"

namespace varnel::persistence {

struct SavedKey {
    const char* key;
    bool loaded;   // read back by ReadProperties
    VarType type;  // the value's type when saved
    bool text;     // the default is the empty text, else the 16-bit number `number`
    std::int16_t number;
};

// In the order of saving; loading reads the keys marked `loaded`, in the same order.
inline constexpr std::array<SavedKey, 12> kSavedKeys{{
    {"CommID", false, VarType::I4, false, 0},
    {"CommPort", true, VarType::I2, false, 1},
    {"PortOpen", false, VarType::Bool, false, 0},
    {"ScaleCommEvent", true, VarType::I2, false, 0},
    {"RawWtUnits", true, VarType::I2, false, 0},
    {"RawWt", true, VarType::Str, true, 0},
    {"FormattedWt", true, VarType::Str, true, 0},
    {"ScaleStatus", true, VarType::I2, false, 0},
    {"WtNotification", true, VarType::I4, false, 0},
    {"NetWtUnits", true, VarType::I4, false, 0},
    {"NetWt", true, VarType::R4, false, 0},
    {"ConnectStatus", true, VarType::I2, false, 0},
}};

inline Variant DefaultOf(const SavedKey& k) {
    return k.text ? Variant(std::string()) : Variant(k.number);
}

// The saved key spelled `key`, compared exactly or without regard to case; nullptr when none.
const SavedKey* FindSavedKey(std::string_view key, bool ignoreCase = false);

}  // namespace varnel::persistence
