// What the tool prints for an event and how it writes it, and how a read decides it has its
// weight.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>

#include <bit>
#include <charconv>
#include <nlohmann/json.hpp>

#include "tools/varnel/line_writer.h"
#include "tools/varnel/output.h"
#include "tools/varnel/reading.h"
#include "tools/varnel/units.h"

namespace varnel::cli {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

EventRecord Weight(std::int16_t status, std::int16_t layout, std::string raw, float net = 0.0f,
                   std::int32_t netUnits = vnKilograms) {
    EventRecord r;
    r.scaleCommEvent = scale_event::kNewWeight;
    r.scaleStatus = status;
    r.rawWtUnits = layout;
    r.rawWt = std::move(raw);
    r.netWt = net;
    r.netWtUnits = netUnits;
    r.connectStatus = 1;
    r.valid = IsValidWeight(r.scaleCommEvent, r.scaleStatus, r.rawWtUnits);
    return r;
}

EventRecord Event(std::int16_t code, std::int16_t status = 0) {
    EventRecord r;
    r.scaleCommEvent = code;
    r.scaleStatus = status;
    r.rawWtUnits = 1;
    return r;
}

TEST(OutputTest, JsonLineNamesTheEventUnitsAndValidity) {
    struct Case {
        EventRecord record;
        const char* event;
        json units;
        bool valid;
        json text;
    };
    const std::vector<Case> cases = {
        {Weight(0, 1, "01234", 12.34f), "weight", "kg", true, "12.34"},
        {Weight(0, 1, "01234", 12340.0f, vnGrams), "weight", "g", true, "12340"},
        {Weight(0, 4, "01232", 39.5f, vnOunces), "weight", "oz", true, "39.50"},
        {Weight(0, 2, "01234", 2.4625f, vnPounds), "weight", "lb", true, "2.463"},
        {Weight(0, 1, "00000"), "weight", "kg", true, "0.00"},    // a real zero
        {Weight(1, 1, "00000"), "weight", "kg", false, nullptr},  // motion
        {Weight(0, 0, "00000"), "weight", "kg", false, nullptr},  // no layout
        {Weight(0, 1, "01234", 1.0f, 7), "weight", nullptr, true, nullptr},
        {Event(scale_event::kStatusChanged, 1), "status", "lb", false, nullptr},
        {Event(scale_event::kCommLost), "lost", "lb", false, nullptr},
        {Event(scale_event::kCommRestored), "restored", "lb", false, nullptr},
    };
    for (const Case& c : cases) {
        EventRecord r = c.record;
        r.time = "2024-05-01T12:00:01.234Z";
        r.device = "/dev/tty\"x";
        const std::string line = JsonLine(r);
        SCOPED_TRACE(line);
        const json j = json::parse(line);
        for (const char* key :
             {"ScaleCommEvent", "ScaleStatus", "RawWtUnits", "RawWt", "FormattedWt", "NetWt",
              "NetWtUnits", "WtNotification", "ConnectStatus"}) {
            EXPECT_TRUE(j.contains(key)) << key;
        }
        EXPECT_EQ(j.size(), 15u);
        EXPECT_EQ(j["t"], r.time);
        EXPECT_EQ(j["device"], r.device);
        EXPECT_EQ(j["event"], c.event);
        EXPECT_EQ(j["units"], c.units);
        EXPECT_EQ(j["valid"], c.valid);
        EXPECT_EQ(j["NetWtText"], c.text);
    }
}

TEST(OutputTest, StringsAreEscapedAndNetWtTextIsTheCorrectlyRoundedDecimal) {
    EXPECT_EQ(JsonString("a\"\\\x01\x7f\xff/"), "\"a\\\"\\\\\\u0001\\u007f\\u00ff/\"");
    // Against the general algorithm: ties, signs, the largest values and a sweep of the range.
    std::vector<float> values = {0.0f,   -0.0f,  0.125f,   0.375f, 2.5f,    -0.001f,
                                 1.005f, 2.675f, 39.5625f, 1e14f,  3.4e38f, -1e20f,
                                 1e-30f, 0.5f,   1.5f,     -2.5f,  0.0625f, 99999.99f};
    for (std::uint32_t bits = 0x3a000000; bits < 0x48000000; bits += 0x1f3b5)
        values.push_back(std::bit_cast<float>(bits));
    for (const float v : values) {
        for (int layout = 1; layout <= 4; ++layout) {
            for (std::int32_t units = vnPounds; units <= vnOunces; ++units) {
                const EventRecord r =
                    Weight(0, static_cast<std::int16_t>(layout), "00000", v, units);
                char buf[80];
                const int decimals = *NetWtDecimals(r.rawWtUnits, units);
                const auto end = std::to_chars(buf, buf + sizeof buf, static_cast<double>(v),
                                               std::chars_format::fixed, decimals)
                                     .ptr;
                ASSERT_EQ(NetWtText(r), std::string(buf, end)) << v << " with " << decimals;
            }
        }
    }
}

TEST(OutputTest, TimesAreRfc3339InUtcWithMilliseconds) {
    using namespace std::chrono;
    EXPECT_EQ(Rfc3339(system_clock::time_point(milliseconds(1714564801234))),
              "2024-05-01T12:00:01.234Z");
    EXPECT_EQ(Rfc3339(system_clock::time_point(microseconds(999999))), "1970-01-01T00:00:00.999Z");
    for (int i = 0; i < 3; ++i) {  // the first call works the second out, the next ones reuse it
        const std::string before = Rfc3339(system_clock::now());
        const std::string now = TimeNow();
        const std::string after = Rfc3339(system_clock::now());
        EXPECT_LE(before, now);
        EXPECT_LE(now, after);
    }
}

TEST(OutputTest, UnitAndPolicyNamesAreTheSameEverywhere) {
    const std::vector<std::pair<const char*, std::optional<VN_UOM_ENUM>>> units = {
        {"lb", vnPounds},       {"POUNDS", vnPounds},       {"vnPounds", vnPounds},
        {"Kg", vnKilograms},    {"kilograms", vnKilograms}, {"g", vnGrams},
        {"vngrams", vnGrams},   {"oz", vnOunces},           {"Ounces", vnOunces},
        {"gram", std::nullopt}, {"", std::nullopt},         {"lbs", std::nullopt},
        {"2", std::nullopt},
    };
    for (const auto& [name, value] : units)
        EXPECT_EQ(ParseUnits(name), value) << name;
    EXPECT_EQ(ParseNotify("Changed"), vnChanged);
    EXPECT_EQ(ParseNotify("VNEVERYTIME"), vnEverytime);
    EXPECT_EQ(ParseNotify("sometimes"), std::nullopt);
}

TEST(LineWriterTest, AReaderThatStopsLosesWholeLinesAndHearsHowMany) {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ASSERT_GT(::fcntl(fds[0], F_SETPIPE_SZ, 4096), 0);
    boost::asio::io_context io;
    {
        LineWriter writer(io, fds[1], 1000);
        std::uint64_t dropped = 0;
        int error = 0;
        writer.onDrained = [&](std::uint64_t n) { dropped += n; };
        writer.onError = [&](int e) { error = e; };
        const std::string line(99, 'x');
        for (int i = 0; i < 100; ++i)
            EXPECT_TRUE(writer.Write(line));  // never blocks
        EXPECT_GT(writer.Pending(), 0u);
        EXPECT_FALSE(::fcntl(fds[1], F_GETFL) & O_NONBLOCK);  // the caller's descriptor as it was

        // The reader comes back: what waited goes out, then the count of what was dropped.
        ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
        std::string got;
        auto take = [&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
                got.append(buf, static_cast<std::size_t>(n));
        };
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (dropped == 0 && std::chrono::steady_clock::now() < end) {
            take();
            io.run_for(5ms);
            io.restart();
        }
        take();
        const auto lines = static_cast<std::uint64_t>(std::count(got.begin(), got.end(), '\n'));
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(lines + dropped, 100u);
        std::string whole;
        for (std::uint64_t i = 0; i < lines; ++i)
            whole += line + "\n";
        EXPECT_EQ(got, whole);

        // The reader goes for good.
        ::close(fds[0]);
        EXPECT_FALSE(writer.Write(line));
        EXPECT_EQ(error, EPIPE);
    }
    ::close(fds[1]);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(OutputTest, TextLinesEscapeTheBytesOfTheLine) {
    EventRecord r;
    r.scaleCommEvent = 1;
    r.rawWtUnits = 3;
    r.formattedWt = "\x1b[2J\x07\\\x9b";
    const std::string line = HumanLine("12:00:00.000", r);
    EXPECT_NE(line.find("\\u001b[2J\\u0007\\\\\\u009b g"), std::string::npos) << line;
    EXPECT_EQ(std::count_if(line.begin(), line.end(), [](char c) { return c < 0x20 || c >= 0x7F; }),
              0)
        << line;
}

TEST(ReadWatcherTest, EndsAtTheRequiredRunOfEqualWeightsOrSaysWhatCame) {
    const EventRecord a = Weight(0, 1, "00100");
    const EventRecord b = Weight(0, 1, "00105");
    const EventRecord motion = Weight(1, 1, "00000");
    const EventRecord noLayout = Weight(0, 0, "00100");
    const EventRecord status1 = Event(scale_event::kStatusChanged, 1);
    const EventRecord lost = Event(scale_event::kCommLost);
    struct Case {
        const char* name;
        int stable;
        std::vector<EventRecord> events;
        std::optional<std::string> result;  // RawWt of the weight that ends the read
        std::string seen;
        bool failedFirst = false;  // the port could not be opened before the events
    };
    const std::vector<Case> cases = {
        {"first valid weight", 1, {motion, a}, "00100", ""},
        {"a change restarts the run", 3, {a, a, b, b, b}, "00105", ""},
        {"motion breaks the run",
         3,
         {a, a, status1, motion, a},
         std::nullopt,
         "3 valid weights, at most 2 of 3 in a row the same; 1 frame without a valid weight "
         "(status 1)"},
        {"a loss breaks the run",
         2,
         {a, lost, a},
         std::nullopt,
         "2 valid weights, at most 1 of 2 in a row the same; the link was lost once"},
        {"nothing", 1, {}, std::nullopt, "no data at all"},
        {"no port", 1, {}, std::nullopt, "cannot open the port (error 8002): /dev/x: gone", true},
        {"a port that opened later",
         1,
         {motion},
         std::nullopt,
         "only frames without a valid weight (status 1)",
         true},
        {"lost, then no port",
         1,
         {lost},
         std::nullopt,
         "no data at all; the link was lost once; cannot open the port (error 8002): /dev/x: gone",
         true},
        {"silence", 1, {lost, lost}, std::nullopt, "no data at all; the link was lost 2 times"},
        {"only motion",
         1,
         {status1, motion, motion},
         std::nullopt,
         "only frames without a valid weight (status 1)"},
        {"only an unknown layout",
         1,
         {noLayout},
         std::nullopt,
         "only frames with no known weight layout (RawWtUnits 0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReadWatcher w(c.stable);
        const posix::OpenFailure failure{posix::OpenFailure::Kind::Port, "/dev/x", 8002,
                                         "/dev/x: gone"};
        if (c.failedFirst) w.Failure(failure);
        for (const EventRecord& r : c.events) {
            w.Add(r);
            if (c.failedFirst && r.scaleCommEvent == scale_event::kCommLost) w.Failure(failure);
        }
        ASSERT_EQ(w.Result().has_value(), c.result.has_value());
        if (c.result) {
            EXPECT_EQ(w.Result()->rawWt, *c.result);
        } else {
            EXPECT_EQ(w.WhatWasSeen(), c.seen);
        }
    }
}

}  // namespace
}  // namespace varnel::cli
