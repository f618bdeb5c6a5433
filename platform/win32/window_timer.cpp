#include "platform/win32/window_timer.h"

namespace varnel::win32 {

WindowTimer::WindowTimer(std::shared_ptr<MessageWindow> window)
    : window_(std::move(window)), id_(window_->Add(*this)) {}

WindowTimer::~WindowTimer() {
    Disarm();
    window_->Remove(id_);
}

void WindowTimer::SetEnabled(bool enabled) {
    if (enabled && !enabled_) {
        enabled_ = true;
        due_ = Clock::now() + std::chrono::milliseconds(interval_);
        if (interval_ <= 0) return;
        // A running Win32 timer with a period no longer than the interval fires by the due time
        // and is set for the rest then.
        if (!armed_ || armedMs_ > interval_) Arm(interval_);
    } else if (!enabled) {
        // A set Win32 timer stays; when it fires it finds the timer off and is killed.
        enabled_ = false;
    }
}

void WindowTimer::SetInterval(std::int32_t milliseconds) {
    interval_ = milliseconds;
    if (!enabled_) return;
    due_ = Clock::now() + std::chrono::milliseconds(interval_);
    if (interval_ > 0) {
        Arm(interval_);
    } else {
        Disarm();
    }
}

void WindowTimer::Arm(std::int32_t milliseconds) {
    // Setting an id that is already set restarts it with the new period.
    if (::SetTimer(window_->Handle(), id_, static_cast<UINT>(milliseconds), nullptr) != 0) {
        armed_ = true;
        armedMs_ = milliseconds;
    }
}

void WindowTimer::Disarm() {
    if (!armed_) return;
    ::KillTimer(window_->Handle(), id_);
    armed_ = false;
}

void WindowTimer::OnWindowMessage(UINT) {
    if (!enabled_ || interval_ <= 0) {
        Disarm();
        return;
    }
    if (traffic_) due_ = traffic_->NotBefore(due_, std::chrono::milliseconds(interval_));
    const Clock::time_point now = Clock::now();
    if (now < due_) {  // restarted since it was set
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(due_ - now);
        Arm(static_cast<std::int32_t>(rest.count()));
        return;
    }
    const auto interval = std::chrono::milliseconds(interval_);
    due_ += interval;
    if (due_ <= now) due_ = now + interval;  // fell behind: no burst of catch-up ticks
    if (armedMs_ != interval_) Arm(interval_);
    if (handler_) handler_();  // may destroy this timer: nothing follows
}

}  // namespace varnel::win32
