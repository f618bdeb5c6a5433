// Frames the simulator sends, read back with the control's own decoding.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "datapath/frame.h"
#include "tools/sim/encode.h"

namespace varnel::sim {
namespace {

std::string Frame(char status, const char* field) {
    return std::string("\x02") + status + "  " + field + "\r";
}

struct EncodeCase {
    Layout layout;
    int status;
    double weight;
    const char* field;
};

TEST(EncodeTest, FieldsRoundToTheNearestStepAndClampToTheirRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const EncodeCase cases[] = {
        {Layout::Kilograms, 0, 1.25, "00125"},
        {Layout::Kilograms, 0, 12.344, "01234"},
        {Layout::Kilograms, 0, 1.005, "00101"},  // a decimal half rounds up
        {Layout::Kilograms, 0, 0.0049, "00000"},
        {Layout::Kilograms, 0, 999.99, "99999"},
        {Layout::Kilograms, 0, 999.996, "99999"},
        {Layout::Kilograms, 0, 1500.0, "99999"},
        {Layout::Kilograms, 0, -2.0, "00000"},
        {Layout::Kilograms, 0, nan, "00000"},
        {Layout::Kilograms, 0, inf, "99999"},
        {Layout::Grams, 0, 1234.4, "01234"},
        {Layout::Grams, 0, 1234.5, "01235"},
        {Layout::Grams, 0, 7.0, "00007"},
        {Layout::Grams, 0, 123456.0, "99999"},
        {Layout::PoundsOuncesTenths, 0, 2.4625, "02074"},  // 39.4 oz = 2 lb 7.4 oz
        {Layout::PoundsOuncesTenths, 0, 1.5, "01080"},
        {Layout::PoundsOuncesTenths, 0, 0.996, "00159"},     // 15.94 oz
        {Layout::PoundsOuncesTenths, 0, 0.998, "01000"},     // 15.97 oz carries into the pound
        {Layout::PoundsOuncesTenths, 0, 0.003125, "00001"},  // 0.05 oz, half a tenth
        {Layout::PoundsOuncesTenths, 0, 99.999, "99159"},
        {Layout::PoundsOuncesTenths, 0, 250.0, "99159"},
        {Layout::PoundsOuncesQuarters, 0, 2.46875, "02072"},  // 39.5 oz
        {Layout::PoundsOuncesQuarters, 0, 2.5, "02080"},
        {Layout::PoundsOuncesQuarters, 0, 0.0078125, "00001"},  // 1/8 oz, half a quarter
        {Layout::PoundsOuncesQuarters, 0, 0.0077, "00000"},
        {Layout::PoundsOuncesQuarters, 0, 0.99, "00153"},   // 15.84 oz
        {Layout::PoundsOuncesQuarters, 0, 0.995, "01000"},  // 15.92 oz carries into the pound
        {Layout::PoundsOuncesQuarters, 0, 120.0, "99153"},
        // A non-zero status still carries the field.
        {Layout::Kilograms, 1, 1.25, "00125"},
        {Layout::Grams, 15, 42.0, "00042"},
    };
    const char layoutBits[] = {0x20, 0x30, 0x40, 0x50};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(LayoutName(c.layout)) + " " + std::to_string(c.weight));
        const char status = static_cast<char>(layoutBits[static_cast<int>(c.layout)] | c.status);
        EXPECT_EQ(EncodeFrame(c.layout, c.status, c.weight), Frame(status, c.field));
    }
    EXPECT_EQ(EncodeFrame(Layout::Kilograms, 0, 1.0, "AB"), "\x02 AB00100\r");
}

// Weight in the layout's unit as the control reads it back, and half a step of the field.
struct ReadBack {
    double value;
    double halfStep;
};

ReadBack Decode(Layout layout, const std::string& frame, int expectedStatus) {
    EXPECT_EQ(frame.size(), frame::kLength);
    EXPECT_EQ(frame.front(), frame::kSTX);
    EXPECT_EQ(frame.back(), frame::kCR);
    const auto status = frame::DecodeStatus(static_cast<unsigned char>(frame[1]));
    EXPECT_EQ(status.status, expectedStatus);
    const std::int16_t expectedUnits[] = {frame::units::kKilograms,
                                          frame::units::kPoundsOuncesTenths, frame::units::kGrams,
                                          frame::units::kPoundsOuncesQuarters};
    EXPECT_EQ(status.units, expectedUnits[static_cast<int>(layout)]);
    // RawWt would be "00000" for a non-zero status; read the field itself.
    const auto w = frame::ConvertWeights(status.units, frame::RawWeightField(0, frame));
    switch (layout) {
        case Layout::Kilograms:
            return {w.kilograms, 0.005};
        case Layout::Grams:
            return {w.grams, 0.5};
        case Layout::PoundsOuncesTenths:
            return {w.ounces / 16.0, 0.05 / 16.0};
        case Layout::PoundsOuncesQuarters:
            return {w.ounces / 16.0, 0.125 / 16.0};
    }
    return {};
}

TEST(EncodeTest, TheControlReadsBackTheWeightMeantWithinHalfAStep) {
    struct Sweep {
        Layout layout;
        double max;  // largest weight the field holds
    };
    const Sweep sweeps[] = {
        {Layout::Kilograms, 999.99},
        {Layout::Grams, 99999.0},
        {Layout::PoundsOuncesTenths, 99.0 + 15.9 / 16.0},
        {Layout::PoundsOuncesQuarters, 99.0 + 15.75 / 16.0},
    };
    for (const auto& s : sweeps) {
        SCOPED_TRACE(LayoutName(s.layout));
        for (int status : {0, 3}) {
            // 3000 weights from 0 to a little past the range, off the field's steps.
            for (int i = 0; i <= 3060; ++i) {
                const double weight = s.max * i / 3000.0 * 1.0000317;
                const auto back = Decode(s.layout, EncodeFrame(s.layout, status, weight), status);
                const double meant = std::min(weight, s.max);
                // Float storage of the decoded value adds a relative error near 1e-7.
                ASSERT_NEAR(back.value, meant, back.halfStep * 1.0001 + meant * 2e-7)
                    << "weight " << weight;
            }
        }
    }
}

TEST(EncodeTest, LayoutNamesParseBackAndUnknownNamesAreRejected) {
    for (auto layout : {Layout::Kilograms, Layout::PoundsOuncesTenths, Layout::Grams,
                        Layout::PoundsOuncesQuarters})
        EXPECT_EQ(ParseLayout(LayoutName(layout)), layout);
    EXPECT_EQ(ParseLayout("kg"), Layout::Kilograms);
    EXPECT_EQ(ParseLayout("lb-oz-quarters"), Layout::PoundsOuncesQuarters);
    for (const char* bad : {"", "KG", "kg ", "lb", "lb-oz", "grams"})
        EXPECT_EQ(ParseLayout(bad), std::nullopt) << bad;
}

TEST(EncodeTest, BadStatusOrFillerIsRejected) {
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, 16, 1.0), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, -1, 1.0), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, 0, 1.0, " "), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, 0, 1.0, "   "), std::invalid_argument);
}

}  // namespace
}  // namespace varnel::sim
