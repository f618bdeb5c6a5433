#include "ocx/stream_format.h"

#include <cstring>

#include "control/errors.h"

namespace varnel::ocx::stream {

namespace {

constexpr char kMagic[4] = {'V', 'N', 'L', 'B'};

enum Type : std::uint8_t { kEmpty, kInteger, kLong, kSingle, kDouble, kBoolean, kString };

[[noreturn]] void Malformed(const std::string& why) {
    throw AutomationError(kErrInvalidFormat, "Invalid file format: saved Varnel data " + why);
}

void Put(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>(v >> (8 * i) & 0xFF);
}

class Reader {
  public:
    explicit Reader(std::string_view data) : data_(data) {}
    std::uint64_t Get(int bytes, const char* what) {
        if (data_.size() - pos_ < static_cast<std::size_t>(bytes))
            Malformed(std::string("is truncated (") + what + ")");
        std::uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | static_cast<unsigned char>(data_[pos_ + static_cast<std::size_t>(i)]);
        pos_ += static_cast<std::size_t>(bytes);
        return v;
    }
    std::string_view Bytes(std::size_t n, const char* what) {
        if (data_.size() - pos_ < n) Malformed(std::string("is truncated (") + what + ")");
        const std::string_view s = data_.substr(pos_, n);
        pos_ += n;
        return s;
    }
    bool AtEnd() const { return pos_ == data_.size(); }

  private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

template <typename To, typename From>
To BitCast(From from) {
    static_assert(sizeof(To) == sizeof(From));
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

}  // namespace

Variant SaveBag::Read(std::string_view, const Variant& defaultValue) {
    return defaultValue;
}

void SaveBag::Write(std::string_view key, const Variant& value, const Variant& defaultValue) {
    if (!saveAll_ && value.ValueEquals(defaultValue)) return;
    entries_.emplace_back(std::string(key), value);
}

Variant LoadBag::Read(std::string_view key, const Variant& defaultValue) {
    for (const Entry& e : entries_) {
        if (e.first == key) return e.second;
    }
    return defaultValue;
}

std::string Encode(const std::vector<Entry>& entries) {
    std::string payload;
    Put(payload, entries.size(), 2);
    for (const auto& [key, value] : entries) {
        Put(payload, key.size(), 1);
        payload += key;
        switch (value.Type()) {
            case VarType::Empty:
                Put(payload, kEmpty, 1);
                break;
            case VarType::I2:
                Put(payload, kInteger, 1);
                Put(payload, static_cast<std::uint16_t>(value.ToI2()), 2);
                break;
            case VarType::I4:
                Put(payload, kLong, 1);
                Put(payload, static_cast<std::uint32_t>(value.ToI4()), 4);
                break;
            case VarType::R4:
                Put(payload, kSingle, 1);
                Put(payload, BitCast<std::uint32_t>(value.ToR4()), 4);
                break;
            case VarType::R8:
                Put(payload, kDouble, 1);
                Put(payload, BitCast<std::uint64_t>(value.ToR8()), 8);
                break;
            case VarType::Bool:
                Put(payload, kBoolean, 1);
                Put(payload, value.ToBool() ? 0xFFFFu : 0u, 2);
                break;
            case VarType::Str:
                Put(payload, kString, 1);
                Put(payload, value.Str()->size(), 4);
                payload += *value.Str();
                break;
        }
    }
    std::string out(kMagic, sizeof kMagic);
    Put(out, kVersion, 2);
    Put(out, payload.size(), 4);
    return out + payload;
}

std::uint32_t PayloadLength(std::string_view header) {
    Reader r(header);
    if (r.Bytes(sizeof kMagic, "header") != std::string_view(kMagic, sizeof kMagic))
        Malformed("does not start with VNLB");
    const auto version = r.Get(2, "header");
    if (version != kVersion) Malformed("has version " + std::to_string(version) + ", not 1");
    const auto length = r.Get(4, "header");
    if (length > kMaxPayload) Malformed("announces " + std::to_string(length) + " bytes");
    return static_cast<std::uint32_t>(length);
}

std::vector<Entry> DecodePayload(std::string_view payload) {
    Reader r(payload);
    const auto count = r.Get(2, "entry count");
    std::vector<Entry> entries;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto keyLength = r.Get(1, "key length");
        if (keyLength == 0 || keyLength > kMaxKey) Malformed("has a key of bad length");
        std::string key(r.Bytes(static_cast<std::size_t>(keyLength), "key"));
        for (const Entry& e : entries) {
            if (e.first == key) Malformed("holds \"" + key + "\" twice");
        }
        Variant value;
        switch (r.Get(1, "type")) {
            case kEmpty:
                break;
            case kInteger:
                value = Variant(static_cast<std::int16_t>(r.Get(2, "value")));
                break;
            case kLong:
                value = Variant(static_cast<std::int32_t>(r.Get(4, "value")));
                break;
            case kSingle:
                value = Variant(BitCast<float>(static_cast<std::uint32_t>(r.Get(4, "value"))));
                break;
            case kDouble:
                value = Variant(BitCast<double>(r.Get(8, "value")));
                break;
            case kBoolean: {
                const auto b = r.Get(2, "value");
                if (b != 0 && b != 0xFFFF) Malformed("holds a Boolean that is neither 0 nor -1");
                value = Variant::Boolean(b != 0);
                break;
            }
            case kString: {
                const auto length = r.Get(4, "text length");
                if (length > kMaxText) Malformed("holds a text longer than 65536 bytes");
                value = Variant(std::string(r.Bytes(static_cast<std::size_t>(length), "text")));
                break;
            }
            default:
                Malformed("holds \"" + key + "\" with an unknown type");
        }
        entries.emplace_back(std::move(key), std::move(value));
    }
    if (!r.AtEnd()) Malformed("has bytes after its last entry");
    return entries;
}

}  // namespace varnel::ocx::stream
