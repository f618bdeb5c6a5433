// The receive queue of a serial-port component: received characters and the line events among
// them (breaks, framing and parity errors, overruns), in the order they came, until OnComm events
// deliver them and Input reads them. It locks nothing itself: a runtime whose reader runs on
// another thread guards it.
//
// It holds at most kLimit entries, characters and line events together. Past that, what arrives
// is dropped, the newest first (everything queued stays), and one event 1008 (receive overflow)
// follows the last entry kept; another 1008 comes only after something was queued again, so each
// overflow is told once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnel::comm {

class ReceiveQueue {
  public:
    static constexpr std::size_t kLimit = 65536;

    void Push(unsigned char c) { Push(&c, 1); }
    void Push(const unsigned char* bytes, std::size_t n);
    // A line event: its CommEvent code (1001 to 1011).
    void PushEvent(std::int16_t code);

    bool Empty() const { return head_ == items_.size(); }
    // Characters waiting, line events not counted.
    std::size_t Chars() const { return chars_; }
    // The CommEvent code that delivers the entry at the front, which must exist: a line event is
    // taken off and gives its own code, a character stays for Input and gives 2 (received).
    std::int16_t NextEvent();
    // Removes and returns up to inputLen characters; 0 takes every character and drops the line
    // events between them, any other length stops at a line event (delivered on its own).
    std::string Take(std::size_t inputLen);
    void Clear();

    // Entries that arrived, kept or dropped, and entries taken off (read, cleared or delivered as
    // events), since the queue was made: whether anything came, or was taken, between two looks.
    std::uint64_t Arrivals() const { return arrivals_; }
    std::uint64_t Removals() const { return removals_; }

  private:
    // A character (0-255), or a line event as its code negated.
    using Entry = std::int16_t;

    void PushEntry(Entry e);
    void Pop();
    void Compact();

    std::vector<Entry> items_;  // entries are taken from head_; the block is emptied when all are
    std::size_t head_ = 0;
    std::size_t chars_ = 0;
    std::uint64_t arrivals_ = 0;
    std::uint64_t removals_ = 0;
};

}  // namespace varnel::comm
