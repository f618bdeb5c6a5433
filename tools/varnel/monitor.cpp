// varnel monitor: opens the scale and prints every OnScaleComm event until Ctrl-C or SIGTERM, or
// until a limit the options set (--count, --timeout, --exit-on-lost).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "control/errors.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/output.h"
#include "tools/varnel/reading.h"
#include "tools/varnel/session.h"
#include "tools/varnel/units.h"

namespace varnel::cli {

namespace {

// Writes one whole line with one system call, so that a reader sees it at once; false when
// stdout is gone.
bool Emit(std::string line) {
    line += '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int RunMonitor(const MonitorOptions& o) {
    std::unique_ptr<Session> session;
    try {
        session = std::make_unique<Session>(o.link);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    }
    Session& s = *session;
    Varnel& control = s.Control();
    if (auto notify = ParseNotify(o.notify)) control.SetWtNotification(*notify);

    // What arrived since the last valid weight, for the --timeout message.
    ReadWatcher watcher(1);
    auto armTimeout = [&] {
        if (o.timeout <= 0) return;
        s.ArmDeadline(std::chrono::duration<double>(o.timeout), [&] {
            std::fprintf(stderr, "varnel: no valid weight for %g s from %s: %s\n", o.timeout,
                         s.Device().c_str(), watcher.WhatWasSeen().c_str());
            s.Stop(kExitTimeout);
        });
    };
    // Each distinct reason for failing to open is told once, until the port opens again; those
    // found by the first ScaleOpen follow its own line.
    std::set<std::string> openErrorsTold;
    std::vector<std::string> openErrorsHeld;
    bool started = false;
    auto tellOpenError = [&](const std::string& line) {
        if (!o.json) {
            std::fprintf(stderr, "varnel: %s\n", line.c_str());
        } else if (!Emit(line)) {
            s.Loop().Post([&s] { s.Stop(1); });  // not inside the control's own opening
        }
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
        if (!Emit(o.json ? JsonLine(r) : HumanLine(ClockNow(), r))) return s.Stop(1);
        if (o.timeout > 0) watcher.Add(r);  // only the --timeout message reads it
        if (r.valid) {
            if (o.timeout > 0) watcher = ReadWatcher(1);
            armTimeout();
            if (o.count > 0 && ++validWeights >= o.count) return s.Stop(0);
        }
        if (o.exitOnLost && r.scaleCommEvent == scale_event::kCommLost) {
            std::fprintf(stderr, "varnel: the link to %s was lost (--exit-on-lost)\n",
                         s.Device().c_str());
            s.Stop(kExitLost);
        }
    });
    s.Scale().Container().SubscribeErrors([](const AutomationError& e) {
        std::fprintf(stderr, "varnel: error %d: %s\n", e.Number(), e.what());
    });

    if (s.DefaultPort() && !o.json)
        std::fprintf(stderr, "varnel: opening %s\n", s.PortText().c_str());
    std::int16_t result = 0;
    try {
        result = s.Open();
    } catch (const AutomationError& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    }
    if (o.json) {
        Emit("{\"ScaleOpen\":" + std::to_string(result) + "}");
    } else {
        Emit(ClockNow() + "  " +
             (result == 1 ? "opened " : "cannot open yet, retrying every 3 s: ") + s.Device() +
             " (port " + std::to_string(control.CommPort()) + ")");
    }
    started = true;
    for (const auto& line : openErrorsHeld)
        tellOpenError(line);
    openErrorsHeld.clear();
    armTimeout();
    return s.Run();
}

}  // namespace varnel::cli
