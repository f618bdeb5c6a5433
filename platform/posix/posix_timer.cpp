#include "platform/posix/posix_timer.h"

namespace varnel::posix {

PosixTimer::PosixTimer(EventLoop& loop) : timer_(loop.Context()) {}

PosixTimer::~PosixTimer() {
    alive_.reset();
    timer_.cancel();
}

void PosixTimer::SetEnabled(bool enabled) {
    if (enabled && !enabled_) {
        enabled_ = true;
        due_ = Clock::now() + std::chrono::milliseconds(interval_);
        if (waiting_ && waitingUntil_ <= due_) return;  // the common restart: nothing to move
        Arm();
    } else if (!enabled) {
        // A pending wait stays; when it ends it finds the timer off and does nothing.
        enabled_ = false;
    }
}

void PosixTimer::SetInterval(std::int32_t milliseconds) {
    interval_ = milliseconds;
    if (enabled_) {
        due_ = Clock::now() + std::chrono::milliseconds(interval_);
        Arm();
    }
}

void PosixTimer::Arm() {
    if (interval_ <= 0) return;
    if (waiting_ && waitingUntil_ <= due_) return;  // it wakes early and re-arms then
    waiting_ = true;
    waitingUntil_ = due_;
    const std::uint64_t generation = ++generation_;
    timer_.expires_at(due_);
    std::weak_ptr<int> alive = alive_;
    timer_.async_wait([this, alive, generation](const boost::system::error_code& ec) {
        if (ec || alive.expired()) return;
        OnWait(generation);
    });
}

void PosixTimer::OnWait(std::uint64_t generation) {
    if (generation != generation_) return;  // superseded by a later wait
    waiting_ = false;
    if (!enabled_) return;
    if (traffic_) due_ = traffic_->NotBefore(due_, std::chrono::milliseconds(interval_));
    const Clock::time_point now = Clock::now();
    if (now < due_) {
        Arm();
        return;
    }
    const Clock::time_point fired = due_;
    std::weak_ptr<int> alive = alive_;
    if (handler_) handler_();
    if (alive.expired() || !enabled_) return;
    // The next interval starts when the handler returns, however long it took (a reconnect that
    // waited for the port initialiser), unless the handler restarted the timer itself.
    if (due_ == fired) due_ = Clock::now() + std::chrono::milliseconds(interval_);
    Arm();
}

}  // namespace varnel::posix
