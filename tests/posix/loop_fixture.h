// A control on the real POSIX runtime, wired to a pseudo-terminal, with helpers that run the
// event loop until something happens.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/scale.h"
#include "tests/posix/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_util.h"

namespace varnel::testing {

struct Seen {
    std::int16_t event;
    std::int16_t status;
    std::int16_t rawUnits;
    std::string rawWt;
    std::string formatted;
    float netWt;
    std::int16_t connect;
};

class LoopTest : public ::testing::Test {
  protected:
    LoopTest() : runtime(loop, dir.Path()) {
        runtime.Ports().Bind(1, pty.SlavePath());
        scale = std::make_unique<host::Scale>(runtime);
        scale->Container().SubscribeScaleComm([this] {
            Varnel& c = scale->Control();
            seen.push_back(Seen{c.ScaleCommEvent(), c.ScaleStatus(), c.RawWtUnits(), c.RawWt(),
                                c.FormattedWt(), *c.NetWt().R4(), c.ConnectStatus()});
        });
        scale->Container().SubscribeErrors(
            [this](const AutomationError& e) { errors.push_back(e.Description()); });
    }

    std::int16_t Open() {
        std::int16_t v = -1;
        return scale->Control().ScaleOpen(v);
    }
    std::int16_t Close() {
        std::int16_t v = 0;
        return scale->Control().ScaleOpen(v);
    }

    // Runs the loop until pred holds or the time is up; true when it held.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            loop.RunFor(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Writes bytes to the line until pred holds: the receiver empties the port's buffer at every
    // reset, so bytes that arrive together with earlier ones may be dropped with them.
    bool FeedUntil(const PtyPair& line, std::string_view bytes, const std::function<bool()>& pred,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        do {
            line.Write(bytes);
            if (RunUntil(pred, std::chrono::milliseconds(250))) return true;
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    void RunFor(std::chrono::milliseconds d) {
        const auto end = std::chrono::steady_clock::now() + d;
        while (std::chrono::steady_clock::now() < end)
            loop.RunFor(std::chrono::milliseconds(5));
    }
    std::vector<std::int16_t> Codes() const {
        std::vector<std::int16_t> out;
        for (const auto& s : seen)
            out.push_back(s.event);
        return out;
    }

    TempDir dir;
    PtyPair pty;
    posix::EventLoop loop;
    posix::Runtime runtime;
    std::unique_ptr<host::Scale> scale;
    std::vector<Seen> seen;
    std::vector<std::string> errors;
};

}  // namespace varnel::testing
