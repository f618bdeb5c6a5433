// varnel monitor: opens the scale and prints every OnScaleComm event until Ctrl-C or SIGTERM.
#include <unistd.h>
#include <boost/asio/signal_set.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

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
    if (auto units = UnitsFromName(o.units)) control.SetNetWtUnits(*units);
    if (auto notify = NotifyFromName(o.notify)) control.SetWtNotification(*notify);

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
    // Each distinct reason for failing to open is told once, until the port opens again; those
    // found by the first ScaleOpen follow its own line.
    std::set<std::string> openErrorsTold;
    std::vector<std::string> openErrorsHeld;
    bool started = false;
    auto tellOpenError = [&](const std::string& line) {
        if (!o.json) {
            std::fprintf(stderr, "varnel: %s\n", line.c_str());
        } else if (!Emit(line)) {
            stop(1);
        }
    };
    scale.SubscribeOpenFailure([&](const posix::OpenFailure& f) {
        if (!openErrorsTold.insert(f.reason).second) return;
        std::string line = o.json ? OpenErrorJson(f) : OpenErrorText(f);
        if (started) {
            tellOpenError(line);
        } else {
            openErrorsHeld.push_back(std::move(line));
        }
    });
    scale.Container().SubscribeScaleComm([&] {
        if (!openErrorsTold.empty() && !scale.LastOpenFailure()) openErrorsTold.clear();
        const EventRecord r = EventRecord::From(control);
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
    const std::string device = runtime.Ports().Resolve(control.CommPort());
    if (o.json) {
        Emit("{\"ScaleOpen\":" + std::to_string(result) + "}");
    } else {
        Emit(ClockNow() + "  " +
             (result == 1 ? "opened " : "cannot open yet, retrying every 3 s: ") + device +
             " (port " + std::to_string(control.CommPort()) + ")");
    }
    started = true;
    for (const auto& line : openErrorsHeld)
        tellOpenError(line);
    openErrorsHeld.clear();
    loop.Run();
    return exitCode;
}

}  // namespace varnel::cli
