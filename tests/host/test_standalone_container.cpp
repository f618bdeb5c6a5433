// The standalone container: subscriber lists that handlers change while they run, and the About
// display.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/varnel.h"
#include "host/standalone_container.h"
#include "pages/about_dialog.h"
#include "tests/fakes/scripted_comm.h"
#include "tests/fakes/scripted_system.h"
#include "tests/fakes/virtual_clock.h"

namespace varnel::testing {
namespace {

using host::StandaloneContainer;
using host::SubscriptionId;

TEST(StandaloneContainerTest, HandlersMaySubscribeAndUnsubscribeDuringARaise) {
    using Call = std::function<void()>;
    struct Kind {
        const char* name;
        std::function<SubscriptionId(StandaloneContainer&, Call)> subscribe;
        std::function<void(StandaloneContainer&)> raise;
    };
    const Kind kinds[] = {
        {"OnScaleComm", [](StandaloneContainer& c, Call f) { return c.SubscribeScaleComm(f); },
         [](StandaloneContainer& c) { c.RaiseOnScaleComm(); }},
        {"property changes",
         [](StandaloneContainer& c, Call f) {
             return c.SubscribePropertyChanged([f](std::string_view) { f(); });
         },
         [](StandaloneContainer& c) { c.PropertyChanged("RawWt"); }},
        {"errors",
         [](StandaloneContainer& c, Call f) {
             return c.SubscribeErrors([f](const AutomationError&) { f(); });
         },
         [](StandaloneContainer& c) { c.EventError(AutomationError(8005, "Port already open")); }},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        StandaloneContainer c;
        std::string calls;
        SubscriptionId first = 0, second = 0;
        // The first subscriber adds enough others to move any vector, then removes the next one
        // and itself; the one it removes must not run, the new ones wait for the next raise.
        first = k.subscribe(c, [&] {
            calls += 'A';
            for (int i = 0; i < 64; ++i)
                k.subscribe(c, [&] { calls += 'n'; });
            EXPECT_TRUE(c.Unsubscribe(second));
            EXPECT_TRUE(c.Unsubscribe(first));
            EXPECT_FALSE(c.Unsubscribe(first));
        });
        second = k.subscribe(c, [&] { calls += 'B'; });
        k.raise(c);
        EXPECT_EQ(calls, "A");
        calls.clear();
        k.raise(c);
        EXPECT_EQ(calls, std::string(64, 'n'));
    }
}

TEST(StandaloneContainerTest, AnAboutBoxCalledDuringTheDisplayShowsItsOwnDialog) {
    VirtualClock clock;
    ScriptedSystem system;
    StandaloneContainer container;
    Varnel control(
        container, system,
        HostedComponents{std::make_unique<ScriptedComm>(), std::make_unique<VirtualTimer>(clock),
                         std::make_unique<VirtualTimer>(clock)});
    std::vector<std::string> versions;
    int displays = 0;
    container.SetAboutBoxHandler([&](pages::AboutDialog& dialog) {
        versions.push_back(dialog.lblVersion());
        dialog.cmdClose_Click();
        // As an OnScaleComm handler would during the modal display, after Close was pressed.
        if (++displays == 1) control.AboutBox();
        EXPECT_FALSE(dialog.Loaded());
    });
    control.AboutBox();
    EXPECT_EQ(versions, (std::vector<std::string>{"(3.0)", "(3.0)"}));
}

}  // namespace
}  // namespace varnel::testing
