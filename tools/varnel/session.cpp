#include "tools/varnel/session.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <stdexcept>

#include "control/errors.h"
#include "host/form_editor.h"
#include "tools/varnel/output.h"
#include "tools/varnel/units.h"

namespace varnel::cli {

namespace {

CLI::Validator PortNumber() {
    return CLI::Validator(
        [](std::string& v) {
            int n = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec == std::errc() && end == v.data() + v.size() && n >= 1 && n <= 255)
                return std::string();
            return "\"" + v + "\" is not a port number; give 1 to 255, or a device with --device";
        },
        "1-255");
}

}  // namespace

void AddLinkOptions(CLI::App& command, LinkOptions& o) {
    auto* device = command.add_option("--device", o.device, "Serial device or pseudo-terminal");
    command
        .add_option("--port", o.port,
                    "Port number 1-255 (<system dir>/com<n>, else /dev/ttyS<n-1>)")
        ->check(PortNumber())
        ->excludes(device);
    command
        .add_option("--units", o.units,
                    "Units of NetWt: lb, kg, g or oz (default pounds, or the form's)")
        ->check(CLI::Validator(
            [](std::string& v) {
                return ParseUnits(v) ? std::string()
                                     : "\"" + v + "\" is not a unit; use " + kUnitsChoices;
            },
            "UNITS"));
    command.add_option("--form", o.form, "Load the settings saved in this form file first");
    command.add_option("--system-dir", o.systemDir,
                       "System directory (marker, log, initialiser; default $VARNEL_SYSTEM_DIR "
                       "or /var/lib/varnel)");
}

Session::Session(const LinkOptions& o)
    : runtime_(loop_, o.systemDir.empty() ? posix::DefaultSystemDir() : o.systemDir),
      scale_(runtime_),
      signals_(loop_.Context(), SIGINT, SIGTERM, SIGHUP),
      deadline_(loop_.Context()),
      defaultPort_(o.device.empty() && o.port == 0 && o.form.empty()) {
    std::signal(SIGPIPE, SIG_IGN);
    Varnel& control = scale_.Control();
    if (o.form.empty()) {
        control.InitProperties();
    } else {
        host::LoadForm(o.form, control);
    }
    if (o.port != 0) control.SetCommPort(static_cast<std::int16_t>(o.port));
    if (!o.device.empty()) runtime_.Ports().Bind(control.CommPort(), o.device);
    if (auto units = ParseUnits(o.units)) {
        // Under the "changed" policy new units convert the weight the form saved at once.
        try {
            control.SetNetWtUnits(*units);
        } catch (const AutomationError& e) {
            throw std::runtime_error(o.form + ": the saved weight \"" + Printable(control.RawWt()) +
                                     "\" does not convert: " + e.what());
        }
    }
    Refresh();
    signals_.async_wait([this](const boost::system::error_code& ec, int) {
        if (!ec) Stop(0);
    });
}

std::string Session::PortText() const {
    return "port " + std::to_string(port_) + ": " + device_;
}

void Session::Refresh() {
    port_ = scale_.Control().CommPort();
    device_ = runtime_.Ports().Resolve(port_);
}

std::int16_t Session::Open() {
    Refresh();
    std::int16_t open = kTrue;
    return Control().ScaleOpen(open);
}

void Session::Stop(int exitCode) {
    if (stopped_) return;
    stopped_ = true;
    exitCode_ = exitCode;
    std::int16_t close = 0;
    try {
        Control().ScaleOpen(close);
    } catch (const AutomationError& e) {
        std::fprintf(stderr, "varnel: closing the port: %s\n", e.what());
    }
    signals_.cancel();
    deadline_.cancel();
    loop_.Stop();
}

int Session::Run() {
    if (!stopped_) loop_.Run();
    return exitCode_;
}

void Session::ArmDeadline(std::chrono::duration<double> limit, std::function<void()> expired) {
    deadline_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit));
    deadline_.async_wait([expired = std::move(expired)](const boost::system::error_code& ec) {
        if (!ec) expired();
    });
}

}  // namespace varnel::cli
