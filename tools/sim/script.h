// Weight scripts: what the simulated scale weighs, frame by frame.
//
// A script is asked for one reading per frame slot, at the slot's time in seconds from the start,
// with times that never decrease. The same script (and seed) always gives the same readings.
//
// Option strings (ParseScript):
//   steady:W                       W throughout
//   ramp:FROM:TO:SECONDS           FROM to TO linearly over SECONDS, then TO
//   walk:START:STEP:MIN:MAX:SEED   random walk: each frame moves by a uniform amount in
//                                  [-STEP, STEP], held inside [MIN, MAX]
//   file:PATH                      one reading per line of the file (format below); ends with it
// Weights are in the layout's unit (kilograms, grams, or pounds for the pound-ounce layouts).
//
// Script file format, one frame slot per line:
//   STATUS WEIGHT     status nibble 0..15 and a weight, e.g. "0 1.25" or "1 1.30"
//   "BYTES"           raw bytes sent as they are, in double quotes, with the escapes \xHH, \r,
//                     \n, \t, \\ and \"; e.g. "\x02 0  01234\r" (any length, so a file can
//                     hold malformed frames too)
//   blank lines and lines starting with # are skipped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::sim {

namespace detail {
struct ScriptNode;
}

// What one frame slot carries.
struct Reading {
    double weight = 0.0;
    std::optional<int> status;       // overrides the configured status when set
    std::optional<std::string> raw;  // bytes sent instead of an encoded frame when set

    friend bool operator==(const Reading&, const Reading&) = default;
};

class Script {
  public:
    struct Segment;

    static Script Steady(double weight);
    // Throws std::invalid_argument for negative seconds.
    static Script Ramp(double from, double to, double seconds);
    // Throws std::invalid_argument unless 0 <= step and min <= start <= max.
    static Script Walk(double start, double step, double min, double max, std::uint64_t seed);
    // One reading per slot, in order; ends after the last.
    static Script Lines(std::vector<Reading> readings);
    // Segments one after another; each starts its script at time 0. A segment ends after its
    // seconds or when its script ends, whichever comes first; the sequence ends after the last.
    static Script Sequence(std::vector<Segment> segments);

    Script(const Script& other);
    Script& operator=(const Script& other);
    Script(Script&&) noexcept;
    Script& operator=(Script&&) noexcept;
    ~Script();

    // The reading for the slot at t seconds; nullopt once the script has ended.
    std::optional<Reading> Next(double t);

  private:
    explicit Script(std::unique_ptr<detail::ScriptNode> node);
    std::unique_ptr<detail::ScriptNode> node_;
};

struct Script::Segment {
    Script script;
    double seconds;  // may be infinite
};

// Parses a script option string (format above). "file:PATH" reads the file now. Throws
// std::invalid_argument naming the fault in the string, or std::runtime_error when the file
// cannot be read.
Script ParseScript(std::string_view option);

// Parses the text of a script file (format above). Throws std::invalid_argument naming the line.
std::vector<Reading> ParseScriptLines(std::string_view text);

// Reads and parses a script file; a file without readings is an error.
Script LoadScriptFile(const std::string& path);

}  // namespace varnel::sim
