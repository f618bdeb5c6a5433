// A control on a real line, as the runtime scenarios (scenarios.cpp) see it. Each runtime's tests
// provide one rig: the POSIX runtime on a pseudo-terminal, the Win32 runtime and the COM control
// under Wine on COM ports joined by a null-modem cable; the scenarios run unchanged on each.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::testing {

// What the host reads in its OnScaleComm handler.
struct Seen {
    std::int16_t event = 0, rawUnits = 0, connect = 0;
    std::string rawWt, formatted;
    float netWt = 0;
};

// A process the stand-in initialiser ran as: its id and its command line.
struct Started {
    long pid;
    std::string commandLine;
};

enum class Initialiser {
    Records,  // records its run and ends with exit code 3
    Hangs,    // records its run, starts a copy of itself that does the same, and never ends
};

class Rig {
  public:
    virtual ~Rig() = default;

    // The control, as its host calls it.
    virtual std::int16_t ScaleOpen(std::int16_t connectassert) = 0;
    std::int16_t Open() { return ScaleOpen(-1); }
    std::int16_t Close() { return ScaleOpen(0); }
    virtual std::int16_t ConnectStatus() = 0;
    virtual void SetNetWtUnits(std::int32_t units) = 0;
    // False when the control's host cannot set the initialiser's time limit.
    virtual bool SetPortInitTimeout(std::uint32_t milliseconds) = 0;
    // The event numbers of the errors raised by the control's own event handling, as its host
    // learns of them.
    virtual std::vector<std::int32_t> EventErrors() = 0;

    // The scale's end of the line. Write may be called from another thread while nothing else
    // writes; bytes written before the control opens its port are discarded by the opening.
    virtual void Write(std::string_view bytes) = 0;
    // The cable is pulled: both ends hang up and the control's device is gone, so that no
    // other program's line can take its place. PlugInCable puts a new one in on the same port.
    virtual void PullCable() = 0;
    virtual void PlugInCable() = 0;
    // Checks the line's settings as the device holds them while the control has it open.
    virtual void ExpectLineIs2400Baud8N2() = 0;
    // Another opener of the control's port in this process: 0 when it gets the port (and lets it
    // go again), else the number of the error it gets.
    virtual std::int32_t OpenElsewhere() = 0;

    // Runs the loop the control's events arrive on until pred holds or the time is up; true
    // when it held.
    virtual bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) = 0;
    void RunFor(std::chrono::milliseconds d) {
        WaitUntil([] { return false; }, d);
    }
    // Runs the loop for a while from inside an event handler.
    virtual void RunNested(std::chrono::milliseconds d) = 0;
    // The processor time this process has used.
    virtual std::chrono::milliseconds Cpu() = 0;

    // The directory the control looks in for its debug marker, log and initialiser. What a
    // scenario puts there is gone after the test.
    virtual std::filesystem::path SystemDir() = 0;
    virtual void InstallInitialiser(Initialiser kind) = 0;
    virtual std::vector<Started> InitialiserRuns() = 0;
    // True when the process has ended, or ends within the limit.
    virtual bool Ends(const Started& run, std::chrono::milliseconds limit) = 0;
    // The processes the runtime still holds; none when the rig cannot see them.
    virtual std::optional<std::size_t> OpenProcesses() = 0;

    std::int16_t port = 0;  // the control's
    // How much earlier than its interval a timer may seem to fire, timed from the return of the
    // call that started it.
    std::chrono::milliseconds timerLead{0};
    std::vector<Seen> seen;
    std::function<void()> onEvent;  // runs inside each OnScaleComm, after it is recorded

  protected:
    void Record(Seen s) {
        seen.push_back(std::move(s));
        if (onEvent) onEvent();
    }
    // The runs in a stand-in initialiser's record: one "pid command-line" line each.
    static std::vector<Started> RunsIn(const std::string& record) {
        std::vector<Started> out;
        std::istringstream in(record);
        for (std::string line; std::getline(in, line);) {
            const std::size_t blank = line.find(' ');
            out.push_back(Started{std::stol(line.substr(0, blank)), line.substr(blank + 1)});
        }
        return out;
    }
};

// A rig for each test: the parameter that instantiates the scenarios on a runtime, as in
// INSTANTIATE_TEST_SUITE_P(Posix, RuntimeScenario, ::testing::Values(RigOf<PtyRig>("pty"))).
struct RigKind {
    const char* name;
    std::unique_ptr<Rig> (*make)();
    friend void PrintTo(const RigKind& k, std::ostream* out) { *out << k.name; }
};

template <typename R>
RigKind RigOf(const char* name) {
    return RigKind{name, []() -> std::unique_ptr<Rig> { return std::make_unique<R>(); }};
}

// A fixture for what only one rig's runtime has.
template <typename R>
class OnRig : public ::testing::Test {
  protected:
    R rig;
};

class RuntimeScenario : public ::testing::TestWithParam<RigKind> {
  protected:
    RuntimeScenario() : owned_(GetParam().make()), rig(*owned_) {}

    void TearDown() override { rig.onEvent = nullptr; }

    std::vector<std::int16_t> Events() const {
        std::vector<std::int16_t> out;
        for (const Seen& s : rig.seen)
            out.push_back(s.event);
        return out;
    }
    bool WaitForEvents(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return rig.WaitUntil([&] { return rig.seen.size() >= n; }, limit);
    }
    // Writes bytes to the line until pred holds: the receiver empties the port's buffer at every
    // reset, so bytes that arrive together with earlier ones may be dropped with them.
    bool FeedUntil(std::string_view bytes, const std::function<bool()>& pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            rig.Write(bytes);
            if (rig.WaitUntil(pred, std::chrono::milliseconds(250))) return true;
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

  private:
    std::unique_ptr<Rig> owned_;

  protected:
    Rig& rig;
};

}  // namespace varnel::testing
