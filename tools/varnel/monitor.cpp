// varnel monitor: opens the scale and prints every OnScaleComm event until Ctrl-C, SIGTERM or
// SIGHUP.
#include <unistd.h>

#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <string>

#include "control/errors.h"
#include "host/form_editor.h"
#include "host/scale.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/line_writer.h"
#include "tools/varnel/output.h"
#include "tools/varnel/units.h"

namespace varnel::cli {

int RunMonitor(const MonitorOptions& o) {
    std::signal(SIGPIPE, SIG_IGN);
    posix::EventLoop loop;
    posix::Runtime runtime(loop, o.systemDir.empty() ? posix::DefaultSystemDir() : o.systemDir);
    host::Scale scale(runtime);
    Varnel& control = scale.Control();

    try {
        if (o.form.empty()) {
            control.InitProperties();
        } else {
            host::LoadForm(o.form, control);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    }
    if (o.port != 0) control.SetCommPort(static_cast<std::int16_t>(o.port));
    if (!o.device.empty()) runtime.Ports().Bind(control.CommPort(), o.device);
    try {
        // A new policy or units converts the weight the form saved at once.
        if (auto units = UnitsFromName(o.units)) control.SetNetWtUnits(*units);
        if (auto notify = NotifyFromName(o.notify)) control.SetWtNotification(*notify);
    } catch (const AutomationError& e) {
        std::fprintf(stderr, "varnel: %s: the saved weight \"%s\" does not convert: %s\n",
                     o.form.empty() ? "--units" : o.form.c_str(),
                     Printable(control.RawWt()).c_str(), e.what());
        return 1;
    }

    // Output never blocks the loop: a reader that stops reading cannot hold up a stop request.
    LineWriter out(loop.Context(), STDOUT_FILENO);
    LineWriter err(loop.Context(), STDERR_FILENO);
    int exitCode = 0;
    bool stopped = false;
    auto stop = [&](int code) {
        if (stopped) return;
        stopped = true;
        exitCode = code;
        std::int16_t close = 0;
        try {
            control.ScaleOpen(close);
        } catch (const AutomationError& e) {
            err.Write(std::string("varnel: closing the port: ") + e.what());
        }
        loop.Stop();
    };
    out.onError = [&](int) { stop(1); };  // the reader has gone
    out.onDrained = [&](std::uint64_t dropped) {
        err.Write("varnel: stdout was not read; " + std::to_string(dropped) +
                  " lines were dropped");
    };
    scale.Container().SubscribeScaleComm([&] {
        const EventRecord r = EventRecord::From(control);
        out.Write(o.json ? JsonLine(r) : HumanLine(ClockNow(), r));
    });
    scale.Container().SubscribeErrors([&](const AutomationError& e) {
        err.Write("varnel: error " + std::to_string(e.Number()) + ": " + Printable(e.what()));
    });

    boost::asio::signal_set signals(loop.Context(), SIGINT, SIGTERM, SIGHUP);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (!ec) stop(0);
    });

    std::int16_t open = kTrue;
    std::int16_t result = 0;
    try {
        result = control.ScaleOpen(open);
    } catch (const AutomationError& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    }
    const std::string device = runtime.Ports().Resolve(control.CommPort());
    if (o.json) {
        out.Write("{\"ScaleOpen\":" + std::to_string(result) + "}");
    } else {
        out.Write(ClockNow() + "  " +
                  (result == 1 ? "opened " : "cannot open yet, retrying every 3 s: ") + device +
                  " (port " + std::to_string(control.CommPort()) + ")");
    }
    if (!stopped) loop.Run();
    // What the readers take now; nothing waits for them.
    out.TryFlush();
    err.TryFlush();
    return exitCode;
}

}  // namespace varnel::cli
