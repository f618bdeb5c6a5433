// The simulated scale: a deterministic, timed byte stream built from a configuration.
//
// The simulator reads no clock. Every frame slot n is due at n times the period from the start;
// Next() hands out the chunks to write, in time order, each with its offset. A pacer (pacer.h)
// writes them at those times.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/detail.h"
#include "tools/sim/encode.h"
#include "tools/sim/faults.h"
#include "tools/sim/script.h"

namespace varnel::sim {

// One frame at the line rate: 2400 baud 8N2 is 11 bits a character, 10 characters a frame.
inline constexpr std::chrono::nanoseconds kLinePeriod{45'833'333};

// The status nibble over time: `base`, except inside a window [from, to) seconds, where the first
// window that holds the time gives it.
//
// Option string (ParseStatusSchedule): BASE[,N@FROM-TO]...
//   "0"                  status 0 throughout
//   "0,1@3.0-4.0"        status 1 from 3.0 s up to 4.0 s, else 0 ("motion")
//   "0,1@3-4,2@8-8.5"    several windows
//   "1@3-4"              the base may be left out; it is then 0
// Nibbles are 0..15.
struct StatusWindow {
    int status = 0;
    double from = 0.0;
    double to = 0.0;
};

struct StatusSchedule {
    int base = 0;
    std::vector<StatusWindow> windows;

    int At(double seconds) const;
};

// Throws std::invalid_argument naming what is wrong in the string.
StatusSchedule ParseStatusSchedule(std::string_view option);

struct Config {
    Layout layout = Layout::Kilograms;
    StatusSchedule status;  // for readings that carry no status of their own
    Script script = Script::Steady(0.0);
    std::vector<Fault> faults;  // several firing on one slot apply in this order
    std::chrono::nanoseconds period = kLinePeriod;
    std::string filler = "  ";  // the two characters after the status byte
    std::uint64_t seed = 1;     // for garbage bytes
};

// Bytes to write in one write(), and when.
struct Chunk {
    std::chrono::nanoseconds at{0};  // offset from the start
    std::string bytes;               // empty only for the marker at the start of a silence
    bool frame = false;              // the slot's frame, possibly reshaped by a fault
    std::uint64_t slot = 0;          // the frame slot it belongs to
    std::vector<FaultKind> faults;   // faults injected by this chunk

    friend bool operator==(const Chunk&, const Chunk&) = default;
};

class Simulator {
  public:
    // Throws std::invalid_argument for a period <= 0, a filler that is not two characters or a
    // status outside 0..15.
    explicit Simulator(Config config);

    // The next chunk, in time order; nullopt once the script has ended. Per slot: a silence
    // marker (when a silence starts there), the frame (unless silent), then any garbage, half a
    // period after the frame.
    std::optional<Chunk> Next();

    const Config& config() const { return config_; }

  private:
    void ProduceSlot();

    Config config_;
    std::deque<Chunk> pending_;
    std::uint64_t slot_ = 0;
    std::chrono::nanoseconds silentUntil_{-1};
    detail::Random random_;
    bool ended_ = false;
};

}  // namespace varnel::sim
