#include "host/json_form_bag.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "control/errors.h"

namespace varnel::host {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

std::string Quote(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

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
        return FormError(source + ": property " + Quote(key) + ": " + detail, key);
    };
    if (!entry.is_object()) throw fail("expected an object with \"type\" and \"value\"");
    for (const auto& [member, unused] : entry.items()) {
        if (member != "type" && member != "value") throw fail("unknown member " + Quote(member));
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
    throw fail("unknown type " + Quote(t) +
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

[[noreturn]] void ThrowSystemError(const std::string& what, const fs::path& file, int error) {
    throw FormError(what + " " + Quote(file.string()) + ": " + std::strerror(error));
}

[[noreturn]] void ThrowNotRegular(const fs::path& file) {
    throw FormError("cannot read form file " + Quote(file.string()) + ": not a regular file");
}

}  // namespace

JsonFormBag JsonFormBag::Parse(std::string_view text, const std::string& source) {
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
        throw FormError(source + ": the key " + Quote(*scan.duplicate) +
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
            throw FormError(source + ": unknown member " + Quote(member));
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

    JsonFormBag bag;
    for (const std::string& key : scan.order) {
        const json& entry = properties->at(key);
        std::optional<std::string> name = Utf8ToBytes(key);
        if (!name)
            throw FormError(source + ": property " + Quote(key) + ": a character above U+00FF");
        if (name->empty()) throw FormError(source + ": a property without a name");
        const auto written = scan.numberTexts.find(key);
        Variant value = ValueOf(source, *name, entry,
                                written == scan.numberTexts.end() ? nullptr : &written->second);
        bag.entries_.emplace_back(std::move(*name), std::move(value));
    }
    return bag;
}

JsonFormBag JsonFormBag::Load(const fs::path& file) {
    // Opened without blocking and checked once open, so that nothing swapped in after a check
    // (a FIFO, a device) can hold the read; the check before keeps devices from being opened.
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) ThrowSystemError("cannot read form file", file, errno);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(file);
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("cannot read form file", file, errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0) ThrowSystemError("cannot read form file", file, errno);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(file);
    std::string text(kMaxFormFileBytes + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowSystemError("cannot read form file", file, errno);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return Parse(text, file.string());
}

std::string JsonFormBag::Serialize() const {
    // Laid out as dump(2) lays it out, written entry by entry to keep the order.
    std::string out = "{\n  \"format\": " + json(kFormFormat).dump() +
                      ",\n  \"version\": " + std::to_string(kFormVersion) +
                      ",\n  \"properties\": {";
    bool first = true;
    for (const auto& [key, value] : entries_) {
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

void JsonFormBag::Save(const fs::path& file) const {
    const std::string text = Serialize();
    if (text.size() > kMaxFormFileBytes) {
        throw FormError("cannot write form file " + Quote(file.string()) + ": it would exceed " +
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

namespace {

// Where a save writes: the file, or the file a symbolic link in its place points to.
fs::path SaveTarget(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(file, ec))) return file;
    fs::path target = fs::weakly_canonical(file, ec);
    if (ec) throw FormError("cannot write form file " + Quote(file.string()) + ": " + ec.message());
    return target;
}

fs::path DirectoryOf(const fs::path& target) {
    fs::path dir = target.parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

FormFileLock::FormFileLock(const fs::path& file, std::chrono::milliseconds limit) {
    const int fd = ::open(DirectoryOf(SaveTarget(file)).c_str(),
                          O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;  // the save reports a directory that cannot be written
    const auto end = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ::close(fd);  // no locks on this file system
            return;
        }
        if (std::chrono::steady_clock::now() >= end) {
            ::close(fd);
            throw FormError("cannot lock form file " + Quote(file.string()) +
                            ": another program keeps editing a form in its directory");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(32));
    }
}

FormFileLock::~FormFileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

void WriteFileAtomically(const fs::path& file, std::string_view text) {
    const fs::path target = SaveTarget(file);
    const fs::path dir = DirectoryOf(target);

    // ".NAME.tmp-PID-N", with NAME shortened when the whole would exceed the name limit.
    static std::atomic<unsigned> counter{0};
    const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const std::size_t limit = nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255;
    const std::string name = target.filename().string();
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const std::string suffix =
            ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const std::size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
        temp = dir / ("." + name.substr(0, room) + suffix);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) ThrowSystemError("cannot write form file", file, errno);
    }
    if (fd < 0) ThrowSystemError("cannot write form file", file, EEXIST);

    auto abandon = [&](int error) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        ThrowSystemError("cannot write form file", file, error);
    };
    // An existing file keeps its owner and group where this process may set them, and its
    // permissions (set last: a change of owner clears the set-id bits).
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (::fchown(fd, st.st_uid, st.st_gid) != 0 &&
            ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
            // Neither permitted: the new file keeps this process's owner and group.
        }
        if (::fchmod(fd, st.st_mode & 07777) != 0) abandon(errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            abandon(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) abandon(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) abandon(errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) abandon(errno);
    // Make the rename itself durable; a failure here leaves a complete file either way.
    const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        (void)::fsync(dirfd);
        ::close(dirfd);
    }
}

}  // namespace varnel::host
