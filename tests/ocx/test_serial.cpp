// Varnel.ocx on a serial line under Wine, through COM: two COM ports joined by a null-modem cable
// of pseudo-terminals (tests/win32/run_on_com_ports.sh), the test writing the scale's side and
// receiving the control's events in a container of its own. The runtime scenarios on a rig of its
// own, and the control's lifetime. Needs the control registered.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/ocx/com_helpers.h"
#include "tests/win32/wine_rig.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;

short OpenOn(IVarnel* control, short connectassert = -1) {
    short result = -9;
    EXPECT_EQ(control->ScaleOpen(&connectassert, &result), S_OK);
    return result;
}

class ComRig : public WineRig {
  public:
    ComRig() {
        if (!s.control) throw std::runtime_error("Varnel_OCX.Varnel is not registered");
        s.events->onEvent = [this] {
            Seen x;
            IVarnel* c = s.control.Get();
            Bstr raw, formatted;
            Var netWt;
            c->get_ScaleCommEvent(&x.event);
            c->get_RawWtUnits(&x.rawUnits);
            c->get_RawWt(&raw.b);
            c->get_FormattedWt(&formatted.b);
            c->get_NetWt(&netWt.v);
            c->get_ConnectStatus(&x.connect);
            x.rawWt = raw.Text();
            x.formatted = formatted.Text();
            x.netWt = V_VT(&netWt.v) == VT_R4 ? V_R4(&netWt.v) : -1.0f;
            Record(x);
        };
        EXPECT_EQ(s.control->put_CommPort(port), S_OK);
    }

    std::int16_t ScaleOpen(std::int16_t connectassert) override {
        return OpenOn(s.control.Get(), connectassert);
    }
    std::int16_t ConnectStatus() override {
        short connect = -1;
        EXPECT_EQ(s.control->get_ConnectStatus(&connect), S_OK);
        return connect;
    }
    void SetNetWtUnits(std::int32_t units) override {
        EXPECT_EQ(s.control->put_NetWtUnits(static_cast<VN_UOM_ENUM>(units)), S_OK);
    }
    // The control's interface has no time limit for the initialiser: it keeps its default.
    bool SetPortInitTimeout(std::uint32_t) override { return false; }
    // The control writes them to the debugger: "Varnel: error <number> in an event handler: ...".
    std::vector<std::int32_t> EventErrors() override {
        constexpr std::string_view head = "Varnel: error ", tail = " in an event handler: ";
        std::vector<std::int32_t> out;
        for (const std::string& line : debug.Lines()) {
            if (line.rfind(head, 0) != 0) continue;
            const std::size_t end = line.find(tail);
            out.push_back(end == std::string::npos
                              ? -1
                              : std::stoi(line.substr(head.size(), end - head.size())));
        }
        return out;
    }
    // The control's runtime is inside the control.
    std::optional<std::size_t> OpenProcesses() override { return std::nullopt; }

    Sited s;
};

INSTANTIATE_TEST_SUITE_P(Com, RuntimeScenario, ::testing::Values(RigOf<ComRig>("ocx")));

using ComTest = OnRig<ComRig>;

TEST_F(ComTest, ReleasingOrClosingTheControlClosesThePortAndStopsTheTimers) {
    for (const bool inHandler : {false, true}) {
        SCOPED_TRACE(inHandler ? "released inside its OnScaleComm handler" : "released");
        Sited other;
        other.control->put_CommPort(rig.port);
        ASSERT_EQ(OpenOn(other.control.Get()), 1);
        IVarnel* raw = other.control.Detach();
        As<IOleObject>(ComPtr<IVarnel>(raw), IID_IOleObject)->SetClientSite(nullptr);
        if (inHandler) {
            other.events->onEvent = [&] {
                if (other.events->events == 1) raw->Release();
            };
            rig.Write(Frame('0', "00005") + Frame('0', "00006"));
            ASSERT_TRUE(PumpUntil([&] { return other.events->events > 0; }, 3s));
        } else {
            raw->Release();
        }
        // The control is gone (it held the sinks), and nothing ticks into it: not the watchdog
        // within its second, not a character still on its way.
        EXPECT_EQ(other.events->Refs(), 1);
        EXPECT_EQ(other.notify->Refs(), 1);
        PumpFor(1500ms);
        EXPECT_EQ(other.events->events, inHandler ? 1 : 0);
        EXPECT_EQ(rig.OpenElsewhere(), 0);
        rig.DropScaleSide();
    }
    // IOleObject::Close, the control still held: the same, before the container lets go.
    Sited other;
    other.control->put_CommPort(rig.port);
    ASSERT_EQ(OpenOn(other.control.Get()), 1);
    rig.Write(Frame('0', "00005"));
    ASSERT_TRUE(PumpUntil([&] { return other.events->events > 0; }, 3s));
    const int events = other.events->events;
    EXPECT_EQ(As<IOleObject>(other.control, IID_IOleObject)->Close(OLECLOSE_NOSAVE), S_OK);
    PumpFor(1500ms);
    EXPECT_EQ(other.events->events, events);  // no watchdog
    EXPECT_EQ(rig.OpenElsewhere(), 0);
}

}  // namespace
}  // namespace varnel::testing
