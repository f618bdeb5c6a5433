// A Timer on the event loop. Restarting it (off, then on) only records a new due time; the
// pending wait is moved only when the new due time is earlier, so a timer restarted at every
// received character costs a clock read, not a system call. Each interval starts when the
// previous tick's handler has returned. As the receive watchdog it also counts the characters a
// serial port holds back as traffic (serial/held_traffic.h).
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/posix/event_loop.h"
#include "serial/held_traffic.h"
#include "serial/timer.h"

namespace varnel::posix {

class PosixTimer : public Timer {
  public:
    explicit PosixTimer(EventLoop& loop);
    ~PosixTimer() override;

    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool enabled) override;
    std::int32_t Interval() const override { return interval_; }
    void SetInterval(std::int32_t milliseconds) override;
    void SetOnTick(std::function<void()> handler) override { handler_ = std::move(handler); }
    // Ticks no sooner than one interval after the characters that traffic notes.
    void CountAsTraffic(std::shared_ptr<const comm::HeldTraffic> traffic) {
        traffic_ = std::move(traffic);
    }

  private:
    using Clock = std::chrono::steady_clock;
    void Arm();
    void OnWait(std::uint64_t generation);

    boost::asio::steady_timer timer_;
    bool enabled_ = false;
    std::int32_t interval_ = 0;
    Clock::time_point due_{};
    bool waiting_ = false;
    Clock::time_point waitingUntil_{};
    std::uint64_t generation_ = 0;
    std::function<void()> handler_;
    std::shared_ptr<const comm::HeldTraffic> traffic_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace varnel::posix
