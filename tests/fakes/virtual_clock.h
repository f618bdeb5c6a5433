// Timers on a virtual clock: time moves only when the test advances it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "serial/timer.h"

namespace varnel::testing {

class VirtualClock;

class VirtualTimer : public Timer {
  public:
    explicit VirtualTimer(VirtualClock& clock);
    ~VirtualTimer() override;

    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool enabled) override;
    std::int32_t Interval() const override { return interval_; }
    void SetInterval(std::int32_t ms) override;
    void SetOnTick(std::function<void()> handler) override { handler_ = std::move(handler); }

    std::int64_t Deadline() const { return deadline_; }
    int ticks = 0;

  private:
    friend class VirtualClock;
    VirtualClock& clock_;
    bool enabled_ = false;
    std::int32_t interval_ = 0;
    std::int64_t deadline_ = 0;
    std::function<void()> handler_;
};

class VirtualClock {
  public:
    std::int64_t Now() const { return now_; }

    // Moves time forward, firing every tick that falls due on the way, in order.
    void Advance(std::int64_t ms) {
        const std::int64_t target = now_ + ms;
        for (;;) {
            VirtualTimer* next = nullptr;
            for (VirtualTimer* t : timers_) {
                if (t->enabled_ && t->interval_ > 0 && t->deadline_ <= target &&
                    (!next || t->deadline_ < next->deadline_)) {
                    next = t;
                }
            }
            if (!next) break;
            now_ = next->deadline_;
            next->deadline_ = now_ + next->interval_;
            ++next->ticks;
            if (next->handler_) next->handler_();
        }
        now_ = target;
    }

  private:
    friend class VirtualTimer;
    std::int64_t now_ = 0;
    std::vector<VirtualTimer*> timers_;
};

inline VirtualTimer::VirtualTimer(VirtualClock& clock) : clock_(clock) {
    clock_.timers_.push_back(this);
}

inline VirtualTimer::~VirtualTimer() {
    auto& v = clock_.timers_;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (*it == this) {
            v.erase(it);
            break;
        }
    }
}

inline void VirtualTimer::SetEnabled(bool enabled) {
    if (enabled && !enabled_) deadline_ = clock_.now_ + interval_;
    enabled_ = enabled;
}

inline void VirtualTimer::SetInterval(std::int32_t ms) {
    interval_ = ms;
    if (enabled_) deadline_ = clock_.now_ + interval_;
}

}  // namespace varnel::testing
