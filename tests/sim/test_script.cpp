// Weight scripts, their option strings and their files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/sim/script.h"

namespace varnel::sim {
namespace {

using Weights = std::vector<double>;

// Weights at the given times (every 50 ms when only a count is given); fewer if it ends.
Weights Sample(Script script, const Weights& times) {
    Weights weights;
    for (double t : times) {
        auto reading = script.Next(t);
        if (!reading) break;
        weights.push_back(reading->weight);
    }
    return weights;
}
Weights Series(Script script, int count) {
    Weights times;
    for (int i = 0; i < count; ++i)
        times.push_back(i * 0.05);
    return Sample(std::move(script), times);
}

// The message of the std::invalid_argument that f throws.
template <typename F>
std::string ErrorOf(F f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no error";
}

TEST(ScriptTest, RampsHoldTheirEndAndSequencesSwitchByTime) {
    EXPECT_EQ(Sample(Script::Ramp(0.0, 10.0, 5.0), {0.0, 1.25, 2.5, 5.0, 60.0}),
              (Weights{0.0, 2.5, 5.0, 10.0, 10.0}));
    EXPECT_EQ(Sample(Script::Ramp(4.0, 2.0, 2.0), {0.0, 1.0, 3.0}), (Weights{4.0, 3.0, 2.0}));
    EXPECT_EQ(Sample(Script::Ramp(4.0, 2.0, 0.0), {0.0}), (Weights{2.0}));

    // Each segment starts at its own time 0; one whose script ends hands over at once.
    Script sequence = Script::Sequence({
        {Script::Steady(1.0), 1.0},
        {Script::Ramp(0.0, 4.0, 2.0), 2.0},
        {Script::Lines({{7.0, {}, {}}}), INFINITY},
        {Script::Steady(9.0), 0.5},
    });
    EXPECT_EQ(Sample(sequence, {0.0, 0.9, 1.0, 2.0, 3.0, 3.1, 3.5, 3.6}),
              (Weights{1.0, 1.0, 0.0, 2.0, 7.0, 9.0, 9.0}));
}

TEST(ScriptTest, WalkStaysInBoundsWithinItsStepAndIsReproducibleBySeed) {
    const auto walk = Series(Script::Walk(5.0, 0.5, 4.0, 6.0, 42), 20000);
    EXPECT_EQ(walk.front(), 5.0);
    for (std::size_t i = 1; i < walk.size(); ++i) {
        ASSERT_TRUE(walk[i] >= 4.0 && walk[i] <= 6.0) << walk[i];
        ASSERT_LE(std::abs(walk[i] - walk[i - 1]), 0.5);
    }
    // In 20000 steps it reaches both bounds and is held there.
    EXPECT_NE(std::find(walk.begin(), walk.end(), 4.0), walk.end());
    EXPECT_NE(std::find(walk.begin(), walk.end(), 6.0), walk.end());

    EXPECT_EQ(walk, Series(ParseScript("walk:5:0.5:4:6:42"), 20000));
    EXPECT_NE(walk, Series(Script::Walk(5.0, 0.5, 4.0, 6.0, 43), 20000));
    // A copy taken midway carries on exactly like the original.
    Script original = Script::Walk(5.0, 0.01, 0.0, 20.0, 42);
    for (int i = 0; i < 10; ++i)
        original.Next(i);
    Script copy = original;
    for (int i = 10; i < 50; ++i)
        ASSERT_EQ(original.Next(i)->weight, copy.Next(i)->weight);
}

TEST(ScriptTest, OptionStrings) {
    EXPECT_EQ(Series(ParseScript("steady:1.25"), 2), (Weights{1.25, 1.25}));
    EXPECT_EQ(Series(ParseScript("ramp:-1.5:2e1:0.05"), 2), (Weights{-1.5, 20.0}));
    const struct {
        const char* option;
        const char* message;
    } bad[] = {
        {"sine:1", "unknown kind 'sine'"},
        {"steady", "expected steady:WEIGHT"},
        {"steady: 1", "weight ' 1' is not a number"},
        {"steady:nan", "weight 'nan' is not a number"},
        {"ramp:0:x:5", "to 'x' is not a number"},
        {"ramp:0:10:-1", "seconds must be 0 or more"},
        {"walk:5:0.01:0:20:-1", "seed '-1' is not a whole number"},
        {"walk:5:-0.01:0:20:1", "step must be 0 or more"},
        {"walk:25:0.01:0:20:1", "needs MIN <= START <= MAX"},
        {"file:", "expected file:PATH"},
    };
    for (const auto& c : bad) {
        const auto message = ErrorOf([&] { ParseScript(c.option); });
        EXPECT_EQ(message.rfind("script '" + std::string(c.option) + "': " + c.message, 0), 0u)
            << message;
    }
}

TEST(ScriptTest, FilesHoldStatusWeightLinesAndQuotedBytes) {
    const std::vector<Reading> expected = {
        {1.25, 0, {}},
        {1.30, 1, {}},
        {0.0, {}, std::string("\x02 0  01234\r")},
        {0.0, {}, std::string("a\\b\"\n\t\xff")},
    };
    EXPECT_EQ(ParseScriptLines("# a load placed\n"
                               "\n"
                               "0 1.25\r\n"
                               "  1\t1.30  \n"
                               "\"\\x02 0  01234\\r\"\n"
                               "\"a\\\\b\\\"\\n\\t\\xfF\"  \n"),
              expected);

    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"0 1\n1.25\n", "line 2: expected STATUS WEIGHT or a quoted frame"},
        {"16 1\n", "line 1: status 16 is outside 0..15"},
        {"0 1kg\n", "line 1: weight '1kg' is not a number"},
        {"\n\n\"\\x02abc\n", "line 3: missing closing quote"},
        {"\"\\x2\"\n", "line 1: \\x needs two hex digits"},
        {"\"\\q\"\n", "line 1: unknown escape \\q"},
        {"\"ab\" 0\n", "line 1: text after the closing quote"},
    };
    for (const auto& c : bad)
        EXPECT_EQ(ErrorOf([&] { ParseScriptLines(c.text); }), c.message);

    char path[] = "/tmp/varnel-script-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "0 1.5\n2 2.5\n";
    Script script = ParseScript(std::string("file:") + path);
    EXPECT_EQ(script.Next(0.0), (Reading{1.5, 0, {}}));
    EXPECT_EQ(script.Next(0.1), (Reading{2.5, 2, {}}));
    EXPECT_EQ(script.Next(0.2), std::nullopt);
    std::ofstream(path) << "0 1.5\nbad\n";
    EXPECT_EQ(ErrorOf([&] { LoadScriptFile(path); }).rfind(std::string(path) + ", line 2", 0), 0u);
    std::ofstream(path) << "# nothing\n";
    EXPECT_EQ(ErrorOf([&] { LoadScriptFile(path); }),
              std::string(path) + ": no readings in the file");
    unlink(path);
    EXPECT_THROW(ParseScript(std::string("file:") + path), std::runtime_error);
}

}  // namespace
}  // namespace varnel::sim
