// varnel monitor: opens the scale and prints every OnScaleComm event until Ctrl-C, SIGTERM or
// SIGHUP, or until a limit the options set (--count, --timeout, --exit-on-lost).
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "control/errors.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/line_writer.h"
#include "tools/varnel/output.h"
#include "tools/varnel/reading.h"
#include "tools/varnel/session.h"
#include "tools/varnel/units.h"

namespace varnel::cli {

int RunMonitor(const MonitorOptions& o) {
    // A form that cannot be loaded throws: the top level prints it and exits 1.
    Session s(o.link);
    Varnel& control = s.Control();
    if (auto notify = ParseNotify(o.notify)) control.SetWtNotification(*notify);

    // Output never blocks the loop: a reader that stops reading cannot hold up the control or a
    // stop request.
    LineWriter out(s.Loop().Context(), STDOUT_FILENO);
    LineWriter err(s.Loop().Context(), STDERR_FILENO);
    // Not inside the control's own calls (an opening, an event): from the loop.
    out.onError = [&s](int) { s.Loop().Post([&s] { s.Stop(1); }); };
    out.onDrained = [&err](std::uint64_t dropped) {
        err.Write("varnel: stdout was not read; " + std::to_string(dropped) +
                  " lines were dropped");
    };

    // What arrived since the last valid weight, for the --timeout message.
    ReadWatcher watcher(1);
    auto armTimeout = [&] {
        if (o.timeout <= 0) return;
        s.ArmDeadline(std::chrono::duration<double>(o.timeout), [&] {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", o.timeout);
            err.Write(std::string("varnel: no valid weight for ") + limit + " s from " +
                      s.Device() + ": " + watcher.WhatWasSeen());
            s.Stop(kExitTimeout);
        });
    };
    // Each distinct reason for failing to open is told once, until the port opens again; those
    // found by the first ScaleOpen follow its own line.
    std::set<std::string> openErrorsTold;
    std::vector<std::string> openErrorsHeld;
    bool started = false;
    auto tellOpenError = [&](const std::string& line) {
        if (o.json)
            out.Write(line);
        else
            err.Write("varnel: " + line);
    };
    s.Scale().SubscribeOpenFailure([&](const posix::OpenFailure& f) {
        watcher.Failure(f);
        if (!openErrorsTold.insert(f.reason).second) return;
        std::string line = o.json ? OpenErrorJson(f) : OpenErrorText(f);
        if (started) {
            tellOpenError(line);
        } else {
            openErrorsHeld.push_back(std::move(line));
        }
    });
    int validWeights = 0;
    EventRecord r;  // filled again for every event
    s.Scale().Container().SubscribeScaleComm([&] {
        if (!openErrorsTold.empty() && !s.Scale().LastOpenFailure()) openErrorsTold.clear();
        if (control.ScaleCommEvent() == scale_event::kCommRestored) s.Refresh();
        r.Fill(control, s.Device());
        if (!out.Write(o.json ? JsonLine(r) : HumanLine(ClockNow(), r))) return;
        if (o.timeout > 0) watcher.Add(r);  // only the --timeout message reads it
        if (r.valid) {
            if (o.timeout > 0) watcher = ReadWatcher(1);
            armTimeout();
            if (o.count > 0 && ++validWeights >= o.count) return s.Stop(0);
        }
        if (o.exitOnLost && r.scaleCommEvent == scale_event::kCommLost) {
            err.Write("varnel: the link to " + s.Device() + " was lost (--exit-on-lost)");
            s.Stop(kExitLost);
        }
    });
    s.Scale().Container().SubscribeErrors([&err](const AutomationError& e) {
        err.Write("varnel: error " + std::to_string(e.Number()) + ": " + Printable(e.what()));
    });

    if (s.DefaultPort() && !o.json) err.Write("varnel: opening " + s.PortText());
    std::int16_t result = 0;
    try {
        result = s.Open();
    } catch (const AutomationError& e) {
        err.Write(std::string("varnel: ") + e.what());
        err.TryFlush();
        return 1;
    }
    if (o.json) {
        out.Write("{\"ScaleOpen\":" + std::to_string(result) + "}");
    } else {
        out.Write(ClockNow() + "  " +
                  (result == 1 ? "opened " : "cannot open yet, retrying every 3 s: ") + s.Device() +
                  " (port " + std::to_string(control.CommPort()) + ")");
    }
    started = true;
    for (const auto& line : openErrorsHeld)
        tellOpenError(line);
    openErrorsHeld.clear();
    armTimeout();
    const int code = s.Run();
    // What the readers take now; nothing waits for them.
    out.TryFlush();
    err.TryFlush();
    return code;
}

}  // namespace varnel::cli
