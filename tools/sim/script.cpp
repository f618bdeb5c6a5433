#include "tools/sim/script.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools/sim/detail.h"

namespace varnel::sim {

namespace detail {

struct ScriptNode {
    virtual ~ScriptNode() = default;
    virtual std::optional<Reading> Next(double t) = 0;
    virtual std::unique_ptr<ScriptNode> Clone() const = 0;
};

}  // namespace detail

namespace {

using detail::Fail;
using detail::ScriptNode;

template <typename Derived>
struct Cloneable : ScriptNode {
    std::unique_ptr<ScriptNode> Clone() const override {
        return std::make_unique<Derived>(static_cast<const Derived&>(*this));
    }
};

struct SteadyNode : Cloneable<SteadyNode> {
    explicit SteadyNode(double w) : weight(w) {}
    std::optional<Reading> Next(double) override { return Reading{weight, {}, {}}; }
    double weight;
};

struct RampNode : Cloneable<RampNode> {
    RampNode(double f, double t, double s) : from(f), to(t), seconds(s) {}
    std::optional<Reading> Next(double t) override {
        if (t >= seconds) return Reading{to, {}, {}};
        const double share = std::max(t, 0.0) / seconds;
        return Reading{from + (to - from) * share, {}, {}};
    }
    double from, to, seconds;
};

struct WalkNode : Cloneable<WalkNode> {
    WalkNode(double start, double s, double lo, double hi, std::uint64_t seed)
        : value(start), step(s), min(lo), max(hi), random(seed) {}
    std::optional<Reading> Next(double) override {
        if (started) value = std::clamp(value + (random.Unit() * 2.0 - 1.0) * step, min, max);
        started = true;
        return Reading{value, {}, {}};
    }
    double value, step, min, max;
    detail::Random random;
    bool started = false;
};

struct LinesNode : Cloneable<LinesNode> {
    explicit LinesNode(std::vector<Reading> r) : readings(std::move(r)) {}
    std::optional<Reading> Next(double) override {
        if (next >= readings.size()) return std::nullopt;
        return readings[next++];
    }
    std::vector<Reading> readings;
    std::size_t next = 0;
};

struct SequenceNode : Cloneable<SequenceNode> {
    explicit SequenceNode(std::vector<Script::Segment> s) : segments(std::move(s)) {}
    std::optional<Reading> Next(double t) override {
        while (current < segments.size()) {
            auto& segment = segments[current];
            const double local = t - start;
            if (local < segment.seconds) {
                if (auto reading = segment.script.Next(local)) return reading;
                start = t;  // the segment's script ended early
            } else {
                start += segment.seconds;
            }
            ++current;
        }
        return std::nullopt;
    }
    std::vector<Script::Segment> segments;
    std::size_t current = 0;
    double start = 0.0;
};

// Decodes the quoted raw-bytes form of a script line; text starts after the opening quote.
std::string Unescape(std::string_view text, std::string_view context) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            if (text.find_first_not_of(" \t", i + 1) != std::string_view::npos)
                Fail(context, "text after the closing quote");
            if (bytes.empty()) Fail(context, "no bytes between the quotes");
            return bytes;
        }
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (++i == text.size()) break;
        switch (text[i]) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case '\\':
            case '"':
                bytes += text[i];
                break;
            case 'x': {
                const auto hex = text.substr(i + 1, 2);
                const auto digits = hex.find_first_not_of("0123456789abcdefABCDEF");
                if (hex.size() != 2 || digits != std::string_view::npos)
                    Fail(context, "\\x needs two hex digits");
                bytes += static_cast<char>(std::stoi(std::string(hex), nullptr, 16));
                i += 2;
                break;
            }
            default:
                Fail(context, std::string("unknown escape \\") + text[i]);
        }
    }
    Fail(context, "missing closing quote");
}

