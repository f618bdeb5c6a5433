// The simulator's timed byte stream: frame timing, status, faults, the demonstration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "datapath/frame.h"
#include "tools/sim/demo.h"
#include "tools/sim/simulator.h"

namespace varnel::sim {
namespace {

using namespace std::chrono_literals;

// Every chunk up to and including slot `lastSlot`, or to the end of the script.
std::vector<Chunk> Chunks(Config config, std::uint64_t lastSlot = 1'000'000) {
    Simulator simulator(std::move(config));
    std::vector<Chunk> chunks;
    while (auto chunk = simulator.Next()) {
        if (chunk->slot > lastSlot)
            break;
        chunks.push_back(std::move(*chunk));
    }
    return chunks;
}

std::vector<Chunk> Frames(const std::vector<Chunk>& chunks) {
    std::vector<Chunk> frames;
    std::copy_if(chunks.begin(), chunks.end(), std::back_inserter(frames),
                 [](const Chunk& c) { return c.frame; });
    return frames;
}

double Seconds(std::chrono::nanoseconds t) {
    return std::chrono::duration<double>(t).count();
}

int StatusOf(const Chunk& c) {
    return frame::DecodeStatus(static_cast<unsigned char>(c.bytes[1])).status;
}

double KilogramsOf(const Chunk& c) {
    return frame::ConvertWeights(frame::units::kKilograms, frame::RawWeightField(0, c.bytes))
        .kilograms;
}

TEST(SimulatorTest, OneFramePerPeriodAtTheLineRate) {
    // 2400 baud, 11 bits a character, 10 characters: 110/2400 s.
    EXPECT_NEAR(std::chrono::duration<double>(kLinePeriod).count(), 110.0 / 2400.0, 1e-9);

    Config config;
    config.layout = Layout::Grams;
    config.script = Script::Ramp(0.0, 1000.0, 1.0);
    const auto chunks = Chunks(config, 99);
    ASSERT_EQ(chunks.size(), 100u);
    for (std::uint64_t n = 0; n < chunks.size(); ++n) {
        SCOPED_TRACE(n);
        const auto& c = chunks[n];
        EXPECT_EQ(c.slot, n);
        EXPECT_TRUE(c.frame);
        EXPECT_TRUE(c.faults.empty());
        EXPECT_EQ(c.at, 45'833'333ns * static_cast<long>(n));
        const double t = Seconds(c.at);
        EXPECT_EQ(c.bytes, EncodeFrame(Layout::Grams, 0, std::min(t, 1.0) * 1000.0));
    }
    // 24 frames take 1.1 s to within a microsecond: the slot times do not drift.
    EXPECT_NEAR(Seconds(chunks[24].at), 1.1, 1e-6);
}

TEST(SimulatorTest, StatusScheduleAndReadingsSetTheStatusNibble) {
    Config config;
    config.status = ParseStatusSchedule("2,1@1.0-2.0,7@1.5-3.0");
    config.period = 100ms;
    const auto chunks = Chunks(config, 39);
    ASSERT_EQ(chunks.size(), 40u);
    for (const auto& c : chunks) {
        const double t = Seconds(c.at);
        const int expected = t >= 1.0 && t < 2.0 ? 1 : (t >= 1.5 && t < 3.0 ? 7 : 2);
        EXPECT_EQ(StatusOf(c), expected) << t;
    }

    // A reading's own status wins; raw bytes go out as they are.
    config.script = Script::Lines({{1.0, 5, {}}, {2.0, {}, {}}, {0.0, {}, "raw\r"}});
    const auto lines = Chunks(config);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].bytes, EncodeFrame(Layout::Kilograms, 5, 1.0));
    EXPECT_EQ(lines[1].bytes, EncodeFrame(Layout::Kilograms, 2, 2.0));
    EXPECT_EQ(lines[2].bytes, "raw\r");
    EXPECT_TRUE(lines[2].frame);
}

