// The simulator's timed byte stream: frame timing, status, faults, the demonstration.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "datapath/frame.h"
#include "tests/fakes/harness.h"
#include "tools/sim/demo.h"
#include "tools/sim/simulator.h"

namespace varnel::sim {
namespace {

using namespace std::chrono_literals;
using Slots = std::vector<std::uint64_t>;

Config With(std::chrono::nanoseconds period, std::vector<const char*> faults = {}) {
    Config config;
    config.period = period;
    for (const char* f : faults)
        config.faults.push_back(ParseFault(f));
    return config;
}

// Every chunk up to and including slot `lastSlot`, or to the end of the script.
std::vector<Chunk> Chunks(Config config, std::uint64_t lastSlot = 1'000'000) {
    Simulator simulator(std::move(config));
    std::vector<Chunk> chunks;
    while (auto chunk = simulator.Next()) {
        if (chunk->slot > lastSlot) break;
        chunks.push_back(std::move(*chunk));
    }
    return chunks;
}

Slots FrameSlots(const std::vector<Chunk>& chunks) {
    Slots slots;
    for (const auto& c : chunks)
        if (c.frame) slots.push_back(c.slot);
    return slots;
}

double Seconds(std::chrono::nanoseconds t) {
    return std::chrono::duration<double>(t).count();
}

int StatusOf(const Chunk& c) {
    return frame::DecodeStatus(static_cast<unsigned char>(c.bytes[1])).status;
}

TEST(SimulatorTest, OneFramePerPeriodAtTheLineRateWithoutDrift) {
    EXPECT_NEAR(Seconds(kLinePeriod), 110.0 / 2400.0, 1e-9);  // 11 bits x 10 characters
    Config config;
    config.layout = Layout::Grams;
    config.script = Script::Ramp(0.0, 1000.0, 1.0);
    const auto chunks = Chunks(config, 99);
    ASSERT_EQ(chunks.size(), 100u);
    for (std::uint64_t n = 0; n < chunks.size(); ++n) {
        EXPECT_EQ(chunks[n].slot, n);
        EXPECT_TRUE(chunks[n].frame && chunks[n].faults.empty());
        EXPECT_EQ(chunks[n].at, kLinePeriod * static_cast<long>(n));
        const double t = Seconds(chunks[n].at);
        EXPECT_EQ(chunks[n].bytes, EncodeFrame(Layout::Grams, 0, std::min(t, 1.0) * 1000.0));
    }
    EXPECT_NEAR(Seconds(chunks[96].at), 4.4, 1e-6);  // 96 frames take 4.4 s
}

TEST(SimulatorTest, StatusComesFromTheReadingOrTheSchedule) {
    Config config = With(100ms);
    config.status = ParseStatusSchedule("2,1@1.0-2.0,7@1.5-3.0");
    for (const auto& c : Chunks(config, 39)) {
        const double t = Seconds(c.at);
        EXPECT_EQ(StatusOf(c), t >= 1.0 && t < 2.0 ? 1 : (t >= 1.5 && t < 3.0 ? 7 : 2)) << t;
    }
    config.script = Script::Lines({{1.0, 5, {}}, {2.0, {}, {}}, {0.0, {}, "raw\r"}});
    const auto lines = Chunks(config);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].bytes, EncodeFrame(Layout::Kilograms, 5, 1.0));
    EXPECT_EQ(lines[1].bytes, EncodeFrame(Layout::Kilograms, 2, 2.0));
    EXPECT_EQ(lines[2].bytes, "raw\r");

    EXPECT_EQ(ParseStatusSchedule("1@3-4").base, 0);
    EXPECT_EQ(ParseStatusSchedule("15").windows.size(), 0u);
    const struct {
        const char* option;
        const char* message;
    } bad[] = {
        {"16", "status 16 is outside 0..15"},
        {"0,1", "only the first item may be a plain status; expected N@FROM-TO"},
        {"0,1@3", "expected N@FROM-TO, e.g. 1@3.0-4.0"},
        {"0,1@4-3", "needs 0 <= FROM < TO in 1@4-3"},
    };
    for (const auto& c : bad) {
        try {
            ParseStatusSchedule(c.option);
            ADD_FAILURE() << "no error for " << c.option;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "status '" + std::string(c.option) + "': " + c.message);
        }
    }
}