Reading ParseLine(std::string_view line, std::string_view context) {
    if (line.front() == '"') return Reading{0.0, {}, Unescape(line.substr(1), context)};
    std::vector<std::string_view> words;
    for (auto word : detail::Split(line, ' '))
        for (auto part : detail::Split(word, '\t'))
            if (!part.empty()) words.push_back(part);
    if (words.size() != 2) Fail(context, "expected STATUS WEIGHT or a quoted frame");
    const auto status = detail::ParseInteger(words[0], "status", context);
    if (status < 0 || status > 15)
        Fail(context, "status " + std::string(words[0]) + " is outside 0..15");
    return Reading{detail::ParseReal(words[1], "weight", context), static_cast<int>(status), {}};
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

Script::Script(std::unique_ptr<detail::ScriptNode> node) : node_(std::move(node)) {}
Script::Script(const Script& other) : node_(other.node_->Clone()) {}
Script& Script::operator=(const Script& other) {
    if (this != &other) node_ = other.node_->Clone();
    return *this;
}
Script::Script(Script&&) noexcept = default;
Script& Script::operator=(Script&&) noexcept = default;
Script::~Script() = default;

std::optional<Reading> Script::Next(double t) {
    return node_->Next(t);
}

Script Script::Steady(double weight) {
    return Script(std::make_unique<SteadyNode>(weight));
}

Script Script::Ramp(double from, double to, double seconds) {
    if (!(seconds >= 0.0)) throw std::invalid_argument("ramp: seconds must be 0 or more");
    return Script(std::make_unique<RampNode>(from, to, seconds));
}

Script Script::Walk(double start, double step, double min, double max, std::uint64_t seed) {
    if (!(step >= 0.0)) throw std::invalid_argument("walk: step must be 0 or more");
    if (!(min <= start && start <= max))
        throw std::invalid_argument("walk: needs MIN <= START <= MAX");
    return Script(std::make_unique<WalkNode>(start, step, min, max, seed));
}

Script Script::Lines(std::vector<Reading> readings) {
    return Script(std::make_unique<LinesNode>(std::move(readings)));
}

Script Script::Sequence(std::vector<Segment> segments) {
    return Script(std::make_unique<SequenceNode>(std::move(segments)));
}

std::vector<Reading> ParseScriptLines(std::string_view text) {
    std::vector<Reading> readings;
    std::size_t number = 0;
    for (auto line : detail::Split(text, '\n')) {
        ++number;
        line = Trim(line);
        if (line.empty() || line.front() == '#') continue;
        readings.push_back(ParseLine(line, "line " + std::to_string(number)));
    }
    return readings;
}

Script LoadScriptFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read script file " + path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<Reading> readings;
    try {
        readings = ParseScriptLines(text.str());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ", " + e.what());
    }
    if (readings.empty()) throw std::invalid_argument(path + ": no readings in the file");
    return Script::Lines(std::move(readings));
}

Script ParseScript(std::string_view option) {
    const std::string context = "script '" + std::string(option) + "'";
    const auto colon = option.find(':');
    const auto kind = option.substr(0, colon);
    if (kind == "file") {
        if (colon == std::string_view::npos || colon + 1 == option.size())
            Fail(context, "expected file:PATH");
        return LoadScriptFile(std::string(option.substr(colon + 1)));
    }
    const auto args = colon == std::string_view::npos
                          ? std::vector<std::string_view>{}
                          : detail::Split(option.substr(colon + 1), ':');
    auto expect = [&](std::size_t count, std::string_view form) {
        if (args.size() != count) Fail(context, "expected " + std::string(form));
    };
    auto real = [&](std::size_t i, std::string_view what) {
        return detail::ParseReal(args[i], what, context);
    };
    if (kind == "steady") {
        expect(1, "steady:WEIGHT");
        return Script::Steady(real(0, "weight"));
    }
    if (kind == "ramp") {
        expect(3, "ramp:FROM:TO:SECONDS");
        const double seconds = real(2, "seconds");
        if (seconds < 0.0) Fail(context, "seconds must be 0 or more");
        return Script::Ramp(real(0, "from"), real(1, "to"), seconds);
    }
    if (kind == "walk") {
        expect(5, "walk:START:STEP:MIN:MAX:SEED");
        const double start = real(0, "start"), step = real(1, "step");
        const double min = real(2, "min"), max = real(3, "max");
        const auto seed = detail::ParseUnsigned(args[4], "seed", context);
        if (step < 0.0) Fail(context, "step must be 0 or more");
        if (!(min <= start && start <= max)) Fail(context, "needs MIN <= START <= MAX");
        return Script::Walk(start, step, min, max, seed);
    }
    Fail(context, "unknown kind '" + std::string(kind) + "' (steady, ramp, walk or file)");
}

}  // namespace varnel::sim
