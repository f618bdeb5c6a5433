// CR written to the line -> the host's OnScaleComm handler, for a control on the Win32 runtime
// (under Wine, run through run_on_com_ports.sh). A writer thread writes each frame's first nine
// characters into the scale's port, then after a pause its CR, noting when; the handler notes
// when it ran. The path includes the cable: socat copying between two pseudo-terminals.
//   win32_latency [FRAMES]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/runtime.h"
#include "tests/fakes/recording_container.h"
#include "tests/win32/wine_com.h"

namespace {

using Clock = std::chrono::steady_clock;
using Times = std::vector<Clock::time_point>;
using namespace std::chrono_literals;

std::string Frame(int i) {
    char w[6];
    std::snprintf(w, sizeof w, "%05d", i % 100000);
    return std::string("\x02") + "@  " + w + "\r";  // grams, status 0
}

// Writes the frames 20 ms apart (18 ms at least) on a thread of its own, noting when each CR
// went.
class Writer {
  public:
    Writer(int port, Times& sent)
        : line_(port), thread_([this, &sent] {
              auto next = Clock::now() + 300ms;
              for (std::size_t i = 0; i < sent.size() && !stop_; ++i) {
                  std::this_thread::sleep_until(next);
                  const std::string f = Frame(static_cast<int>(i));
                  line_.Write(std::string_view(f).substr(0, 9));
                  std::this_thread::sleep_for(2ms);
                  sent[i] = Clock::now();
                  line_.Write(std::string_view(f).substr(9));
                  // A writer that fell behind does not catch up with frames back to back: the
                  // control's reset after each frame would discard the next one.
                  next = std::max(next + 20ms, Clock::now() + 18ms);
              }
              done_ = true;
          }) {}
    ~Writer() {
        stop_ = true;
        thread_.join();
    }
    bool Done() const { return done_; }

  private:
    varnel::testing::ScaleLine line_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Prints the figures; false when there were none.
bool Report(const char* what, const Times& sent, const Times& got) {
    std::vector<double> us;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (sent[i] != Clock::time_point{} && got[i] > sent[i]) {
            us.push_back(std::chrono::duration<double, std::micro>(got[i] - sent[i]).count());
        }
    }
    if (us.empty()) {
        std::printf("%s: no samples\n", what);
        return false;
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
    };
    const auto written = static_cast<std::size_t>(
        std::count_if(sent.begin(), sent.end(), [](auto t) { return t != Clock::time_point{}; }));
    // n counts the frames that arrived; others were lost to a loaded machine.
    std::printf("%s: n=%zu of %zu median=%.1f us p90=%.1f us p99=%.1f us max=%.1f us\n", what,
                us.size(), written, at(0.5), at(0.9), at(0.99), us.back());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace varnel;
    const auto count = static_cast<std::size_t>(argc > 1 ? std::max(1, std::atoi(argv[1])) : 500);
    const int controlPort = testing::PortFromEnv("VARNEL_TEST_CONTROL_PORT");
    const int scalePort = testing::PortFromEnv("VARNEL_TEST_SCALE_PORT");
    if (controlPort <= 0 || scalePort <= 0) {
        std::fprintf(stderr, "run this program through tests/win32/run_on_com_ports.sh\n");
        return 2;
    }
    win32::Runtime runtime;
    testing::RecordingContainer container;
    Varnel control(container, runtime.Services(), runtime.MakeHostedComponents());
    control.SetCommPort(static_cast<std::int16_t>(controlPort));
    Times sent(count), got(count);
    std::size_t received = 0;
    container.onScaleComm = [&] {
        const auto now = Clock::now();
        if (control.ScaleCommEvent() != 1) return;
        const auto i = static_cast<std::size_t>(std::stoi(control.RawWt()));
        if (i < count) got[i] = now;
        ++received;
    };
    std::int16_t open = -1;
    if (control.ScaleOpen(open) != 1) {
        std::fprintf(stderr, "the control could not open COM%d\n", controlPort);
        return 1;
    }
    {
        Writer writer(scalePort, sent);
        const auto limit = std::chrono::milliseconds(100 * count);
        testing::PumpUntil([&] { return received >= count || writer.Done(); }, limit);
        testing::PumpUntil([&] { return received >= count; }, 1s);
    }
    return Report("CR -> OnScaleComm handler (Win32 runtime under Wine)", sent, got) ? 0 : 1;
}
