// Cost of one valid frame through the control: ten receive events, the frame processing and the
// host's event, with doubles that record nothing.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/lean_doubles.h"
#include "control/null_system.h"
#include "control/varnel.h"

namespace varnel {
namespace {

using bench::LeanComm;
using bench::LeanContainer;
using bench::LeanTimer;

void BM_FrameThroughReceiver(benchmark::State& state) {
    LeanContainer container;
    NullSystem system;
    auto comm = std::make_unique<LeanComm>();
    LeanComm* port = comm.get();
    Varnel ctl(container, system,
               HostedComponents{std::move(comm), std::make_unique<LeanTimer>(),
                                std::make_unique<LeanTimer>()});
    ctl.SetNetWtUnits(static_cast<VN_UOM_ENUM>(state.range(0)));
    std::int16_t open = kTrue;
    ctl.ScaleOpen(open);

    // Alternating weights, so that either policy reports every frame.
    const std::string frames[2] = {std::string("\x02") + "0  01234\r",
                                   std::string("\x02") + "0  01235\r"};
    std::size_t i = 0;
    for (auto _ : state) {
        port->stream = &frames[i++ & 1];
        port->pos = 0;
        port->Pump();
    }
    if (container.raised != static_cast<std::int64_t>(state.iterations())) {
        state.SkipWithError("not every frame was reported");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameThroughReceiver)->Arg(vnPounds)->Arg(vnGrams);

}  // namespace
}  // namespace varnel

BENCHMARK_MAIN();
