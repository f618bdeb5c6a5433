// CR written to the line -> the host's OnScaleComm handler, for a control on the Win32 runtime
// (under Wine, run through run_on_com_ports.sh). A writer thread writes each frame's first nine
// characters into the scale's port, then after a pause its CR, noting when; the handler notes
// when it ran. The path includes the cable: socat copying between two pseudo-terminals.
//   win32_latency [FRAMES]
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/win32/runtime.h"
#include "tests/fakes/recording_container.h"
#include "tests/win32/latency_common.h"

int main(int argc, char** argv) {
    using namespace varnel;
    using namespace varnel::testing::latency;
    const auto count = static_cast<std::size_t>(argc > 1 ? std::max(1, std::atoi(argv[1])) : 500);
    const int controlPort = testing::PortFromEnv("VARNEL_TEST_CONTROL_PORT");
    const int scalePort = testing::PortFromEnv("VARNEL_TEST_SCALE_PORT");
    if (controlPort <= 0 || scalePort <= 0) {
        std::fprintf(stderr, "run this program through tests/win32/run_on_com_ports.sh\n");
        return 2;
    }
    win32::Runtime runtime;
    testing::RecordingContainer container;
    Varnel control(container, runtime.Services(), runtime.MakeHostedComponents());
    control.SetCommPort(static_cast<std::int16_t>(controlPort));
    Times sent(count), got(count);
    std::size_t received = 0;
    container.onScaleComm = [&] {
        const auto now = Clock::now();
        if (control.ScaleCommEvent() != 1) return;
        const auto i = static_cast<std::size_t>(std::stoi(control.RawWt()));
        if (i < count) got[i] = now;
        ++received;
    };
    std::int16_t open = -1;
    if (control.ScaleOpen(open) != 1) {
        std::fprintf(stderr, "the control could not open COM%d\n", controlPort);
        return 1;
    }
    WriteAndPump(scalePort, sent, received);
    return Report("CR -> OnScaleComm handler (Win32 runtime under Wine)", sent, got) ? 0 : 1;
}
