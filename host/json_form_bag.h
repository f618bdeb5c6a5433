// A property bag kept in a JSON form file: the saved settings of one control. The text and its
// values are the codec's (host/form_codec.h), reading and replacing the file the file layer's
// (host/form_file.h). Properties the control does not know are kept as they are.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "control/property_bag.h"
#include "host/form_codec.h"
#include "host/form_file.h"

namespace varnel::host {

class JsonFormBag : public PropertyBag {
  public:
    JsonFormBag() = default;

    // The form in `text`; errors name `source`, the position of a syntax error and the property
    // of a malformed value.
    static JsonFormBag Parse(std::string_view text, const std::string& source = "form");
    // Reads a form file of at most kMaxFormFileBytes (a regular file).
    static JsonFormBag Load(const std::filesystem::path& file);

    std::string Serialize() const;
    // Replaces the file as a whole (WriteFileAtomically). A form larger than kMaxFormFileBytes
    // is not written.
    void Save(const std::filesystem::path& file) const;

    Variant Read(std::string_view key, const Variant& defaultValue) override;
    // A value equal to its default removes the key. A number JSON cannot hold (an infinity, not
    // a number) raises overflow (6).
    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override;

    // The stored properties in file order.
    const FormEntries& Entries() const { return entries_; }
    const Variant* Find(std::string_view key) const;

  private:
    FormEntries entries_;
};

}  // namespace varnel::host