TEST(SimulatorTest, StatusScheduleStrings) {
    const auto plain = ParseStatusSchedule("0");
    EXPECT_EQ(plain.base, 0);
    EXPECT_TRUE(plain.windows.empty());
    const auto motion = ParseStatusSchedule("1@3.0-4.0");
    EXPECT_EQ(motion.base, 0);
    ASSERT_EQ(motion.windows.size(), 1u);
    EXPECT_EQ(motion.At(2.999), 0);
    EXPECT_EQ(motion.At(3.0), 1);
    EXPECT_EQ(motion.At(3.999), 1);
    EXPECT_EQ(motion.At(4.0), 0);
    EXPECT_EQ(ParseStatusSchedule("15").base, 15);
    EXPECT_EQ(ParseStatusSchedule("3,1@0-1,2@5-6").windows.size(), 2u);

    const struct {
        const char* option;
        const char* message;
    } bad[] = {
        {"", "status '' is not a whole number"},
        {"16", "status 16 is outside 0..15"},
        {"0,16@1-2", "status 16 is outside 0..15"},
        {"0,1", "only the first item may be a plain status"},
        {"0,1@3", "expected N@FROM-TO"},
        {"0,1@3-4-5", "expected N@FROM-TO"},
        {"0,1@4-3", "needs 0 <= FROM < TO"},
        {"0,1@3-3", "needs 0 <= FROM < TO"},
        {"0,1@a-3", "start time 'a' is not a number"},
        {"0,", "only the first item may be a plain status"},
    };
    for (const auto& c : bad) {
        try {
            ParseStatusSchedule(c.option);
            ADD_FAILURE() << "no error for " << c.option;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.option << ": " << e.what();
        }
    }
}

TEST(SimulatorTest, FaultsAppearExactlyWhereScheduledWithTheirShape) {
    Config config;
    config.script = Script::Walk(5.0, 0.01, 0.0, 20.0, 42);
    for (const char* f : {"truncate@at:30", "overlong:3@every:40", "stx@every:25",
                          "garbage:8@every:50", "silence:1500@at:200"})
        config.faults.push_back(ParseFault(f));
    const auto chunks = Chunks(config, 400);

    // The same stream without faults gives the frames they reshape.
    Config clean = config;
    clean.faults.clear();
    const auto plain = Chunks(clean, 400);
    ASSERT_EQ(plain.size(), 401u);

    // Silence from slot 200 for 1.5 s: slot 232 is due 1.4667 s later, slot 233 1.5125 s.
    auto silent = [](std::uint64_t n) { return n >= 200 && n <= 232; };
    std::size_t i = 0;
    for (std::uint64_t n = 0; n <= 400; ++n) {
        SCOPED_TRACE(n);
        const auto due = plain[n].at;
        if (n == 200) {
            ASSERT_LT(i, chunks.size());
            EXPECT_EQ(chunks[i].at, due);
            EXPECT_TRUE(chunks[i].bytes.empty());
            EXPECT_EQ(chunks[i].faults, std::vector<FaultKind>{FaultKind::Silence});
            ++i;
        }
        if (silent(n))
            continue;
        ASSERT_LT(i, chunks.size());
        const Chunk& c = chunks[i++];
        EXPECT_TRUE(c.frame);
        EXPECT_EQ(c.at, due);
        std::string expected = plain[n].bytes;
        std::vector<FaultKind> faults;
        if (n == 30) {
            expected = expected.substr(0, 6) + "\r";
            faults.push_back(FaultKind::Truncate);
        }
        if (n > 0 && n % 40 == 0) {
            expected = expected.substr(0, 9) + "000\r";
            faults.push_back(FaultKind::Overlong);
        }
        if (n > 0 && n % 25 == 0) {
            expected[5] = frame::kSTX;
            faults.push_back(FaultKind::StxInside);
        }
        EXPECT_EQ(c.bytes, expected);
        EXPECT_EQ(c.faults, faults);
        if (n > 0 && n % 50 == 0) {
            ASSERT_LT(i, chunks.size());
            const Chunk& g = chunks[i++];
            EXPECT_FALSE(g.frame);
            EXPECT_EQ(g.at, due + config.period / 2);
            EXPECT_EQ(g.bytes.size(), 8u);
            EXPECT_EQ(g.bytes.find_first_of("\x02\r"), std::string::npos);
            EXPECT_EQ(g.faults, std::vector<FaultKind>{FaultKind::Garbage});
        }
    }
    EXPECT_EQ(i, chunks.size());
    // Slot 400 carries both the overlong and the STX fault, in the order configured.
    EXPECT_EQ(Frames(chunks).back().bytes.size(), 13u);
}

