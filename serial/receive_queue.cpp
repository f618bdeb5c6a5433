#include "serial/receive_queue.h"

#include "serial/comm_component.h"

namespace varnel::comm {

namespace {

constexpr std::int16_t kOverflowEntry = -kEventRxOver;

}  // namespace

void ReceiveQueue::Push(const unsigned char* bytes, std::size_t n) {
    arrivals_ += n;
    const std::size_t size = items_.size() - head_;
    const std::size_t room = size < kLimit ? kLimit - size : 0;
    const std::size_t take = n < room ? n : room;
    if (take > 0) {
        Compact();
        items_.insert(items_.end(), bytes, bytes + take);
        chars_ += take;
    }
    if (take < n) PushEntry(kOverflowEntry);
}

void ReceiveQueue::PushEvent(std::int16_t code) {
    ++arrivals_;
    PushEntry(static_cast<Entry>(-code));
}

void ReceiveQueue::PushEntry(Entry e) {
    if (items_.size() - head_ >= kLimit) {
        // Full, so not empty: the overflow is marked once, behind the last entry kept.
        if (items_.back() != kOverflowEntry) items_.push_back(kOverflowEntry);
        return;
    }
    Compact();
    items_.push_back(e);
}

std::int16_t ReceiveQueue::NextEvent() {
    const Entry e = items_[head_];
    if (e >= 0) return kEvReceive;
    Pop();
    return static_cast<std::int16_t>(-e);
}

std::string ReceiveQueue::Take(std::size_t inputLen) {
    std::string out;
    while (!Empty() && (inputLen == 0 || out.size() < inputLen)) {
        const Entry e = items_[head_];
        if (e < 0 && inputLen != 0) break;
        if (e >= 0) out += static_cast<char>(e);
        Pop();
    }
    return out;
}

void ReceiveQueue::Clear() {
    removals_ += items_.size() - head_;
    items_.clear();
    head_ = 0;
    chars_ = 0;
}

void ReceiveQueue::Pop() {
    if (items_[head_] >= 0) --chars_;
    ++removals_;
    if (++head_ == items_.size()) {
        items_.clear();
        head_ = 0;
    }
}

void ReceiveQueue::Compact() {
    // What was taken goes once it is at least half the block.
    if (head_ >= 4096 && head_ * 2 >= items_.size()) {
        items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

}  // namespace varnel::comm
