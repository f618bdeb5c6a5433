#include "tools/sim/demo.h"

#include <chrono>
#include <cmath>

namespace varnel::sim {

namespace {

constexpr double Length(const DemoStep& step) {
    return step.to - step.from;
}

}  // namespace

Config DemoSession() {
    const auto& t = kDemoTimeline;
    Config config;
    config.layout = Layout::Kilograms;
    config.script = Script::Sequence({
        {Script::Steady(0.0), Length(t[0])},
        {Script::Ramp(0.0, 1.32, 0.6), 0.6},
        {Script::Ramp(1.32, 1.25, 0.4), Length(t[1]) - 0.6},
        {Script::Walk(1.25, 0.003, 1.24, 1.26, 7), Length(t[2])},
        {Script::Ramp(1.25, 2.50, Length(t[3])), Length(t[3])},
        {Script::Walk(2.50, 0.003, 2.49, 2.51, 11), t[6].to - t[4].from},
    });
    config.status.windows.push_back(StatusWindow{1, t[3].from, t[3].to});

    Fault silence;
    silence.kind = FaultKind::Silence;
    silence.when = FaultTrigger{FaultTrigger::Kind::AtTime, 0, t[5].from};
    silence.silence = std::chrono::milliseconds(std::lround(Length(t[5]) * 1000.0));
    config.faults.push_back(silence);
    return config;
}

}  // namespace varnel::sim
