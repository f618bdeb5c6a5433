// One control wired to test doubles, with helpers to drive it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/varnel.h"
#include "tests/fakes/recording_container.h"
#include "tests/fakes/scripted_comm.h"
#include "tests/fakes/scripted_system.h"
#include "tests/fakes/virtual_clock.h"
#include "tests/support/test_util.h"

namespace varnel {

// Reads the control's private state.
class VarnelProbe {
  public:
    static std::int16_t RxState(const Varnel& v) { return v.m_RxState; }
    static const std::string& Frame(const Varnel& v) { return v.m_Frame; }
    static std::size_t FrameCapacity(const Varnel& v) { return v.m_Frame.capacity(); }
    static VBool DebugOn(const Varnel& v) { return v.m_DebugOn; }
    static const std::string& LogDir(const Varnel& v) { return v.m_LogDir; }
    static std::int16_t LastStatus(const Varnel& v) { return v.m_LastStatus; }
    static const std::string& LastRawWt(const Varnel& v) { return v.m_LastRawWt; }
    static float Pounds(const Varnel& v) { return v.m_Pounds; }
    static float Kilograms(const Varnel& v) { return v.m_Kilograms; }
    static float Grams(const Varnel& v) { return v.m_Grams; }
    static float Ounces(const Varnel& v) { return v.m_Ounces; }
};

namespace testing {

// The read-only properties as the host sees them inside its OnScaleComm handler.
struct Snapshot {
    std::int16_t event = 0;
    std::int16_t status = 0;
    std::int16_t rawUnits = 0;
    std::string rawWt;
    std::string formatted;
    float netWt = 0.0f;
    std::int16_t connect = 0;
};

class Harness {
  public:
    VirtualClock clock;
    RecordingContainer container;
    ScriptedSystem system;
    ScriptedComm* comm = nullptr;
    VirtualTimer* reconnect = nullptr;
    VirtualTimer* watchdog = nullptr;
    std::unique_ptr<Varnel> ctl;
    std::vector<Snapshot> events;

    Harness() {
        auto c = std::make_unique<ScriptedComm>();
        auto r = std::make_unique<VirtualTimer>(clock);
        auto w = std::make_unique<VirtualTimer>(clock);
        comm = c.get();
        reconnect = r.get();
        watchdog = w.get();
        ctl = std::make_unique<Varnel>(container, system,
                                       HostedComponents{std::move(c), std::move(r), std::move(w)});
        container.onScaleComm = [this] { events.push_back(Snap()); };
    }

    Snapshot Snap() const {
        return Snapshot{ctl->ScaleCommEvent(), ctl->ScaleStatus(), ctl->RawWtUnits(),
                        ctl->RawWt(),          ctl->FormattedWt(), *ctl->NetWt().R4(),
                        ctl->ConnectStatus()};
    }

    std::int16_t ScaleOpen(std::int16_t value) { return ctl->ScaleOpen(value); }
    std::int16_t Open() { return ScaleOpen(kTrue); }
    std::int16_t Close() { return ScaleOpen(kFalse); }
    void Feed(std::string_view bytes) { comm->Deliver(bytes); }

    std::vector<std::int16_t> EventCodes() const {
        std::vector<std::int16_t> codes;
        for (const auto& e : events)
            codes.push_back(e.event);
        return codes;
    }

    std::string Dir() const { return system.windowsDir + system.separator; }
    std::string LogPath() const { return Dir() + kDebugLogFile; }
    std::vector<std::string> Log() const { return system.Lines(LogPath()); }
    void ClearLog() { system.written.clear(); }
    // Places the debug marker and opens once, so that logging is on from the next call.
    void OpenWithLogging() {
        system.AddFile(Dir() + kDebugMarkerFile);
        Open();
    }
};

}  // namespace testing
}  // namespace varnel
