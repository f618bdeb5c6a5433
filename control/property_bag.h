// The host's saved data for one control: named values.
#pragma once

#include <string_view>

#include "control/variant.h"

namespace varnel {

class PropertyBag {
  public:
    virtual ~PropertyBag() = default;

    // The stored value, or defaultValue when the key is absent.
    virtual Variant Read(std::string_view key, const Variant& defaultValue) = 0;
    // Stores value under key; a value equal to its default need not be stored.
    virtual void Write(std::string_view key, const Variant& value, const Variant& defaultValue) = 0;
};

}  // namespace varnel
