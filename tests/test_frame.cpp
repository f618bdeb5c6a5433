// The stateless arithmetic of a frame: status byte, weight-field layouts, conversion chain.
#include <gtest/gtest.h>

#include "control/errors.h"
#include "datapath/frame.h"

namespace varnel::frame {
namespace {

TEST(FrameTest, StatusByteGivesStatusNibbleAndUnitsWhateverBit7) {
    // Units by bits 4-6: 0x20 kg, 0x30 lb-oz-tenths, 0x40 g, 0x50 lb-oz-quarters, others none.
    const std::int16_t expectedUnits[8] = {0, 0, 1, 2, 3, 4, 0, 0};
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const Status s = DecodeStatus(static_cast<unsigned char>(b));
        EXPECT_EQ(s.status, b & 0x0F);
        EXPECT_EQ(s.units, expectedUnits[(b >> 4) & 7]);
    }
    EXPECT_EQ(DecodeStatus('0').units, units::kPoundsOuncesTenths);
    EXPECT_EQ(DecodeStatus(' ').units, units::kKilograms);
    EXPECT_EQ(DecodeStatus('1').status, 1);
}

TEST(FrameTest, WeightFieldIsTakenUnchangedOnlyForAValidStatus) {
    const std::string f = std::string("\x02") + "0AB 1.3x\r";
    EXPECT_EQ(RawWeightField(0, f), " 1.3x");
    EXPECT_EQ(RawWeightField(1, f), "00000");
    EXPECT_EQ(RawWeightField(15, f), "00000");
}

struct ConversionCase {
    std::int16_t units;
    const char* raw;
    const char* formatted;
    Weights w;  // pounds, kilograms, grams, ounces as 32-bit floats
};

TEST(FrameTest, ConvertsEveryLayoutThroughTheRoundedChain) {
    // Expected floats computed independently, each product rounded to single precision before
    // the next step.
    const ConversionCase cases[] = {
        {units::kKilograms,
         "01234",
         "012.34",
         {0x1.b347bap+4f, 0x1.8ae148p+3f, 12340.0f, 0x1.b347bap+8f}},
        {units::kPoundsOuncesTenths,
         "01234",
         "01:23.4",
         {0x1.3b3334p+1f, 0x1.1df1eap+0f, 0x1.173e3ep+10f, 0x1.3b3334p+5f}},
        {units::kGrams,
         "01234",
         "01234",
         {0x1.5c3960p+1f, 0x1.3be76cp+0f, 1234.0f, 0x1.5c3960p+5f}},
        {units::kPoundsOuncesQuarters,
         "01232",
         "01:23-1/2",
         {2.46875f, 0x1.1eabb4p+0f, 0x1.17f3aep+10f, 39.5f}},
        // Rounding each step differs from one double-precision chain here.
        {units::kGrams, "00005", "00005", {0x1.693476p-7f, 0.005f, 5.0f, 0x1.693476p-3f}},
        {units::kPoundsOuncesQuarters,
         "01231",
         "01:23-1/4",
         {2.453125f, 0x1.1cdb3ap+0f, 0x1.162e16p+10f, 39.25f}},
        {units::kPoundsOuncesQuarters,
         "01233",
         "01:23-3/4",
         {2.484375f, 0x1.207c2ep+0f, 0x1.19b944p+10f, 39.75f}},
        {units::kPoundsOuncesQuarters,
         "01230",
         "01:23",
         {2.4375f, 0x1.1b0abep+0f, 0x1.14687ep+10f, 39.0f}},
        {units::kPoundsOuncesQuarters,
         "01237",
         "01:23",
         {2.4375f, 0x1.1b0abep+0f, 0x1.14687ep+10f, 39.0f}},
        {units::kNone, "01234", "", {0, 0, 0, 0}},
        {units::kKilograms, "00000", "000.00", {0, 0, 0, 0}},
        {units::kPoundsOuncesTenths, "00000", "00:00.0", {0, 0, 0, 0}},
        {units::kGrams, "00000", "00000", {0, 0, 0, 0}},
        {units::kPoundsOuncesQuarters, "00000", "00:00", {0, 0, 0, 0}},
        // Blanks in place of leading zeros read as numbers too.
        {units::kGrams, "  250", "  250", {0x1.1a30fcp-1f, 0.25f, 250.0f, 0x1.1a30fcp+3f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.raw) + " units " + std::to_string(c.units));
        EXPECT_EQ(FormatRawWt(c.units, c.raw), c.formatted);
        const Weights w = ConvertWeights(c.units, c.raw);
        EXPECT_EQ(w.pounds, c.w.pounds);
        EXPECT_EQ(w.kilograms, c.w.kilograms);
        EXPECT_EQ(w.grams, c.w.grams);
        EXPECT_EQ(w.ounces, c.w.ounces);
    }
}

TEST(FrameTest, PoundKilogramConstantsAreNotInverses) {
    // 2.20462 x 0.4535929 is 0.99999998: a round trip does not come back exactly.
    const Weights fromKg = ConvertWeights(units::kKilograms, "10000");
    EXPECT_EQ(fromKg.kilograms, 100.0f);
    EXPECT_NEAR(fromKg.pounds * kPoundsToKg, 100.0, 1e-5);
    EXPECT_NE(kKgToPounds * kPoundsToKg, 1.0);
}

TEST(FrameTest, UnknownLayoutsAndBadFields) {
    for (int code : {-1, 5, 7, 100}) {
        EXPECT_EQ(FormatRawWt(static_cast<std::int16_t>(code), "01234"), std::nullopt);
    }

    struct Bad {
        std::int16_t units;
        const char* raw;
        std::int32_t error;
    };
    const Bad bad[] = {
        {units::kKilograms, "0A234", err::kTypeMismatch},
        {units::kGrams, "12-34", err::kTypeMismatch},
        {units::kGrams, "", err::kTypeMismatch},
        {units::kPoundsOuncesTenths, "0123", err::kTypeMismatch},  // no tenths digit
        {units::kPoundsOuncesQuarters, "01", err::kTypeMismatch},  // no ounces
        {units::kGrams, "9e38", err::kOverflow},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.raw);
        try {
            (void)ConvertWeights(b.units, b.raw);
            ADD_FAILURE() << "no error";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), b.error);
        }
    }
    // Short fields still format without reading past their end.
    EXPECT_EQ(FormatRawWt(units::kKilograms, "01"), "01.");
    EXPECT_EQ(FormatRawWt(units::kPoundsOuncesQuarters, "0123"), "01:23");
}

TEST(FrameTest, SelectsTheRequestedUnitsOnly) {
    const Weights w{1.0f, 2.0f, 3.0f, 4.0f};
    EXPECT_EQ(SelectWeight(0, w), 1.0f);
    EXPECT_EQ(SelectWeight(1, w), 2.0f);
    EXPECT_EQ(SelectWeight(2, w), 3.0f);
    EXPECT_EQ(SelectWeight(3, w), 4.0f);
    EXPECT_EQ(SelectWeight(4, w), std::nullopt);
    EXPECT_EQ(SelectWeight(-1, w), std::nullopt);
}

}  // namespace
}  // namespace varnel::frame
