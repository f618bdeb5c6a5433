// varnel: the scale control on the command line.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <regex>
#include <string>

#include "tools/varnel/commands.h"
#include "tools/varnel/output.h"
#include "tools/varnel/units.h"
#include "tools/varnel/version.h"

namespace {

// A usage error as one sentence. CLI11's own text where it reads well; a sentence for the
// common mistakes it words as a parser would.
std::string Sentence(const CLI::ParseError& e) {
    static const std::regex missing(R"(^(-[-\w]+): \d+ required \S+ missing$)");
    const std::string text = e.what();
    std::smatch m;
    if (std::regex_match(text, m, missing)) return m[1].str() + " needs a value";
    if (text == "A subcommand is required")
        return "say what to do: monitor, read, serve, ports, simulate, form, about or demo";
    return text;
}

CLI::Validator Seconds() {
    return CLI::Validator(
        [](std::string& v) {
            double d = 0.0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), d);
            if (ec == std::errc() && end == v.data() + v.size() && d > 0.0 && d <= 1e6)
                return std::string();
            return "\"" + v + "\" is not a number of seconds above 0 (e.g. 2.5)";
        },
        "SECONDS");
}

CLI::Validator Count() {
    return CLI::Validator(
        [](std::string& v) {
            int n = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec == std::errc() && end == v.data() + v.size() && n >= 1) return std::string();
            return "\"" + v + "\" is not a count; give a whole number from 1";
        },
        "N");
}

