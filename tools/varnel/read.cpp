// varnel read: opens the scale, waits for one valid (optionally stable) weight, prints it once
// and closes the port.
#include <cstdio>
#include <string>

#include "control/errors.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/output.h"
#include "tools/varnel/reading.h"
#include "tools/varnel/session.h"

namespace varnel::cli {

namespace {

// "12.34 kg"; the control's own texts when the net units are outside the enum.
std::string WeightText(const EventRecord& r) {
    if (auto text = NetWtText(r)) return *text + " " + NetUnitsName(r.netWtUnits);
    return r.formattedWt + " " + std::string(RawUnitsName(r.rawWtUnits));
}

}  // namespace

int RunRead(const ReadOptions& o) {
    // A form that cannot be loaded throws: the top level prints it and exits 1.
    Session s(o.link);
    Varnel& control = s.Control();
    // Every frame counts towards a run of equal weights, whatever policy a form saved.
    control.SetWtNotification(vnEverytime);

    ReadWatcher watcher(o.stable);
    s.Scale().Container().SubscribeScaleComm([&] {
        if (control.ScaleCommEvent() == scale_event::kCommRestored) s.Refresh();
        watcher.Add(EventRecord::From(control, s.Device()));
        if (auto r = watcher.Result()) {
            const std::string line = o.json ? JsonLine(*r) : WeightText(*r);
            const bool written =
                std::fprintf(stdout, "%s\n", line.c_str()) > 0 && std::fflush(stdout) == 0;
            s.Stop(written ? 0 : 1);
        }
    });
    s.Scale().SubscribeOpenFailure([&](const posix::OpenFailure& f) { watcher.Failure(f); });
    s.Scale().Container().SubscribeErrors([](const AutomationError& e) {
        std::fprintf(stderr, "varnel: error %d: %s\n", e.Number(), e.what());
    });

    try {
        s.Open();
    } catch (const AutomationError& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    }
    s.ArmDeadline(std::chrono::duration<double>(o.timeout), [&] {
        const std::string what =
            o.stable > 1 ? "no weight stable for " + std::to_string(o.stable) + " frames"
                         : std::string("no valid weight");
        std::fprintf(stderr, "varnel: %s within %g s from %s: %s\n", what.c_str(), o.timeout,
                     s.Device().c_str(), watcher.WhatWasSeen().c_str());
        s.Stop(kExitTimeout);
    });
    return s.Run();
}

}  // namespace varnel::cli
