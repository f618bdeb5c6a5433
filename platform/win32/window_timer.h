// A Timer by SetTimer on the runtime's message window, ticking on the window's thread.
//
// Restarting it (off, then on) only records a new due time: a pending Win32 timer that would
// fire earlier stays, and when it fires early it is set again for the rest of the interval. So
// the receive watchdog, restarted at every character, costs a clock read per character, not two
// calls into the window manager. As the receive watchdog it also counts the characters a serial
// port holds back as traffic (serial/held_traffic.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/win32/message_window.h"
#include "serial/held_traffic.h"
#include "serial/timer.h"

namespace varnel::win32 {

class WindowTimer : public Timer, private MessageWindow::Target {
  public:
    explicit WindowTimer(std::shared_ptr<MessageWindow> window);
    ~WindowTimer() override;
    WindowTimer(const WindowTimer&) = delete;
    WindowTimer& operator=(const WindowTimer&) = delete;

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

    void OnWindowMessage(UINT message) override;
    void Arm(std::int32_t milliseconds);
    void Disarm();

    std::shared_ptr<MessageWindow> window_;
    UINT_PTR id_;
    bool enabled_ = false;
    std::int32_t interval_ = 0;
    Clock::time_point due_{};
    bool armed_ = false;        // a Win32 timer is set
    std::int32_t armedMs_ = 0;  // with this period
    std::function<void()> handler_;
    std::shared_ptr<const comm::HeldTraffic> traffic_;
};

}  // namespace varnel::win32
