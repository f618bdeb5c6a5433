// The latency probes' common parts: numbered frames written into the scale's COM port on a
// thread of their own, each CR's moment noted, and the figures printed.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/win32/wine_com.h"

namespace varnel::testing::latency {

using Clock = std::chrono::steady_clock;
using Times = std::vector<Clock::time_point>;
using namespace std::chrono_literals;

inline std::string Frame(int i) {
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
    ScaleLine line_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Writes the frames while pumping this thread's messages, until every frame has arrived or the
// writer is done and a second more has passed.
inline void WriteAndPump(int scalePort, Times& sent, const std::size_t& received) {
    Writer writer(scalePort, sent);
    const std::size_t count = sent.size();
    PumpUntil([&] { return received >= count || writer.Done(); },
              std::chrono::milliseconds(100 * count));
    PumpUntil([&] { return received >= count; }, 1s);
}

// Prints the figures; false when there were none.
inline bool Report(const char* what, const Times& sent, const Times& got) {
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

}  // namespace varnel::testing::latency
