// Characters that reached a serial port while their delivery was held back: a handler of the
// port's event ran a message loop (a message box, a modal form, DoEvents, the event loop run
// nested), the port's notices came in through it, and what they announced waits until the
// handler returns. The port notes when such characters came; the receive watchdog's timer counts
// them as traffic. So a line that goes on sending while the host's handler is busy is not
// reported lost, and one that falls silent is, one interval after its last character.
#pragma once

#include <chrono>
#include <cstdint>

namespace varnel::comm {

class HeldTraffic {
  public:
    using Clock = std::chrono::steady_clock;

    // Delivery is held back and arrivals entries have come so far (ReceiveQueue::Arrivals()):
    // any that came since the last note are traffic at now.
    void Note(std::uint64_t arrivals, Clock::time_point now) {
        if (arrivals == arrivals_) return;
        arrivals_ = arrivals;
        last_ = now;
    }
    // The port counts arrivals in a new queue.
    void NewQueue() { arrivals_ = 0; }

    // When a timer of interval that fell due at due may tick: no sooner than one interval after
    // the last held characters came.
    Clock::time_point NotBefore(Clock::time_point due, Clock::duration interval) const {
        return last_ + interval > due ? last_ + interval : due;
    }

  private:
    std::uint64_t arrivals_ = 0;
    Clock::time_point last_{};
};

}  // namespace varnel::comm
