// Weight scripts and their option strings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/sim/script.h"

namespace varnel::sim {
namespace {

// Weights at the given times; a script that ends early gives fewer.
std::vector<double> Weights(Script script, const std::vector<double>& times) {
    std::vector<double> weights;
    for (double t : times) {
        auto reading = script.Next(t);
        if (!reading)
            break;
        weights.push_back(reading->weight);
    }
    return weights;
}

std::vector<double> Walk(Script script, int count) {
    std::vector<double> weights;
    for (int i = 0; i < count; ++i)
        weights.push_back(script.Next(i * 0.05)->weight);
    return weights;
}

std::string ErrorOf(std::string_view option) {
    try {
        ParseScript(option);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no error";
}

TEST(ScriptTest, RampRunsFromItsStartToItsEndThenHolds) {
    const std::vector<double> times = {0.0, 1.25, 2.5, 4.999, 5.0, 60.0};
    auto up = Weights(Script::Ramp(0.0, 10.0, 5.0), times);
    ASSERT_EQ(up.size(), times.size());
    EXPECT_DOUBLE_EQ(up[0], 0.0);
    EXPECT_DOUBLE_EQ(up[1], 2.5);
    EXPECT_DOUBLE_EQ(up[2], 5.0);
    EXPECT_NEAR(up[3], 9.998, 1e-9);
    EXPECT_DOUBLE_EQ(up[4], 10.0);
    EXPECT_DOUBLE_EQ(up[5], 10.0);
    EXPECT_EQ(Weights(Script::Ramp(4.0, 2.0, 2.0), {0.0, 1.0, 2.0, 3.0}),
              (std::vector<double>{4.0, 3.0, 2.0, 2.0}));
    EXPECT_EQ(Weights(Script::Ramp(4.0, 2.0, 0.0), {0.0, 1.0}), (std::vector<double>{2.0, 2.0}));
    EXPECT_EQ(Weights(Script::Steady(1.25), {0.0, 100.0}), (std::vector<double>{1.25, 1.25}));
}

TEST(ScriptTest, WalkStartsAtItsStartAndStaysWithinBoundsAndStep) {
    const auto weights = Walk(Script::Walk(5.0, 0.5, 4.0, 6.0, 42), 20000);
    EXPECT_EQ(weights.front(), 5.0);
    bool hitLow = false, hitHigh = false;
    for (std::size_t i = 1; i < weights.size(); ++i) {
        ASSERT_GE(weights[i], 4.0);
        ASSERT_LE(weights[i], 6.0);
        ASSERT_LE(std::abs(weights[i] - weights[i - 1]), 0.5);
        hitLow = hitLow || weights[i] == 4.0;
        hitHigh = hitHigh || weights[i] == 6.0;
    }
    // 20000 steps of up to 0.5 in a band of 2 reach both bounds and are held there.
    EXPECT_TRUE(hitLow);
    EXPECT_TRUE(hitHigh);
}

TEST(ScriptTest, WalkIsReproducibleBySeedAndCopiesCarryOnAlike) {
    const auto a = Walk(Script::Walk(5.0, 0.01, 0.0, 20.0, 42), 500);
    EXPECT_EQ(a, Walk(Script::Walk(5.0, 0.01, 0.0, 20.0, 42), 500));
    EXPECT_NE(a, Walk(Script::Walk(5.0, 0.01, 0.0, 20.0, 43), 500));
    EXPECT_NE(a[1], a[0]);

    Script original = Script::Walk(5.0, 0.01, 0.0, 20.0, 42);
    for (int i = 0; i < 10; ++i)
        original.Next(i);
    Script copy = original;
    for (int i = 10; i < 50; ++i)
        ASSERT_EQ(original.Next(i)->weight, copy.Next(i)->weight);
}

TEST(ScriptTest, LinesEndAfterTheLastAndSequencesSwitchByTime) {
    Script lines = Script::Lines({{1.0, 0, {}}, {2.0, 1, {}}, {0.0, {}, "\x02xyz\r"}});
    EXPECT_EQ(lines.Next(0.0), (Reading{1.0, 0, {}}));
    EXPECT_EQ(lines.Next(0.1), (Reading{2.0, 1, {}}));
    EXPECT_EQ(lines.Next(0.2), (Reading{0.0, {}, "\x02xyz\r"}));
    EXPECT_EQ(lines.Next(0.3), std::nullopt);

    // Each segment sees its own time from 0; a segment whose script ends hands over at once.
    Script sequence = Script::Sequence({
        {Script::Steady(1.0), 1.0},
        {Script::Ramp(0.0, 4.0, 2.0), 2.0},
        {Script::Lines({{7.0, {}, {}}}), INFINITY},
        {Script::Steady(9.0), 0.5},
    });
    EXPECT_EQ(Weights(sequence, {0.0, 0.9, 1.0, 2.0, 2.9, 3.0, 3.1, 3.5, 3.6}),
              (std::vector<double>{1.0, 1.0, 0.0, 2.0, 3.8, 7.0, 9.0, 9.0}));
}

TEST(ScriptTest, OptionStringsBuildTheirScripts) {
    EXPECT_EQ(Weights(ParseScript("steady:1.25"), {0.0, 9.0}), (std::vector<double>{1.25, 1.25}));
    EXPECT_EQ(Weights(ParseScript("ramp:0:10:5"), {0.0, 2.5, 5.0, 7.0}),
              (std::vector<double>{0.0, 5.0, 10.0, 10.0}));
    EXPECT_EQ(Weights(ParseScript("ramp:-1.5:2e1:0.5"), {0.0, 0.5}),
              (std::vector<double>{-1.5, 20.0}));
    EXPECT_EQ(Walk(ParseScript("walk:5:0.01:0:20:42"), 300),
              Walk(Script::Walk(5.0, 0.01, 0.0, 20.0, 42), 300));
}

TEST(ScriptTest, BadOptionStringsNameWhatIsWrong) {
    const struct {
        const char* option;
        const char* message;
    } cases[] = {
        {"", "unknown kind ''"},
        {"sine:1", "unknown kind 'sine'"},
        {"steady", "expected steady:WEIGHT"},
        {"steady:", "weight '' is not a number"},
        {"steady:1,5", "weight '1,5' is not a number"},
        {"steady: 1", "weight ' 1' is not a number"},
        {"steady:nan", "weight 'nan' is not a number"},
        {"steady:1:2", "expected steady:WEIGHT"},
        {"ramp:0:10", "expected ramp:FROM:TO:SECONDS"},
        {"ramp:0:x:5", "to 'x' is not a number"},
        {"ramp:0:10:-1", "seconds must be 0 or more"},
        {"walk:5:0.01:0:20", "expected walk:START:STEP:MIN:MAX:SEED"},
        {"walk:5:0.01:0:20:-1", "seed '-1' is not a whole number"},
        {"walk:5:0.01:0:20:4.2", "seed '4.2'"},
        {"walk:5:-0.01:0:20:1", "step must be 0 or more"},
        {"walk:25:0.01:0:20:1", "MIN <= START <= MAX"},
        {"walk:5:0.01:20:0:1", "MIN <= START <= MAX"},
        {"file:", "expected file:PATH"},
        {"file", "expected file:PATH"},
    };
    for (const auto& c : cases) {
        const auto message = ErrorOf(c.option);
        EXPECT_NE(message.find(c.message), std::string::npos)
            << "'" << c.option << "' gave: " << message;
        EXPECT_NE(message.find("script '" + std::string(c.option) + "'"), std::string::npos)
            << message;
    }
}

TEST(ScriptTest, ScriptFilesHoldStatusWeightLinesAndQuotedFrames) {
    const auto readings = ParseScriptLines(
        "# a load placed\n"
        "\n"
        "0 1.25\r\n"
        "  1\t1.30  \n"
        "\"\\x02 0  01234\\r\"\n"
        "\"a\\\\b\\\"\\n\\t\\xfF\"  \n"
        "15 -2\n");
    const std::vector<Reading> expected = {
        {1.25, 0, {}},
        {1.30, 1, {}},
        {0.0, {}, std::string("\x02 0  01234\r")},
        {0.0, {}, std::string("a\\b\"\n\t\xff")},
        {-2.0, 15, {}},
    };
    EXPECT_EQ(readings, expected);
}

TEST(ScriptTest, BadScriptLinesNameTheLine) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"0 1\n1.25\n", "line 2: expected STATUS WEIGHT"},
        {"0 1 2\n", "line 1: expected STATUS WEIGHT"},
        {"16 1\n", "line 1: status 16 is outside 0..15"},
        {"x 1\n", "line 1: status 'x' is not a whole number"},
        {"0 1kg\n", "line 1: weight '1kg' is not a number"},
        {"\n\n\"\\x02abc\n", "line 3: missing closing quote"},
        {"\"\\x2\"\n", "line 1: \\x needs two hex digits"},
        {"\"\\q\"\n", "line 1: unknown escape \\q"},
        {"\"\"\n", "line 1: no bytes between the quotes"},
        {"\"ab\" 0\n", "line 1: text after the closing quote"},
    };
    for (const auto& c : cases) {
        try {
            ParseScriptLines(c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(ScriptTest, FileOptionReadsTheFileAndNamesItInErrors) {
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
    try {
        LoadScriptFile(path);
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(std::string(path) + ", line 2"), std::string::npos)
            << e.what();
    }
    unlink(path);
    try {
        ParseScript(std::string("file:") + path);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace varnel::sim