TEST(SimulatorTest, FaultsAppearExactlyWhereScheduledWithTheirShape) {
    Config config = With(kLinePeriod, {"truncate@at:30", "overlong:3@every:40", "stx@every:25",
                                       "garbage:8@every:50", "silence:1500@at:200"});
    config.script = Script::Walk(5.0, 0.01, 0.0, 20.0, 42);
    const auto chunks = Chunks(config, 400);
    Config clean = config;
    clean.faults.clear();
    const auto plain = Chunks(clean, 400);

    std::size_t i = 0;
    for (std::uint64_t n = 0; n <= 400 && i < chunks.size(); ++n) {
        SCOPED_TRACE(n);
        if (n == 200) {  // the silence: a marker, then nothing until 1.5 s later
            EXPECT_EQ(chunks[i++], (Chunk{plain[n].at, "", false, n, {FaultKind::Silence}}));
            n = 232;  // due 1.4667 s after slot 200; slot 233 is due 1.5125 s after
            continue;
        }
        std::string bytes = plain[n].bytes;
        std::vector<FaultKind> faults;
        if (n == 30) {
            bytes = bytes.substr(0, 6) + "\r";
            faults.push_back(FaultKind::Truncate);
        }
        if (n > 0 && n % 40 == 0) {
            bytes = bytes.substr(0, 9) + "000\r";
            faults.push_back(FaultKind::Overlong);
        }
        if (n > 0 && n % 25 == 0) {
            bytes[5] = frame::kSTX;
            faults.push_back(FaultKind::StxInside);
        }
        EXPECT_EQ(chunks[i++], (Chunk{plain[n].at, bytes, true, n, faults}));
        if (n > 0 && n % 50 == 0) {
            const Chunk& g = chunks[i++];
            EXPECT_EQ(g.at, plain[n].at + config.period / 2);
            EXPECT_EQ(g.bytes.size(), 8u);
            EXPECT_EQ(g.faults, std::vector<FaultKind>{FaultKind::Garbage});
        }
    }
    EXPECT_EQ(i, chunks.size());
    EXPECT_EQ(chunks.back().slot, 400u);
}

TEST(SimulatorTest, GarbageIsSeededAndKeepsClearOfStxAndCrUnlessAsked) {
    auto garbage = [](const char* fault, std::uint64_t seed) {
        Config config = With(kLinePeriod, {fault});
        config.seed = seed;
        std::string bytes;
        for (const auto& c : Chunks(config, 3))
            bytes += c.frame ? "" : c.bytes;
        return bytes;
    };
    const auto plain = garbage("garbage:4096@every:1", 9);
    ASSERT_EQ(plain.size(), 3u * 4096);
    EXPECT_EQ(plain.find_first_of("\x02\r"), std::string::npos);
    EXPECT_EQ(std::set<char>(plain.begin(), plain.end()).size(), 254u);
    const auto any = garbage("garbage:4096:any@every:1", 9);
    EXPECT_EQ(std::set<char>(any.begin(), any.end()).size(), 256u);
    EXPECT_EQ(garbage("garbage:64@every:1", 9), garbage("garbage:64@every:1", 9));
    EXPECT_NE(garbage("garbage:64@every:1", 9), garbage("garbage:64@every:1", 10));
}

TEST(SimulatorTest, SilenceLeavesAGapOfItsLengthAndOverlapsExtendIt) {
    auto slotsAndMarkers = [](std::vector<const char*> faults) {
        const auto chunks = Chunks(With(100ms, faults), 30);
        const auto markers = std::count_if(chunks.begin(), chunks.end(),
                                           [](const Chunk& c) { return c.bytes.empty(); });
        return std::make_pair(FrameSlots(chunks), markers);
    };
    auto allBut = [](std::uint64_t from, std::uint64_t to) {
        Slots slots;
        for (std::uint64_t n = 0; n <= 30; ++n)
            if (n < from || n > to) slots.push_back(n);
        return slots;
    };
    // 500 ms from slot 10 covers slots 10..14; slot 15 is due just as it ends.
    EXPECT_EQ(slotsAndMarkers({"silence:500@at:10"}), std::make_pair(allBut(10, 14), 1l));
    // A second silence inside the first extends it, with no marker of its own.
    EXPECT_EQ(slotsAndMarkers({"silence:500@at:10", "silence:500@at:13"}),
              std::make_pair(allBut(10, 17), 1l));
    // At a time: from the first slot at or after it, slot 13 (1.3 s), 400 ms covers 13..16.
    EXPECT_EQ(slotsAndMarkers({"silence:400@time:1.25"}), std::make_pair(allBut(13, 16), 1l));
}

