// A property bag kept in a JSON form file: the saved settings of one control.
//
//   {
//     "format": "varnel-form",
//     "version": 1,
//     "properties": {
//       "CommPort": {"type": "Integer", "value": 3},
//       "NetWt": {"type": "Single", "value": 1.25},
//       "RawWt": {"type": "String", "value": "00125"}
//     }
//   }
//
// Each property keeps its Variant type: "Empty" (no value), "Integer" (16-bit), "Long" (32-bit),
// "Single", "Double", "Boolean" (true/false) or "String". A String holds single-byte text: each
// character U+0000..U+00FF stands for the byte of the same value. Key names are compared exactly.
// Properties the control does not know are kept as they are.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/property_bag.h"

namespace varnel::host {

// A form file that cannot be read, parsed, loaded or written, or a value the form editor refuses.
class FormError : public std::runtime_error {
  public:
    explicit FormError(const std::string& message, std::string key = {},
                       std::optional<std::int32_t> number = std::nullopt)
        : std::runtime_error(message), key_(std::move(key)), number_(number) {}

    // The property concerned; empty when the error is not about one property.
    const std::string& Key() const { return key_; }
    // The automation error number when the control raised the error.
    std::optional<std::int32_t> Number() const { return number_; }

  private:
    std::string key_;
    std::optional<std::int32_t> number_;
};

inline constexpr std::size_t kMaxFormFileBytes = 1 << 20;
inline constexpr const char* kFormFormat = "varnel-form";
inline constexpr std::int64_t kFormVersion = 1;

class JsonFormBag : public PropertyBag {
  public:
    JsonFormBag() = default;

    // The form in `text`; errors name `source`, the position of a syntax error and the property
    // of a malformed value.
    static JsonFormBag Parse(std::string_view text, const std::string& source = "form");
    // Reads a form file of at most kMaxFormFileBytes (a regular file).
    static JsonFormBag Load(const std::filesystem::path& file);

    std::string Serialize() const;
    // Replaces the file as a whole: a temporary file in the same directory, then a rename. A
    // symbolic link is followed, so the link stays and its target gets the new content. A form
    // larger than kMaxFormFileBytes is not written.
    void Save(const std::filesystem::path& file) const;

    Variant Read(std::string_view key, const Variant& defaultValue) override;
    // A value equal to its default removes the key. A number JSON cannot hold (an infinity, not
    // a number) raises overflow (6).
    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override;

    // The stored properties in file order.
    const std::vector<std::pair<std::string, Variant>>& Entries() const { return entries_; }
    const Variant* Find(std::string_view key) const;

  private:
    std::vector<std::pair<std::string, Variant>> entries_;
};

// Writes text to file through a temporary file in the same directory, flushed to disk and then
// renamed over the file; on failure the file is untouched and no temporary file remains. An
// existing file keeps its permissions, and its owner and group where the process may set them.
void WriteFileAtomically(const std::filesystem::path& file, std::string_view text);

// Serialises read-modify-write edits of form files among the programs that take it: an exclusive
// lock on the directory that holds the form (the directory of a symbolic link's target), so that
// it also covers a form that does not exist yet. Waits at most `limit` for another holder. Where
// the directory cannot be opened or its file system offers no locks, the edit goes on unlocked.
class FormFileLock {
  public:
    explicit FormFileLock(const std::filesystem::path& file,
                          std::chrono::milliseconds limit = std::chrono::seconds(30));
    ~FormFileLock();
    FormFileLock(const FormFileLock&) = delete;
    FormFileLock& operator=(const FormFileLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace varnel::host
