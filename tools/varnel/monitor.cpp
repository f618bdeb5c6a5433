// varnel monitor: opens the scale and prints every OnScaleComm event until Ctrl-C or SIGTERM.
#include <unistd.h>
#include <boost/asio/signal_set.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "control/errors.h"
#include "host/form_editor.h"
#include "host/scale.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/output.h"
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
    if (auto units = ParseUnits(o.units)) control.SetNetWtUnits(*units);
    if (auto notify = ParseNotify(o.notify)) control.SetWtNotification(*notify);

    int exitCode = 0;
    auto stop = [&](int code) {
        exitCode = code;
        std::int16_t close = 0;
        try {
            control.ScaleOpen(close);
        } catch (const AutomationError& e) {
            std::fprintf(stderr, "varnel: closing the port: %s\n", e.what());
        }
        loop.Stop();
    };
    std::string device = runtime.Ports().Resolve(control.CommPort());
    scale.Container().SubscribeScaleComm([&] {
        if (control.ScaleCommEvent() == scale_event::kCommRestored)
            device = runtime.Ports().Resolve(control.CommPort());
        const EventRecord r = EventRecord::From(control, device);
        if (!Emit(o.json ? JsonLine(r) : HumanLine(ClockNow(), r))) stop(1);
    });
    scale.Container().SubscribeErrors([](const AutomationError& e) {
        std::fprintf(stderr, "varnel: error %d: %s\n", e.Number(), e.what());
    });

    boost::asio::signal_set signals(loop.Context(), SIGINT, SIGTERM);
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
    device = runtime.Ports().Resolve(control.CommPort());
    if (o.json) {
        Emit("{\"ScaleOpen\":" + std::to_string(result) + "}");
    } else {
        Emit(ClockNow() + "  " +
             (result == 1 ? "opened " : "cannot open yet, retrying every 3 s: ") + device +
             " (port " + std::to_string(control.CommPort()) + ")");
    }
    loop.Run();
    return exitCode;
}

}  // namespace varnel::cli
