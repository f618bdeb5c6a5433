// CR written to the line -> the host's OnScaleComm handler, for a control on the Win32 runtime
// (under Wine, run through run_on_com_ports.sh). A writer thread writes each frame's first nine
// characters into the scale's port, then after a pause its CR, noting when; the handler notes
// when it ran. The path includes the cable, socat copying between two pseudo-terminals, so the
// same frames are first timed to a bare overlapped ReadFile on the control's port: the cable's
// and Wine's own share.
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

// Writes the frames 20 ms apart on a thread of its own, noting when each CR went.
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
                  next += 20ms;
              }
          }) {}
    ~Writer() {
        stop_ = true;
        thread_.join();
    }

  private:
    varnel::testing::ScaleLine line_;
    std::atomic<bool> stop_{false};
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
    // n counts the frames that arrived; the others were lost to a loaded machine.
    std::printf("%s: n=%zu of %zu median=%.1f us p90=%.1f us p99=%.1f us max=%.1f us\n", what,
                us.size(), sent.size(), at(0.5), at(0.9), at(0.99), us.back());
    return true;
}

// The same frames read by one overlapped ReadFile at a time on the control's port.
bool BareReads(int controlPort, int scalePort, std::size_t count) {
    const std::string name = "\\\\.\\COM" + std::to_string(controlPort);
    const HANDLE port = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
    ::SetCommTimeouts(port, &timeouts);
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Times sent(count), got(count);
    {
        Writer writer(scalePort, sent);
        std::size_t frame = 0;
        const auto end = Clock::now() + std::chrono::milliseconds(1000 + 25 * count);
        while (frame < count && Clock::now() < end) {
            char c = 0;
            DWORD n = 0;
            ::ResetEvent(ov.hEvent);
            if (!::ReadFile(port, &c, 1, nullptr, &ov) && ::GetLastError() == ERROR_IO_PENDING) {
                ::WaitForSingleObject(ov.hEvent, INFINITE);
            }
            ::GetOverlappedResult(port, &ov, &n, FALSE);
            if (n == 1 && c == '\r') got[frame++] = Clock::now();
        }
    }
    ::CloseHandle(ov.hEvent);
    ::CloseHandle(port);
    return Report("CR -> bare overlapped ReadFile on the control's port", sent, got);
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
    if (!BareReads(controlPort, scalePort, count)) return 1;

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
        testing::PumpUntil([&] { return received >= count; },
                           std::chrono::milliseconds(1000 + 25 * count));
    }
    return Report("CR -> OnScaleComm handler (Win32 runtime)", sent, got) ? 0 : 1;
}
