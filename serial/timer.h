// A timer that ticks on the control's thread once per interval while enabled.
#pragma once

#include <cstdint>
#include <functional>

namespace varnel {

class Timer {
  public:
    virtual ~Timer() = default;

    virtual bool Enabled() const = 0;
    // Enabling a disabled timer starts a fresh interval; enabling an enabled one changes nothing.
    virtual void SetEnabled(bool enabled) = 0;
    virtual std::int32_t Interval() const = 0;
    virtual void SetInterval(std::int32_t milliseconds) = 0;
    virtual void SetOnTick(std::function<void()> handler) = 0;
};

}  // namespace varnel
