// Arbitrary byte streams, event codes, openings, closings, units changes and elapsed time through
// the control, under both notification policies and every units value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "datapath/frame.h"
#include "tests/fakes/harness.h"

using namespace varnel;
using namespace varnel::testing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Harness h;
    h.comm->record = false;
    h.container.onScaleComm = nullptr;
    h.ctl->SetWtNotification(static_cast<VN_NOTIFY_ENUM>(data[0] & 1));
    h.ctl->SetNetWtUnits(static_cast<VN_UOM_ENUM>((data[0] >> 1) % 6 - 1));
    if (data[0] & 0x80) h.system.AddFile(h.Dir() + kDebugMarkerFile);
    h.Open();

    std::string burst;
    auto flush = [&] {
        h.Feed(burst);
        burst.clear();
    };
    for (std::size_t i = 1; i < size; ++i) {
        const std::uint8_t b = data[i];
        const bool more = i + 1 < size;
        switch (b) {
            case 0xF0:  // end of a burst of characters that arrive together
                flush();
                break;
            case 0xF1:  // a component event with a chosen code
                if (i + 2 < size) {
                    flush();
                    h.comm->Raise(static_cast<std::int16_t>(data[i + 1] << 8 | data[i + 2]));
                    i += 2;
                }
                break;
            case 0xF2:
                flush();
                h.ScaleOpen(static_cast<std::int16_t>(more ? -(data[++i] & 1) : -1));
                break;
            case 0xF3:
                if (more) {
                    flush();
                    try {
                        h.ctl->SetNetWtUnits(static_cast<VN_UOM_ENUM>(data[++i] % 6 - 1));
                    } catch (const AutomationError&) {
                        // A stored weight that is not a number: reported to the caller.
                    }
                }
                break;
            case 0xF4:
                if (more) {
                    flush();
                    h.clock.Advance(data[++i] * 20);
                }
                break;
            case 0xF5:
                if (more) {
                    flush();
                    h.ctl->SetWtNotification(static_cast<VN_NOTIFY_ENUM>(data[++i] % 3));
                }
                break;
            default:
                burst += static_cast<char>(b);
                break;
        }
    }
    flush();
    // The partial frame never grows past one character more than a valid frame.
    if (VarnelProbe::Frame(*h.ctl).size() > frame::kLength + 1) std::abort();
    const std::int16_t code = h.ctl->ScaleCommEvent();
    if (code < 0 || code > 4) std::abort();
    return 0;
}