// A message on one line: line breaks and other control characters as escapes.
std::string OneLine(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            out += varnel::cli::Printable(std::string_view(&c, 1));
        else
            out += c;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace varnel::cli;
    CLI::App app{"Varnel: read a bench weighing scale on an RS-232 line"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show the help of every subcommand");
    app.set_version_flag("-V,--version", VersionText(),
                         "Show the version and the build's revision");

    MonitorOptions monitor;
    auto* mon = app.add_subcommand("monitor", "Open the scale and print every reading and event");
    AddLinkOptions(*mon, monitor.link);
    mon->add_option("--notify", monitor.notify,
                    "Report every frame or only changed weights: everytime or changed (default "
                    "everytime, or the form's)")
        ->check(CLI::Validator(
            [](std::string& v) {
                return ParseNotify(v) ? std::string()
                                      : "\"" + v + "\" is not a policy; use " + kNotifyChoices;
            },
            "POLICY"));
    mon->add_flag("--json", monitor.json, "One JSON object per line on stdout");
    mon->add_option("--count", monitor.count, "Exit 0 after this many valid weights")
        ->check(Count());
    mon->add_option("--timeout", monitor.timeout,
                    "Exit 3 when this many seconds pass without a valid weight")
        ->check(Seconds());
    mon->add_flag("--exit-on-lost", monitor.exitOnLost,
                  "Exit 4 when the link is lost (no data for 1 s), instead of reconnecting");

    ReadOptions read;
    auto* rd = app.add_subcommand(
        "read", "Print one valid weight and exit; exit 3 when none arrives in time");
    AddLinkOptions(*rd, read.link);
    rd->add_option("--stable", read.stable,
                   "Wait for the same weight in this many consecutive valid frames")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    rd->add_option("--timeout", read.timeout, "Give up after this many seconds")
        ->check(Seconds())
        ->capture_default_str();
    rd->add_flag("--json", read.json, "Print the weight as a monitor --json line");

    PortsOptions ports;
    auto* prt =
        app.add_subcommand("ports", "List serial devices and the port numbers that open them");
    prt->add_option("--system-dir", ports.systemDir, "System directory");
    prt->add_option("--highest", ports.highest, "Highest port number to resolve")
        ->check(CLI::Range(1, 255))
        ->capture_default_str();

    SimulateOptions simulate;
    auto* simc = app.add_subcommand("simulate", "Be a scale: write frames at the line rate");
    auto* simDevice = simc->add_option("--device", simulate.device, "Serial device to write to");
    auto* simPty = simc->add_flag("--pty", simulate.pty,
                                  "Create a pseudo-terminal and print its slave path first");
    simDevice->excludes(simPty);
    simc->add_option("--layout", simulate.layout, "Weight field layout")
        ->check(CLI::IsMember({"kg", "lb-oz-tenths", "g", "lb-oz-quarters"}))
        ->capture_default_str();
    simc->add_option("--status", simulate.status,
                     "Status nibble, or a schedule BASE[,N@FROM-TO]... in seconds (e.g. 0,1@3-4)")
        ->capture_default_str();
    simc->add_option("--script", simulate.script,
                     "Weights: steady:W | ramp:FROM:TO:SECONDS | walk:START:STEP:MIN:MAX:SEED | "
                     "file:PATH")
        ->capture_default_str();
    simc->add_option("--fault", simulate.faults,
                     "Line fault KIND[:ARGS]@WHEN, repeatable: garbage[:N], truncate[:N], "
                     "overlong[:N], stx[:P], silence:MS; WHEN every:K | at:K | time:SECONDS");
    simc->add_option("--duration", simulate.duration, "Stop after this many seconds")
        ->check(Seconds());
    simc->add_option("--seed", simulate.seed, "Seed of the garbage bytes")->capture_default_str();

    FormOptions form;
    auto* formc = app.add_subcommand("form", "Show or edit the settings saved in a form file");
    formc->require_subcommand(1);
    auto* show = formc->add_subcommand("show", "List every saved key of a form file");
    show->add_option("FILE", form.file, "Form file")->required();
    auto* get = formc->add_subcommand("get", "Print one saved key");
    get->add_option("FILE", form.file, "Form file")->required();
    get->add_option("KEY", form.key, "Key, e.g. NetWtUnits")->required();
    auto* set = formc->add_subcommand(
        "set", "Edit CommPort, WtNotification or NetWtUnits as the property pages do");
    set->add_option("FILE", form.file, "Form file (created when missing)")->required();
    set->add_option("KEY", form.key, "CommPort, WtNotification or NetWtUnits")->required();
    set->add_option("VALUE", form.value,
                    "Port number text, or the option's index, enum name or caption")
        ->required();

    ServeOptions serve;
    auto* srv = app.add_subcommand(
        "serve", "Serve scales over HTTP, WebSocket and Server-Sent Events, with a live page");
    srv->add_option("--listen", serve.listen,
                    "Numeric ADDR:PORT to listen on (beyond loopback only with --token-file)")
        ->capture_default_str();
    auto* srvConfig = srv->add_option(
        "--config", serve.config,
        "JSON file of scales: [{\"name\", \"device\" or \"port\", \"units\", \"notify\"}]");
    auto* srvDevice = srv->add_option("--device", serve.device, "Serial device of the one scale");
    auto* srvPort = srv->add_option("--port", serve.port, "Port number 1-255 of the one scale")
                        ->check(CLI::Range(1, 255))
                        ->excludes(srvDevice);
    auto* srvUnits =
        srv->add_option("--units", serve.units,
                        "Units of NetWt of the one scale: lb, kg, g or oz (default lb)")
            ->check(CLI::Validator(
                [](std::string& v) {
                    return ParseUnits(v) ? std::string()
                                         : "\"" + v + "\" is not a unit; use " + kUnitsChoices;
                },
                "UNITS"));
    auto* srvNotify =
        srv->add_option("--notify", serve.notify,
                        "Policy of the one scale: everytime (default) or changed")
            ->check(CLI::Validator(
                [](std::string& v) {
                    return ParseNotify(v) ? std::string()
                                          : "\"" + v + "\" is not a policy; use " + kNotifyChoices;
                },
                "POLICY"));
    for (auto* one : {srvDevice, srvPort, srvUnits, srvNotify})
        srvConfig->excludes(one);
    srv->add_option("--system-dir", serve.systemDir,
                    "System directory (default $VARNEL_SYSTEM_DIR or /var/lib/varnel)");
    srv->add_option("--allow-origin", serve.allowOrigins,
                    "Let web pages from this origin call the API, e.g. http://pos.example:8080 "
                    "(repeatable; none by default)");
    srv->add_option("--token-file", serve.tokenFile,
                    "Require the token in this file of every request");
    srv->add_option("--max-clients", serve.maxClients,
                    "Most connections making requests, and as many event streams besides")
        ->check(CLI::Range(1, 10000))
        ->capture_default_str();

    auto* about = app.add_subcommand("about", "Show the About dialog's text");

    DemoOptions demo;
    auto* democ = app.add_subcommand(
        "demo", "No hardware needed: a simulated scale on a pseudo-terminal, read by the control");
    democ->add_option("--duration", demo.duration, "Length of the session in seconds")
        ->check(CLI::Range(1.0, 600.0))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
        if (simc->parsed() && simulate.device.empty() && !simulate.pty) {
            throw CLI::RequiredError("simulate needs --device PATH or --pty");
        }
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "varnel: %s (see --help)\n", Sentence(e).c_str());
        return 2;
    }

    // Whatever a subcommand does not handle ends here as one line and exit 1, never as an abort.
    try {
        if (mon->parsed()) return RunMonitor(monitor);
        if (rd->parsed()) return RunRead(read);
        if (prt->parsed()) return RunPorts(ports);
        if (simc->parsed()) return RunSimulate(simulate);
        if (democ->parsed()) return RunDemo(demo);
        if (srv->parsed()) return RunServe(serve);
        if (about->parsed()) return RunAbout();
        if (formc->parsed()) {
            form.action = show->parsed() ? "show" : get->parsed() ? "get" : "set";
            return RunForm(form);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel: %s\n", OneLine(e.what()).c_str());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "varnel: unexpected error\n");
        return 1;
    }
    return 2;
}
