// varnel demo: a simulated scale on a pseudo-terminal and the control on the other end, in one
// bounded, narrated session.
#include <stdlib.h>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "host/scale.h"
#include "tools/sim/demo.h"
#include "tools/sim/pacer.h"
#include "tools/sim/pty.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/output.h"

namespace varnel::cli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A system directory of the demo's own: no initialiser, no marker, whatever the machine has.
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "varnel-demo-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

void Say(double t, const std::string& text) {
    std::printf("%6.2f s  %s\n", t, text.c_str());
    std::fflush(stdout);
}

}  // namespace

int RunDemo(const DemoOptions& o) {
    TempDir dir;
    sim::Pty pty = sim::OpenPty();
    posix::EventLoop loop;
    posix::Runtime runtime(loop, dir.path.empty() ? "/nonexistent" : dir.path);
    runtime.Ports().Bind(1, pty.slavePath());
    host::Scale scale(runtime);
    Varnel& control = scale.Control();
    control.SetWtNotification(vnChanged);
    control.SetNetWtUnits(vnKilograms);

    const auto start = Clock::now();
    auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    int counts[5] = {};
    double lastWeightShown = -1.0;
    scale.Container().SubscribeScaleComm([&] {
        const EventRecord r = EventRecord::From(control, pty.slavePath());
        if (r.scaleCommEvent >= 0 && r.scaleCommEvent <= 4) ++counts[r.scaleCommEvent];
        const double t = since();
        // Weight events come up to 22 a second: show a few, and every other event.
        if (r.scaleCommEvent == scale_event::kNewWeight && t - lastWeightShown < 0.5) return;
        if (r.scaleCommEvent == scale_event::kNewWeight) lastWeightShown = t;
        Say(t, "  OnScaleComm: " + HumanLine("", r).substr(2));
    });
    scale.Container().SubscribeErrors(
        [&](const AutomationError& e) { Say(since(), std::string("  error: ") + e.what()); });

    // The scale, on its own thread, as a separate device would be.
    sim::Simulator simulator(sim::DemoSession());
    sim::Pacer pacer;
    sim::PacerStats stats;
    std::thread scaleThread([&] { stats = pacer.Run(simulator, pty.master()); });

    Say(0.0, "scale simulator on " + pty.slavePath() + ", 2400 baud 8N2, a frame every 45.8 ms");
    std::int16_t open = kTrue;
    const std::int16_t result = control.ScaleOpen(open);
    Say(since(), "ScaleOpen(-1) = " + std::to_string(result) +
                     "; notify on changed weights only, NetWt in kilograms");

    std::vector<std::unique_ptr<boost::asio::steady_timer>> timers;
    auto at = [&](double seconds, std::function<void()> fn) {
        auto timer = std::make_unique<boost::asio::steady_timer>(
            loop.Context(), start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds)));
        timer->async_wait([fn = std::move(fn)](const boost::system::error_code& ec) {
            if (!ec) fn();
        });
        timers.push_back(std::move(timer));
    };
    for (const auto& step : sim::kDemoTimeline) {
        if (step.from < o.duration)
            at(step.from,
               [&, step] { Say(since(), std::string("scale: ") + std::string(step.what)); });
    }
    at(3.0, [&] {
        Say(since(), "host: NetWtUnits = vnGrams (reported at once under vnChanged)");
        lastWeightShown = -1.0;  // show the event the change raises
        control.SetNetWtUnits(vnGrams);
    });
    auto finish = [&] {
        std::int16_t close = kFalse;
        control.ScaleOpen(close);
        pacer.RequestStop();
        loop.Stop();
    };
    at(o.duration, finish);
    boost::asio::signal_set signals(loop.Context(), SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (!ec) finish();
    });

    loop.Run();
    scaleThread.join();
    Say(since(), "ScaleOpen(0): link closed");
    std::printf("events: %d weight, %d status, %d lost, %d restored; scale sent %llu frames\n",
                counts[1], counts[2], counts[3], counts[4],
                static_cast<unsigned long long>(stats.frames));
    if (counts[1] == 0) {
        std::fprintf(stderr, "varnel: the control reported no reading\n");
        return 1;
    }
    return 0;
}

}  // namespace varnel::cli
