// The fixed face size, the registered status flags and the hosted components' design state.
#include <gtest/gtest.h>

#include "control/surface.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using Size = std::pair<float, float>;

// A container that keeps the control's extent and answers every change of it with a resize
// call, as a designer does; `always` also answers a size the control already has.
class SizingContainer : public RecordingContainer {
  public:
    Varnel* control = nullptr;
    Size extent{1000.0f, 1000.0f};
    bool always = false;
    int resizes = 0;

    void SetOwnSize(float w, float h) override {
        RecordingContainer::SetOwnSize(w, h);
        const bool changed = extent != Size{w, h};
        extent = {w, h};
        if ((changed || always) && control && resizes < 100) {
            ++resizes;
            control->UserControl_Resize();
        }
    }
};

struct SizingHarness {
    VirtualClock clock;
    SizingContainer container;
    ScriptedSystem system;
    std::unique_ptr<Varnel> ctl;
    SizingHarness() {
        ctl = std::make_unique<Varnel>(container, system,
                                       HostedComponents{std::make_unique<ScriptedComm>(),
                                                        std::make_unique<VirtualTimer>(clock),
                                                        std::make_unique<VirtualTimer>(clock)});
        container.control = ctl.get();
    }
};

TEST(SurfaceTest, EveryResizeSetsTheFixedFaceSizeAndTheChainEnds) {
    for (bool always : {false, true}) {
        for (bool userMode : {false, true}) {
            SizingHarness h;
            h.container.always = always;
            h.container.userMode = userMode;
            h.container.extent = {2000.0f, 300.0f};  // dragged larger in the designer
            h.ctl->UserControl_Resize();
            EXPECT_EQ(h.container.extent, (Size{540.0f, 488.0f}));
            // The size it already has raises one more resize at most, which stops there.
            EXPECT_LE(h.container.resizes, 1);
            h.ctl->UserControl_Resize();
            EXPECT_EQ(h.container.sizes.back(), (Size{540.0f, 488.0f}));
            EXPECT_EQ(h.container.sizes.size(), 2u);
        }
    }
}

TEST(SurfaceTest, AFailingSizeChangeReachesTheHostAndTheNextResizeStillWorks) {
    struct Failing : RecordingContainer {
        bool fail = true;
        void SetOwnSize(float w, float h) override {
            if (fail) throw AutomationError(5, "Invalid procedure call or argument");
            RecordingContainer::SetOwnSize(w, h);
        }
    };
    Failing container;
    VirtualClock clock;
    ScriptedSystem system;
    Varnel ctl(
        container, system,
        HostedComponents{std::make_unique<ScriptedComm>(), std::make_unique<VirtualTimer>(clock),
                         std::make_unique<VirtualTimer>(clock)});
    EXPECT_THROW(ctl.UserControl_Resize(), AutomationError);
    container.fail = false;
    ctl.UserControl_Resize();
    EXPECT_EQ(container.sizes, (std::vector<Size>{{540.0f, 488.0f}}));
}

TEST(SurfaceTest, HostedComponentsStartWithTheirDesignSettings) {
    Harness h;
    EXPECT_FALSE(h.reconnect->Enabled());
    EXPECT_EQ(h.reconnect->Interval(), surface::kTimerSettings[0].interval);
    EXPECT_FALSE(h.watchdog->Enabled());
    EXPECT_EQ(h.watchdog->Interval(), surface::kTimerSettings[1].interval);

    surface::ApplyCommDesignSettings(*h.comm);
    EXPECT_EQ(h.comm->Settings(), "2400,N,8,2");
    EXPECT_FALSE(h.comm->IsOpen());
}

}  // namespace
}  // namespace varnel::testing
