// One control on the POSIX runtime as the monitor and read commands set it up: the options that
// choose the port and the units, the form loaded first, opening and closing, Ctrl-C, SIGTERM and
// SIGHUP, and the wall-clock limits of a run.
#pragma once

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <string>

#include "host/scale.h"
#include "platform/posix/event_loop.h"
#include "platform/posix/runtime.h"

namespace CLI {
class App;
}

namespace varnel::cli {

// The options monitor and read share.
struct LinkOptions {
    std::string device;  // bound to the control's port number when set
    int port = 0;        // 0: the control's own (1, or the form file's)
    std::string units;   // empty: as the form (or a new control) has it
    std::string systemDir;
    std::string form;
};

// --device, --port, --units, --form and --system-dir on a subcommand.
void AddLinkOptions(CLI::App& command, LinkOptions& options);

class Session {
  public:
    // Loads the form (or initialises a new control) and applies the options. Throws
    // std::exception with a message for a form that cannot be loaded.
    explicit Session(const LinkOptions& options);

    Varnel& Control() { return scale_.Control(); }
    host::Scale& Scale() { return scale_; }
    posix::EventLoop& Loop() { return loop_; }

    // True when no option chose the port: port 1 of the system directory is used.
    bool DefaultPort() const { return defaultPort_; }
    // "port 1: /dev/ttyS0"
    std::string PortText() const;
    // The path the control's port opens, as resolved at the last Open() or Refresh().
    const std::string& Device() const { return device_; }
    // Resolves the port again (a re-pointed link is followed at every opening).
    void Refresh();

    // ScaleOpen(-1): 1 when the port opened; 0 when not yet (the control then retries every 3 s).
    std::int16_t Open();
    // Closes the link (ScaleOpen 0), stops the loop and sets the exit code Run() returns.
    void Stop(int exitCode);
    // Runs until Stop(); Ctrl-C, SIGTERM and SIGHUP stop with 0.
    int Run();

    // Calls `expired` once when `limit` has passed since the last (Re)armDeadline.
    void ArmDeadline(std::chrono::duration<double> limit, std::function<void()> expired);

  private:
    posix::EventLoop loop_;
    posix::Runtime runtime_;
    host::Scale scale_;
    boost::asio::signal_set signals_;
    boost::asio::steady_timer deadline_;
    bool defaultPort_;
    std::int16_t port_ = 0;
    std::string device_;
    int exitCode_ = 0;
    bool stopped_ = false;
};

}  // namespace varnel::cli
