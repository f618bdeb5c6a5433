// CR written to the line -> the container's OnScaleComm sink, for Varnel.ocx created by its
// ProgID and sited in a container of our own (under Wine, through run_on_com_ports.sh, with the
// control registered). The sink reads ScaleCommEvent and RawWt through the interface, as a host's
// handler would. The path is win32_latency's plus the connection point and IDispatch::Invoke.
//   ocx_latency [FRAMES]
#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/ocx/com_helpers.h"
#include "tests/win32/latency_common.h"

int main(int argc, char** argv) {
    using namespace varnel::testing;
    using namespace varnel::testing::latency;
    const auto count = static_cast<std::size_t>(argc > 1 ? std::max(1, std::atoi(argv[1])) : 500);
    const int controlPort = PortFromEnv("VARNEL_TEST_CONTROL_PORT");
    const int scalePort = PortFromEnv("VARNEL_TEST_SCALE_PORT");
    if (controlPort <= 0 || scalePort <= 0) {
        std::fprintf(stderr, "run this program through tests/win32/run_on_com_ports.sh\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    int rc = 1;
    {
        Sited s;
        if (!s.control) {
            std::fprintf(stderr, "Varnel_OCX.Varnel is not registered\n");
            CoUninitialize();
            return 1;
        }
        IVarnel* control = s.control.Get();
        control->put_CommPort(static_cast<short>(controlPort));
        Times sent(count), got(count);
        std::size_t received = 0;
        s.events->onEvent = [&] {
            const auto now = Clock::now();
            short event = 0;
            Bstr raw;
            if (control->get_ScaleCommEvent(&event) != S_OK || event != 1) return;
            if (control->get_RawWt(&raw.b) != S_OK) return;
            const auto i = static_cast<std::size_t>(std::atoi(raw.Text().c_str()));
            if (i < count) got[i] = now;
            ++received;
        };
        short connect = -1, opened = 0;
        if (control->ScaleOpen(&connect, &opened) != S_OK || opened != 1) {
            std::fprintf(stderr, "the control could not open COM%d\n", controlPort);
        } else {
            WriteAndPump(scalePort, sent, received);
            rc = Report("CR -> OnScaleComm sink (Varnel.ocx through COM under Wine)", sent, got)
                     ? 0
                     : 1;
            connect = 0;
            control->ScaleOpen(&connect, &opened);
        }
    }
    CoUninitialize();
    return rc;
}
