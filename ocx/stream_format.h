// The control's saved properties as a byte stream (IPersistStreamInit), version 1.
//
//   header   "VNLB", version (16-bit), payload length (32-bit, at most kMaxPayload)
//   payload  entry count (16-bit), then per entry:
//              key length (8-bit, 1..64), key (ASCII), type (8-bit), value
//            types and values: 0 Empty (none), 1 Integer (16-bit), 2 Long (32-bit),
//              3 Single (32-bit IEEE), 4 Double (64-bit IEEE), 5 Boolean (16-bit, 0 or -1),
//              6 String (32-bit length, at most kMaxText, then the bytes)
//
// Numbers are little-endian. The entries are what the control saves into a property bag: its
// keys in its order, a value equal to its default left out. The header's length makes the data
// self-delimiting, so a container can keep other data behind it in the same stream. Reading
// checks everything before anything is applied: a truncated or malformed stream (bad magic, a
// newer version, a length past the limits, an unknown type, a key twice, bytes left over) is
// refused whole with error 321 ("Invalid file format"). A key the control does not know is
// skipped; a value that does not convert to its property is refused by the control's own
// loading, at that key.
// Portable: no operating-system headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/property_bag.h"
#include "control/variant.h"

namespace varnel::ocx::stream {

inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 10;
inline constexpr std::uint32_t kMaxPayload = 1u << 20;
inline constexpr std::uint32_t kMaxText = 65536;
inline constexpr std::size_t kMaxKey = 64;
inline constexpr std::int32_t kErrInvalidFormat = 321;

using Entry = std::pair<std::string, Variant>;

// Collects what the control saves, in order. Values equal to their defaults are left out unless
// saveAll is set.
class SaveBag : public PropertyBag {
  public:
    explicit SaveBag(bool saveAll = false) : saveAll_(saveAll) {}
    Variant Read(std::string_view key, const Variant& defaultValue) override;
    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override;
    const std::vector<Entry>& Entries() const { return entries_; }

  private:
    bool saveAll_;
    std::vector<Entry> entries_;
};

// Serves the decoded entries to the control's loading.
class LoadBag : public PropertyBag {
  public:
    explicit LoadBag(std::vector<Entry> entries) : entries_(std::move(entries)) {}
    Variant Read(std::string_view key, const Variant& defaultValue) override;
    void Write(std::string_view, const Variant&, const Variant&) override {}

  private:
    std::vector<Entry> entries_;
};

// Header and payload.
std::string Encode(const std::vector<Entry>& entries);
// The payload length the header announces; raises error 321 for a header that is not ours.
std::uint32_t PayloadLength(std::string_view header);
// The entries of a payload; raises error 321 when it is malformed.
std::vector<Entry> DecodePayload(std::string_view payload);

}  // namespace varnel::ocx::stream
