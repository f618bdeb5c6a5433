// The serial-port components' receive queue: order, the limit and its overflow event, reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "serial/comm_component.h"
#include "serial/receive_queue.h"

namespace varnel::testing {
namespace {

using comm::ReceiveQueue;
constexpr std::size_t kLimit = ReceiveQueue::kLimit;

void Push(ReceiveQueue& q, const std::string& text) {
    q.Push(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// Everything queued, as delivery takes it with InputLen 1: characters as they are, line events
// as <code>.
std::string Drain(ReceiveQueue& q) {
    std::string out;
    while (!q.Empty()) {
        const std::int16_t code = q.NextEvent();
        out += code == comm::kEvReceive ? q.Take(1) : "<" + std::to_string(code) + ">";
    }
    return out;
}

std::string Repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(ReceiveQueueTest, KeepsArrivalOrderAndDropsTheNewestPastTheLimitTellingEachOverflowOnce) {
    struct Case {
        const char* name;
        std::function<void(ReceiveQueue&)> fill;
        std::size_t chars;       // waiting characters afterwards
        std::uint64_t arrivals;  // entries that came, kept or dropped
        std::string delivered;
    };
    const Case cases[] = {
        {"characters and line events in the order they came",
         [](ReceiveQueue& q) {
             Push(q, "ab");
             q.PushEvent(comm::kEventFrame);
             q.Push('c');
             q.PushEvent(comm::kEventBreak);
         },
         3, 5, "ab<1004>c<1001>"},
        {"full: what comes next is dropped, one 1008 behind the last kept",
         [](ReceiveQueue& q) {
             Push(q, std::string(kLimit - 1, 'x'));
             Push(q, "yz");
             q.Push('w');
             q.PushEvent(comm::kEventFrame);
         },
         kLimit, kLimit + 3, std::string(kLimit - 1, 'x') + "y<1008>"},
        {"line events count toward the limit",
         [](ReceiveQueue& q) {
             for (std::size_t i = 0; i < kLimit; ++i)
                 q.PushEvent(comm::kEventRxParity);
             Push(q, "a");
         },
         0, kLimit + 1, Repeat("<1009>", kLimit) + "<1008>"},
        {"an overflow after room was made and used is told again",
         [](ReceiveQueue& q) {
             Push(q, std::string(kLimit, 'x') + "a");
             EXPECT_EQ(q.Take(2), "xx");
             Push(q, "bcd");
         },
         kLimit - 1, kLimit + 4, std::string(kLimit - 2, 'x') + "<1008>b<1008>"},
        {"emptied, it takes a full load again",
         [](ReceiveQueue& q) {
             Push(q, std::string(kLimit + 1, 'x'));
             q.Clear();
             Push(q, std::string(kLimit, 'y'));
         },
         kLimit, 2 * kLimit + 1, std::string(kLimit, 'y')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiveQueue q;
        c.fill(q);
        EXPECT_EQ(q.Chars(), c.chars);
        EXPECT_EQ(q.Arrivals(), c.arrivals);
        const std::uint64_t removed = q.Removals();
        const std::string delivered = Drain(q);
        EXPECT_EQ(delivered, c.delivered);
        EXPECT_EQ(q.Chars(), 0u);
        // Every entry delivered counts as taken off: one per character, one per <code>.
        const auto events = std::count(delivered.begin(), delivered.end(), '<');
        EXPECT_EQ(q.Removals() - removed, delivered.size() - 5 * static_cast<std::size_t>(events));
    }
}

TEST(ReceiveQueueTest, InputTakesItsLengthStoppingAtALineEventOrAllForZero) {
    struct Case {
        std::size_t inputLen;
        std::string first, second;  // two reads in a row
        std::string left;           // then delivered
    };
    const Case cases[] = {
        {0, "abc", "", ""},  // the line event between them is dropped
        {1, "a", "b", "<1004>c"},
        {2, "ab", "", "<1004>c"},
        {5, "ab", "", "<1004>c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.inputLen);
        ReceiveQueue q;
        Push(q, "ab");
        q.PushEvent(comm::kEventFrame);
        q.Push('c');
        EXPECT_EQ(q.Take(c.inputLen), c.first);
        EXPECT_EQ(q.Take(c.inputLen), c.second);
        EXPECT_EQ(Drain(q), c.left);
    }
}

}  // namespace
}  // namespace varnel::testing
