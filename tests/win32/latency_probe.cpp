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
using namespace std::chrono_literals;

std::string Frame(int i) {
    char w[6];
    std::snprintf(w, sizeof w, "%05d", i % 100000);
    return std::string("\x02") + "@  " + w + "\r";  // grams, status 0
}

}  // namespace

int main(int argc, char** argv) {
    using namespace varnel;
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
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

    const auto count = static_cast<std::size_t>(n);
    std::vector<Clock::time_point> sent(count), got(count);
    int received = 0;
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
    testing::ScaleLine line(scalePort);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        auto next = Clock::now() + 300ms;
        for (int i = 0; i < n && !stop; ++i) {
            std::this_thread::sleep_until(next);
            const std::string f = Frame(i);
            line.Write(std::string_view(f).substr(0, 9));
            std::this_thread::sleep_for(2ms);
            sent[static_cast<std::size_t>(i)] = Clock::now();
            line.Write(std::string_view(f).substr(9));
            next += 20ms;
        }
    });
    testing::PumpUntil([&] { return received >= n; }, std::chrono::milliseconds(1000 + 25 * n));
    stop = true;
    writer.join();

    std::vector<double> us;
    for (std::size_t i = 0; i < count; ++i) {
        if (sent[i] != Clock::time_point{} && got[i] > sent[i]) {
            us.push_back(std::chrono::duration<double, std::micro>(got[i] - sent[i]).count());
        }
    }
    if (us.empty()) {
        std::printf("CR -> OnScaleComm handler (Win32 runtime under Wine): no samples\n");
        return 1;
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
    };
    std::printf(
        "CR -> OnScaleComm handler (Win32 runtime under Wine): n=%zu median=%.1f us "
        "p90=%.1f us p99=%.1f us max=%.1f us\n",
        us.size(), at(0.5), at(0.9), at(0.99), us.back());
    return us.size() * 10 >= count * 9 ? 0 : 1;
}
