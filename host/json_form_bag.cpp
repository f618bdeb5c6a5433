#include "host/json_form_bag.h"

#include <cmath>

#include "control/errors.h"

namespace varnel::host {

JsonFormBag JsonFormBag::Parse(std::string_view text, const std::string& source) {
    JsonFormBag bag;
    bag.entries_ = ParseForm(text, source);
    return bag;
}

JsonFormBag JsonFormBag::Load(const std::filesystem::path& file) {
    return Parse(ReadFormFile(file, kMaxFormFileBytes), file.string());
}

std::string JsonFormBag::Serialize() const {
    return SerializeForm(entries_);
}

void JsonFormBag::Save(const std::filesystem::path& file) const {
    const std::string text = Serialize();
    if (text.size() > kMaxFormFileBytes) {
        throw FormError("cannot write form file " + Quoted(file.string()) + ": it would exceed " +
                        std::to_string(kMaxFormFileBytes) + " bytes");
    }
    WriteFileAtomically(file, text);
}

const Variant* JsonFormBag::Find(std::string_view key) const {
    for (const auto& [k, v] : entries_) {
        if (k == key) return &v;
    }
    return nullptr;
}

Variant JsonFormBag::Read(std::string_view key, const Variant& defaultValue) {
    const Variant* v = Find(key);
    return v ? *v : defaultValue;
}

void JsonFormBag::Write(std::string_view key, const Variant& value, const Variant& defaultValue) {
    if ((value.Type() == VarType::R4 || value.Type() == VarType::R8) &&
        !std::isfinite(value.ToR8())) {
        throw AutomationError(err::kOverflow, "Overflow: a form file holds finite numbers only");
    }
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == key) {
            if (value.ValueEquals(defaultValue))
                entries_.erase(it);
            else
                it->second = value;
            return;
        }
    }
    if (!value.ValueEquals(defaultValue)) entries_.emplace_back(std::string(key), value);
}

}  // namespace varnel::host
