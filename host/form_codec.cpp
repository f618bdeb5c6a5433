#include "host/form_codec.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

namespace varnel::host {

namespace {

using json = nlohmann::json;

// UTF-8 (already validated by the parser) to single-byte text; nullopt for a character above
// U+00FF.
std::optional<std::string> Utf8ToBytes(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            out += static_cast<char>(((c & 0x03) << 6) | (next & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string BytesToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A whole number within [lo, hi]: an integer, or a number written with a fraction or an exponent
// whose decimal text is whole (3.0, 1e2). nullopt when it is not such a number.
std::optional<std::int64_t> WholeNumber(const json& v, const std::string* text, std::int64_t lo,
                                        std::int64_t hi) {
    std::int64_t n = 0;
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(hi)) return std::nullopt;
        n = static_cast<std::int64_t>(u);
    } else if (v.is_number_integer()) {
        n = v.get<std::int64_t>();
    } else if (v.is_number_float() && text) {
        const auto r = RoundNumberText(*text);
        if (!r || !r->whole) return std::nullopt;
        n = r->value;
    } else {
        return std::nullopt;
    }
    if (n < lo || n > hi) return std::nullopt;
    return n;
}

// `text` is the number as the file writes it, for a value with a fraction or an exponent.
Variant ValueOf(const std::string& source, const std::string& key, const json& entry,
                const std::string* text) {
    auto fail = [&](const std::string& detail) -> FormError {
        return FormError(source + ": property " + Quoted(key) + ": " + detail, key);
    };
    if (!entry.is_object()) throw fail("expected an object with \"type\" and \"value\"");
    for (const auto& [member, unused] : entry.items()) {
        if (member != "type" && member != "value") throw fail("unknown member " + Quoted(member));
    }
    const auto type = entry.find("type");
    if (type == entry.end() || !type->is_string()) throw fail("\"type\" is missing or not a text");
    const std::string& t = type->get_ref<const std::string&>();
    const auto value = entry.find("value");
    if (t == "Empty") {
        if (value != entry.end() && !value->is_null())
            throw fail("a value of type Empty holds no \"value\"");
        return Variant();
    }
    if (value == entry.end()) throw fail("\"value\" is missing");
    const json& v = *value;
    if (t == "Integer") {
        if (auto n = WholeNumber(v, text, std::numeric_limits<std::int16_t>::min(),
                                 std::numeric_limits<std::int16_t>::max())) {
            return Variant(static_cast<std::int16_t>(*n));
        }
        throw fail("an Integer \"value\" must be a whole number from -32768 to 32767");
    }
    if (t == "Long") {
        if (auto n = WholeNumber(v, text, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max())) {
            return Variant(static_cast<std::int32_t>(*n));
        }
        throw fail("a Long \"value\" must be a whole number from -2147483648 to 2147483647");
    }
    if (t == "Single" || t == "Double") {
        if (!v.is_number()) throw fail("a " + t + " \"value\" must be a number");
        const double d = v.get<double>();
        if (!std::isfinite(d)) throw fail("the " + t + " \"value\" is out of range");
        if (t == "Double") return Variant(d);
        // Rounded once, from the decimal text: 3.4028235e+38, FLT_MAX's shortest text, is in
        // range although the double nearest to it is not.
        std::optional<float> f;
        if (text)
            f = ParseSingle(*text);
        else if (v.is_number_unsigned())
            f = static_cast<float>(v.get<std::uint64_t>());
        else if (v.is_number_integer())
            f = static_cast<float>(v.get<std::int64_t>());
        else if (std::fabs(d) <= static_cast<double>(std::numeric_limits<float>::max()))
            f = static_cast<float>(d);
        if (!f || !std::isfinite(*f)) throw fail("the Single \"value\" is out of range");
        return Variant(*f);
    }
    if (t == "Boolean") {
        if (!v.is_boolean()) throw fail("a Boolean \"value\" must be true or false");
        return Variant::Boolean(v.get<bool>());
    }
    if (t == "String") {
        if (!v.is_string()) throw fail("a String \"value\" must be a text");
        if (auto bytes = Utf8ToBytes(v.get_ref<const std::string&>()))
            return Variant(std::move(*bytes));
        throw fail("the String \"value\" holds a character above U+00FF");
    }
    throw fail("unknown type " + Quoted(t) +
               " (Empty, Integer, Long, Single, Double, Boolean or String)");
}

nlohmann::ordered_json JsonOf(const Variant& v) {
    nlohmann::ordered_json entry;  // "type" before "value"
    entry["type"] = VarTypeName(v.Type());
    switch (v.Type()) {
        case VarType::Empty:
            break;
        case VarType::I2:
            entry["value"] = v.ToI2();
            break;
        case VarType::I4:
            entry["value"] = v.ToI4();
            break;
        case VarType::R4: {
            // The shortest decimal of the float, so that 0.1f is written as 0.1; the double
            // nearest to it is written with the same digits.
            const float f = *v.R4();
            entry["value"] = ParseNumber(FormatSingle(f)).value_or(static_cast<double>(f));
            break;
        }
        case VarType::R8:
            entry["value"] = v.ToR8();
            break;
        case VarType::Bool:
            entry["value"] = v.ToBool();
            break;
        case VarType::Str:
            entry["value"] = BytesToUtf8(*v.Str());
            break;
    }
    return entry;
}

std::string ParseErrorText(std::string what) {
    // Drop the library's "[json.exception.parse_error.101] " tag.
    if (!what.empty() && what.front() == '[') {
        const auto end = what.find("] ");
        if (end != std::string::npos) what.erase(0, end + 2);
    }
    return what;
}

// Reads the structure without building it: the property names in order, duplicate keys, the
// first syntax error.
class KeyScanner : public nlohmann::json_sax<json> {
  public:
    std::vector<std::string> order;
    // A property's value written with a fraction or an exponent, as the file writes it.
    std::map<std::string, std::string> numberTexts;
    std::optional<std::string> duplicate;
    std::string error;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t& text) override {
        if (containers_.size() == 3 && containers_[1] && containers_[2] &&
            topLevelKey_ == "properties" && memberKey_ == "value") {
            numberTexts[propertyKey_] = text;
        }
        return true;
    }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        containers_.push_back(true);
        keys_.emplace_back();
        return true;
    }
    bool key(string_t& key) override {
        if (!keys_.back().insert(key).second && !duplicate) duplicate = key;
        if (containers_.size() == 1) {
            topLevelKey_ = key;
        } else if (containers_.size() == 2 && containers_[1] && topLevelKey_ == "properties") {
            order.push_back(key);
            propertyKey_ = key;
        } else if (containers_.size() == 3) {
            memberKey_ = key;
        }
        return true;
    }
    bool end_object() override {
        containers_.pop_back();
        keys_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        containers_.push_back(false);
        return true;
    }
    bool end_array() override {
        containers_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        error = ParseErrorText(e.what());
        return false;
    }