TEST(SimulatorTest, SameConfigGivesTheSameStreamAndBadConfigsAreRejected) {
    Config config = With(kLinePeriod, {"garbage:5@every:7", "silence:100@every:60"});
    config.script = Script::Walk(5.0, 0.5, 0.0, 20.0, 3);
    EXPECT_EQ(Chunks(config, 300), Chunks(config, 300));

    config.script = Script::Lines({{1.0, {}, {}}});
    Simulator ended(config);
    EXPECT_TRUE(ended.Next() && !ended.Next() && !ended.Next());

    EXPECT_THROW(Simulator{With(0ns)}, std::invalid_argument);
    Config bad;
    bad.filler = "x";
    EXPECT_THROW(Simulator{bad}, std::invalid_argument);
    bad = Config{};
    bad.status.windows.push_back({16, 0.0, 1.0});
    EXPECT_THROW(Simulator{bad}, std::invalid_argument);
}

TEST(DemoTest, FollowsItsTimeline) {
    const auto& t = kDemoTimeline;
    const auto chunks = Chunks(DemoSession());
    double peak = 0.0, lastBeforeSilence = 0.0, firstAfterSilence = 0.0, last = 0.0;
    for (const auto& c : chunks) {
        if (!c.frame) continue;
        const double s = Seconds(c.at);
        const float kg =
            frame::ConvertWeights(frame::units::kKilograms, frame::RawWeightField(0, c.bytes))
                .kilograms;
        SCOPED_TRACE(s);
        ASSERT_EQ(c.bytes.size(), frame::kLength);
        EXPECT_EQ(StatusOf(c), s >= t[3].from && s < t[3].to ? 1 : 0);
        // Empty, settled around 1.25 kg, then around 2.50 kg; free while moving.
        const bool expectedWeight = s < t[0].to                     ? kg == 0.0f
                                    : s >= t[2].from && s < t[2].to ? kg >= 1.24f && kg <= 1.26f
                                    : s >= t[4].from                ? kg >= 2.49f && kg <= 2.51f
                                                                    : true;
        EXPECT_TRUE(expectedWeight) << kg;
        if (s >= t[1].from && s < t[1].to) peak = std::max(peak, double{kg});
        EXPECT_FALSE(s >= t[5].from && s < t[5].to) << "frame inside the silence";
        if (s < t[5].from)
            lastBeforeSilence = s;
        else if (firstAfterSilence == 0.0)
            firstAfterSilence = s;
        last = s;
    }
    EXPECT_NEAR(peak, 1.32, 0.006);
    // Long enough for the 1 s receive watchdog, then for the 3 s reconnect cycle.
    EXPECT_GE(firstAfterSilence - lastBeforeSilence, 1.5);
    EXPECT_GE(last - firstAfterSilence, 4.0);
    EXPECT_NEAR(last, t.back().to, 0.05);
}

TEST(DemoTest, TheControlSeesReadingsMotionALostLinkAndTheReconnect) {
    testing::Harness h;
    ASSERT_EQ(h.Open(), 1);                                     // ConnectStatus
    std::vector<std::pair<std::int64_t, std::int16_t>> events;  // ms, ScaleCommEvent
    h.container.onScaleComm = [&] { events.emplace_back(h.clock.Now(), h.ctl->ScaleCommEvent()); };
    Simulator demo(DemoSession());
    while (auto chunk = demo.Next()) {
        h.clock.Advance(std::chrono::duration_cast<std::chrono::milliseconds>(chunk->at).count() -
                        h.clock.Now());
        h.Feed(chunk->bytes);
    }
    auto times = [&](std::int16_t code) {
        std::vector<double> at;  // ms
        for (const auto& [ms, event] : events)
            if (event == code) at.push_back(static_cast<double>(ms));
        return at;
    };
    // Status changes into and out of motion.
    const auto statusChanges = times(2);
    ASSERT_EQ(statusChanges.size(), 2u);
    EXPECT_NEAR(statusChanges[0], 4000, 50);
    EXPECT_NEAR(statusChanges[1], 5000, 50);
    // The watchdog 1 s after the last frame before the silence; the reconnect 3 s later.
    ASSERT_EQ(times(3).size(), 1u);
    ASSERT_EQ(times(4).size(), 1u);
    const auto lost = times(3)[0], back = times(4)[0];
    EXPECT_NEAR(lost, 6500 + 1000, 50);
    EXPECT_EQ(back, lost + 3000);
    // Readings stop with the loss and are reported again for seconds after the reconnect.
    const auto readings = times(1);
    EXPECT_EQ(std::count_if(readings.begin(), readings.end(),
                            [&](double ms) { return ms > lost && ms < back; }),
              0);
    EXPECT_GE(readings.back() - back, 1900);
    EXPECT_EQ(h.ctl->RawWt().substr(0, 3), "002");
}

}  // namespace
}  // namespace varnel::sim