TEST(SimulatorTest, GarbageIsSeededAndKeepsClearOfStxAndCrUnlessAsked) {
    auto garbage = [](const char* fault, std::uint64_t seed) {
        Config config;
        config.faults.push_back(ParseFault(fault));
        config.seed = seed;
        std::string bytes;
        for (const auto& c : Chunks(config, 3))
            if (!c.frame)
                bytes += c.bytes;
        return bytes;
    };
    const auto plainBytes = garbage("garbage:4096@every:1", 9);
    ASSERT_EQ(plainBytes.size(), 3u * 4096);
    EXPECT_EQ(plainBytes.find_first_of("\x02\r"), std::string::npos);
    EXPECT_EQ(std::set<char>(plainBytes.begin(), plainBytes.end()).size(), 254u);

    const auto anyBytes = garbage("garbage:4096:any@every:1", 9);
    EXPECT_EQ(std::set<char>(anyBytes.begin(), anyBytes.end()).size(), 256u);

    EXPECT_EQ(garbage("garbage:64@every:1", 9), garbage("garbage:64@every:1", 9));
    EXPECT_NE(garbage("garbage:64@every:1", 9), garbage("garbage:64@every:1", 10));
}

TEST(SimulatorTest, TimedSilenceLeavesOneGapOfItsLength) {
    Config config;
    config.faults.push_back(ParseFault("silence:1500@time:4.5"));
    config.script = Script::Sequence({{Script::Steady(1.0), 10.0}});
    const auto frames = Frames(Chunks(config));
    ASSERT_FALSE(frames.empty());
    // The script ends after 10 s: the last slot before it.
    EXPECT_LT(Seconds(frames.back().at), 10.0);
    EXPECT_GT(Seconds(frames.back().at), 10.0 - 0.046);

    std::vector<std::pair<double, double>> gaps;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        const double from = Seconds(frames[i - 1].at), to = Seconds(frames[i].at);
        if (to - from > 0.046)
            gaps.emplace_back(from, to);
    }
    ASSERT_EQ(gaps.size(), 1u);
    // Last frame before 4.5 s; the silence starts at the next slot, 4.5375 s, for 1.5 s.
    EXPECT_NEAR(gaps[0].first, 98 * 0.0458333, 1e-5);
    EXPECT_NEAR(gaps[0].second, 132 * 0.0458333, 1e-5);
}

TEST(SimulatorTest, SilenceEndsAfterItsLengthAndOverlappingSilencesExtendIt) {
    auto slots = [](std::vector<const char*> faults) {
        Config config;
        config.period = 100ms;
        for (const char* f : faults)
            config.faults.push_back(ParseFault(f));
        std::vector<std::uint64_t> sent;
        int markers = 0;
        for (const auto& c : Chunks(config, 30)) {
            if (c.frame)
                sent.push_back(c.slot);
            markers += c.bytes.empty() ? 1 : 0;
        }
        return std::make_pair(sent, markers);
    };
    // 500 ms from slot 10 covers slots 10..14; slot 15 is due just as it ends.
    auto [single, singleMarkers] = slots({"silence:500@at:10"});
    std::vector<std::uint64_t> expected;
    for (std::uint64_t n = 0; n <= 30; ++n)
        if (n < 10 || n > 14)
            expected.push_back(n);
    EXPECT_EQ(single, expected);
    EXPECT_EQ(singleMarkers, 1);

    // A second silence firing inside the first extends it without a marker of its own.
    auto [joined, joinedMarkers] = slots({"silence:500@at:10", "silence:500@at:13"});
    expected.clear();
    for (std::uint64_t n = 0; n <= 30; ++n)
        if (n < 10 || n > 17)
            expected.push_back(n);
    EXPECT_EQ(joined, expected);
    EXPECT_EQ(joinedMarkers, 1);
}