  private:
    std::vector<bool> containers_;  // open containers: true for an object
    std::vector<std::set<std::string>> keys_;
    std::string topLevelKey_;
    std::string propertyKey_;
    std::string memberKey_;
};

}  // namespace

FormEntries ParseForm(std::string_view text, const std::string& source) {
    if (text.size() > kMaxFormFileBytes) {
        throw FormError(source + ": a form file holds at most " +
                        std::to_string(kMaxFormFileBytes) + " bytes");
    }
    // The parser would take a NUL byte for the end of the text and ignore what follows.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
        const auto lineStart = text.rfind('\n', nul);
        const auto line = std::count(text.begin(), text.begin() + static_cast<long>(nul), '\n') + 1;
        const auto column = nul - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
        throw FormError(source + ": not valid JSON: a NUL byte at line " + std::to_string(line) +
                        ", column " + std::to_string(column));
    }
    // A first pass notes the property names in file order (the parsed object keeps them sorted)
    // and finds keys that appear twice in one object, which the parser would quietly merge.
    KeyScanner scan;
    if (!json::sax_parse(text.begin(), text.end(), &scan))
        throw FormError(source + ": not valid JSON: " + scan.error);
    if (scan.duplicate) {
        throw FormError(source + ": the key " + Quoted(*scan.duplicate) +
                        " appears twice in an object");
    }
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        throw FormError(source + ": not valid JSON: " + ParseErrorText(e.what()));
    }
    if (!root.is_object()) throw FormError(source + ": a form file is a JSON object");
    for (const auto& [member, unused] : root.items()) {
        if (member != "format" && member != "version" && member != "properties")
            throw FormError(source + ": unknown member " + Quoted(member));
    }
    const auto format = root.find("format");
    if (format == root.end() || *format != kFormFormat)
        throw FormError(source + ": not a form file (\"format\" must be \"varnel-form\")");
    const auto version = root.find("version");
    if (version == root.end() || !version->is_number_integer() || *version != kFormVersion) {
        throw FormError(source + ": unsupported form version " +
                        (version == root.end() ? std::string("(none)") : version->dump()) +
                        " (this program reads version 1)");
    }
    const auto properties = root.find("properties");
    if (properties == root.end() || !properties->is_object())
        throw FormError(source + ": \"properties\" is missing or not an object");

    FormEntries entries;
    for (const std::string& key : scan.order) {
        const json& entry = properties->at(key);
        std::optional<std::string> name = Utf8ToBytes(key);
        if (!name)
            throw FormError(source + ": property " + Quoted(key) + ": a character above U+00FF");
        if (name->empty()) throw FormError(source + ": a property without a name");
        const auto written = scan.numberTexts.find(key);
        Variant value = ValueOf(source, *name, entry,
                                written == scan.numberTexts.end() ? nullptr : &written->second);
        entries.emplace_back(std::move(*name), std::move(value));
    }
    return entries;
}

std::string SerializeForm(const FormEntries& entries) {
    // Laid out as dump(2) lays it out, written entry by entry to keep the order.
    std::string out = "{\n  \"format\": " + json(kFormFormat).dump() +
                      ",\n  \"version\": " + std::to_string(kFormVersion) +
                      ",\n  \"properties\": {";
    bool first = true;
    for (const auto& [key, value] : entries) {
        out += first ? "\n    " : ",\n    ";
        first = false;
        out += json(BytesToUtf8(key)).dump();  // names are single-byte text too
        out += ": ";
        for (char c : JsonOf(value).dump(2)) {
            out += c;
            if (c == '\n') out += "    ";
        }
    }
    out += first ? "}\n}\n" : "\n  }\n}\n";
    return out;
}

}  // namespace varnel::host
