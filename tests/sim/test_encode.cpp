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

constexpr Layout kLayouts[] = {Layout::Kilograms, Layout::PoundsOuncesTenths, Layout::Grams,
                               Layout::PoundsOuncesQuarters};

TEST(EncodeTest, FieldsRoundToTheNearestStepAndClampToTheirRange) {
    const struct {
        Layout layout;
        int status;
        double weight;
        char statusByte;
        const char* field;
    } cases[] = {
        {Layout::Kilograms, 0, 12.344, ' ', "01234"},
        {Layout::Kilograms, 0, 1.005, ' ', "00101"},  // a decimal half rounds up
        {Layout::Kilograms, 0, 999.996, ' ', "99999"},
        {Layout::Kilograms, 0, -2.0, ' ', "00000"},
        {Layout::Kilograms, 0, std::numeric_limits<double>::quiet_NaN(), ' ', "00000"},
        {Layout::Kilograms, 1, 1.25, '!', "00125"},  // the field goes out with any status
        {Layout::Grams, 0, 1234.5, '@', "01235"},
        {Layout::Grams, 15, 123456.0, 'O', "99999"},
        {Layout::PoundsOuncesTenths, 0, 2.4625, '0', "02074"},    // 2 lb 7.4 oz
        {Layout::PoundsOuncesTenths, 0, 0.998, '0', "01000"},     // 15.97 oz carries
        {Layout::PoundsOuncesTenths, 0, 0.003125, '0', "00001"},  // half a tenth
        {Layout::PoundsOuncesTenths, 0, 250.0, '0', "99159"},
        {Layout::PoundsOuncesQuarters, 0, 2.46875, 'P', "02072"},  // 2 lb 7.5 oz
        {Layout::PoundsOuncesQuarters, 0, 0.99, 'P', "00153"},     // 15.84 oz
        {Layout::PoundsOuncesQuarters, 0, 0.995, 'P', "01000"},    // 15.92 oz carries
        {Layout::PoundsOuncesQuarters, 0, 120.0, 'P', "99153"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeFrame(c.layout, c.status, c.weight),
                  std::string("\x02") + c.statusByte + "  " + c.field + "\r")
            << LayoutName(c.layout) << " " << c.weight;
    EXPECT_EQ(EncodeFrame(Layout::Kilograms, 0, 1.0, "AB"), "\x02 AB00100\r");
}

TEST(EncodeTest, TheControlReadsBackTheWeightMeantWithinHalfAStep) {
    // Largest weight of each field, half its step, and the control's units code.
    const struct {
        double max, halfStep;
        std::int16_t units;
    } fields[] = {{999.99, 0.005, frame::units::kKilograms},
                  {99.0 + 15.9 / 16, 0.05 / 16, frame::units::kPoundsOuncesTenths},
                  {99999.0, 0.5, frame::units::kGrams},
                  {99.0 + 15.75 / 16, 0.125 / 16, frame::units::kPoundsOuncesQuarters}};
    for (Layout layout : kLayouts) {
        const auto& f = fields[static_cast<int>(layout)];
        for (int i = 0; i <= 3060; ++i) {  // to a little past the range, off the field's steps
            const double weight = f.max * i / 3000.0 * 1.0000317;
            const int status = i % 16;
            const std::string bytes = EncodeFrame(layout, status, weight);
            ASSERT_EQ(bytes.size(), frame::kLength);
            const auto decoded = frame::DecodeStatus(static_cast<unsigned char>(bytes[1]));
            ASSERT_EQ(decoded.status, status);
            ASSERT_EQ(decoded.units, f.units);
            const auto w = frame::ConvertWeights(f.units, frame::RawWeightField(0, bytes));
            const double back = layout == Layout::Kilograms ? w.kilograms
                                : layout == Layout::Grams   ? w.grams
                                                            : w.ounces / 16.0;
            const double meant = std::min(weight, f.max);
            // Float storage of the decoded value adds a relative error near 1e-7.
            ASSERT_NEAR(back, meant, f.halfStep * 1.0001 + meant * 2e-7)
                << LayoutName(layout) << " " << weight;
        }
    }
}

TEST(EncodeTest, LayoutNamesParseBackAndBadArgumentsAreRejected) {
    for (Layout layout : kLayouts)
        EXPECT_EQ(ParseLayout(LayoutName(layout)), layout);
    EXPECT_EQ(ParseLayout("lb-oz-tenths"), Layout::PoundsOuncesTenths);
    for (const char* bad : {"", "KG", "kg ", "lb-oz", "grams"})
        EXPECT_EQ(ParseLayout(bad), std::nullopt) << bad;
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, 16, 1.0), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, -1, 1.0), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Layout::Kilograms, 0, 1.0, "   "), std::invalid_argument);
}

}  // namespace
}  // namespace varnel::sim
