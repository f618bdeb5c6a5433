// The built-in demonstration: about 12 s of a kilogram scale, showing readings, a status
// change, a lost link and its recovery.
//
// Timeline (seconds from the start):
//   0.0 -  1.0  empty scale, 0.00 kg
//   1.0 -  2.0  a load is placed: the weight rises to 1.32 kg in 0.6 s and settles to 1.25 kg
//   2.0 -  4.0  steady readings around 1.25 kg (1.24 .. 1.26)
//   4.0 -  5.0  the load is changed: motion, status nibble 1, weight moving to 2.50 kg
//   5.0 -  6.5  the new weight, around 2.50 kg (2.49 .. 2.51), status 0
//   6.5 -  8.0  silence: nothing is sent; the receiver's 1 s watchdog trips near 7.5 s and the
//               3 s reconnect cycle starts
//   8.0 - 12.5  readings around 2.50 kg again, long enough for the reconnect near 10.5 s to
//               pick them up
// kDemoTimeline holds the same steps for narration; the configuration is built from it.
#pragma once

#include <array>
#include <string_view>

#include "tools/sim/simulator.h"

namespace varnel::sim {

struct DemoStep {
    double from;  // seconds from the start
    double to;
    std::string_view what;
};

inline constexpr std::array<DemoStep, 7> kDemoTimeline = {{
    {0.0, 1.0, "empty scale: 0.00 kg"},
    {1.0, 2.0, "load placed: the weight rises and settles"},
    {2.0, 4.0, "steady readings around 1.25 kg"},
    {4.0, 5.0, "load changed: motion (status 1), weight moving to 2.50 kg"},
    {5.0, 6.5, "new weight around 2.50 kg"},
    {6.5, 8.0, "silence: the receive watchdog trips after 1 s, reconnect cycle starts"},
    {8.0, 12.5, "readings again: the control reconnects and reports them"},
}};

// The demonstration's configuration: kilograms, line-rate period, ends after 12.5 s.
Config DemoSession();

}  // namespace varnel::sim