TEST(SimulatorTest, SameConfigSameStreamAndBadConfigsAreRejected) {
    Config config;
    config.script = Script::Walk(5.0, 0.5, 0.0, 20.0, 3);
    config.faults.push_back(ParseFault("garbage:5@every:7"));
    config.faults.push_back(ParseFault("silence:100@every:60"));
    EXPECT_EQ(Chunks(config, 300), Chunks(config, 300));

    Config lines;
    lines.script = Script::Lines({{1.0, {}, {}}});
    Simulator ended(lines);
    EXPECT_TRUE(ended.Next());
    EXPECT_FALSE(ended.Next());
    EXPECT_FALSE(ended.Next());

    Config bad;
    bad.period = 0ns;
    EXPECT_THROW(Simulator{bad}, std::invalid_argument);
    bad = Config{};
    bad.filler = "x";
    EXPECT_THROW(Simulator{bad}, std::invalid_argument);
    bad = Config{};
    bad.status.base = 16;
    EXPECT_THROW(Simulator{bad}, std::invalid_argument);
    bad = Config{};
    bad.status.windows.push_back({-1, 0.0, 1.0});
    EXPECT_THROW(Simulator{bad}, std::invalid_argument);
}

TEST(DemoTest, FollowsItsTimeline) {
    const auto& t = kDemoTimeline;
    for (std::size_t i = 1; i < t.size(); ++i)
        EXPECT_EQ(t[i].from, t[i - 1].to);

    const auto chunks = Chunks(DemoSession());
    const auto frames = Frames(chunks);
    ASSERT_GT(frames.size(), 200u);
    double peak = 0.0, lastBeforeSilence = 0.0, firstAfterSilence = 0.0;
    for (const auto& f : frames) {
        const double s = Seconds(f.at), kg = KilogramsOf(f);
        SCOPED_TRACE(s);
        ASSERT_EQ(f.bytes.size(), frame::kLength);
        EXPECT_EQ(StatusOf(f), s >= t[3].from && s < t[3].to ? 1 : 0);
        if (s < t[0].to) {
            EXPECT_EQ(kg, 0.0f);
        } else if (s < t[1].to) {
            peak = std::max(peak, kg);
        } else if (s < t[2].to) {
            EXPECT_TRUE(kg >= 1.24f && kg <= 1.26f) << kg;
        } else if (s >= t[4].from) {
            EXPECT_TRUE(kg >= 2.49f && kg <= 2.51f) << kg;
        }
        if (s < t[5].from)
            lastBeforeSilence = s;
        else if (firstAfterSilence == 0.0)
            firstAfterSilence = s;
        EXPECT_FALSE(s >= t[5].from && s < t[5].to) << "frame inside the silence";
    }
    EXPECT_NEAR(peak, 1.32, 0.006);
    // Silence long enough for the 1 s watchdog, readings long enough for the 3 s reconnect.
    EXPECT_GE(firstAfterSilence - lastBeforeSilence, 1.5);
    EXPECT_GE(Seconds(frames.back().at) - firstAfterSilence, 4.0);
    EXPECT_NEAR(Seconds(frames.back().at), t.back().to, 0.05);
    const auto silences = std::count_if(chunks.begin(), chunks.end(), [](const Chunk& c) {
        return c.faults == std::vector<FaultKind>{FaultKind::Silence};
    });
    EXPECT_EQ(silences, 1);
}

}  // namespace
}  // namespace varnel::sim
