// A property bag in memory that keeps what was written, and in which order.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "control/property_bag.h"

namespace varnel::testing {

class MemoryPropertyBag : public PropertyBag {
  public:
    std::map<std::string, Variant> values;
    std::vector<std::string> reads;
    std::vector<std::string> writes;

    Variant Read(std::string_view key, const Variant& defaultValue) override {
        reads.emplace_back(key);
        auto it = values.find(std::string(key));
        return it == values.end() ? defaultValue : it->second;
    }
    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override {
        writes.emplace_back(key);
        if (value.ValueEquals(defaultValue)) {
            values.erase(std::string(key));
        } else {
            values[std::string(key)] = value;
        }
    }
};

}  // namespace varnel::testing
