#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "control/errors.h"
#include "control/variant.h"
#include "tests/support/test_util.h"

namespace varnel {
namespace {

using testing::ErrorOf;

struct I2Case {
    Variant in;
    std::int16_t out;
    std::int32_t error;  // 0 for success
};

TEST(VariantTest, ConvertsToInt16WithBankersRoundingAndRangeChecks) {
    const I2Case cases[] = {
        {Variant("2"), 2, 0},
        {Variant("  2  "), 2, 0},
        {Variant("\t-7\t"), -7, 0},
        {Variant("+12"), 12, 0},
        {Variant("2.5"), 2, 0},
        {Variant("3.5"), 4, 0},
        {Variant("-2.5"), -2, 0},
        {Variant("2.51"), 3, 0},
        // Rounded once from the decimal text, not through a double.
        {Variant("2.5000000000000001"), 3, 0},
        {Variant("32767.49999999999999"), 32767, 0},
        {Variant("-32768.5"), -32768, 0},
        {Variant("0.04999999999999999999e1"), 0, 0},
        {Variant("35e-1"), 4, 0},
        {Variant("3.0"), 3, 0},
        {Variant("1e-400"), 0, 0},
        {Variant("99999999999999999999999"), 0, err::kOverflow},
        {Variant("1e2"), 100, 0},
        {Variant("32767"), 32767, 0},
        {Variant("-32768"), -32768, 0},
        {Variant("32767.5"), 0, err::kOverflow},
        {Variant("40000"), 0, err::kOverflow},
        {Variant("1e400"), 0, err::kOverflow},
        {Variant(""), 0, err::kTypeMismatch},
        {Variant("   "), 0, err::kTypeMismatch},
        {Variant("COM1"), 0, err::kTypeMismatch},
        {Variant("1 2"), 0, err::kTypeMismatch},
        {Variant("."), 0, err::kTypeMismatch},
        {Variant("1e"), 0, err::kTypeMismatch},
        {Variant("0x10"), 0, err::kTypeMismatch},
        {Variant("True"), -1, 0},
        {Variant(std::int32_t{70000}), 0, err::kOverflow},
        {Variant(std::int32_t{-5}), -5, 0},
        {Variant(1.5f), 2, 0},
        {Variant(0.5), 0, 0},
        {Variant(std::numeric_limits<double>::quiet_NaN()), 0, err::kOverflow},
        {Variant::Boolean(true), -1, 0},
        {Variant(), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.ToStr() + " as " + VarTypeName(c.in.Type()));
        std::int16_t got = 0;
        EXPECT_EQ(ErrorOf([&] { got = c.in.ToI2(); }), c.error);
        if (c.error == 0) {
            EXPECT_EQ(got, c.out);
        }
    }
}

TEST(VariantTest, RoundsTextToWholeNumbersOnceFromItsDigits) {
    struct Case {
        const char* text;
        std::int64_t value;
        bool whole;
    };
    const Case cases[] = {
        {"0", 0, true},
        {"-0.0", 0, true},
        {"007.000", 7, true},
        {"1.5e1", 15, true},
        {"0.5", 0, false},
        {"-1.5", -2, false},
        {"0.050", 0, false},
        {"1e19", INT64_MAX, true},
        {"-1e30", INT64_MIN, true},
        {"2147483647.4999999999999", 2147483647, false},
    };
    for (const Case& c : cases) {
        const auto r = RoundNumberText(c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(r->value, c.value) << c.text;
        EXPECT_EQ(r->whole, c.whole) << c.text;
    }
    EXPECT_FALSE(RoundNumberText("1e"));
    EXPECT_EQ(Variant("2147483647.4999999999999").ToI4(), 2147483647);
}

TEST(VariantTest, ConvertsToSingleRoundingOnceFromText) {
    EXPECT_EQ(Variant("0.1").ToR4(), 0.1f);
    EXPECT_EQ(Variant(" 12.34 ").ToR4(), 12.34f);
    EXPECT_EQ(Variant(std::int16_t{3}).ToR4(), 3.0f);
    EXPECT_EQ(ErrorOf([] { (void)Variant("1e39").ToR4(); }), err::kOverflow);
    EXPECT_EQ(ErrorOf([] { (void)Variant(1e39).ToR4(); }), err::kOverflow);
    EXPECT_EQ(ErrorOf([] { (void)Variant("abc").ToR4(); }), err::kTypeMismatch);
    EXPECT_EQ(Variant("1e-60").ToR4(), 0.0f);
}

TEST(VariantTest, TextAndBooleanForms) {
    EXPECT_EQ(Variant::Boolean(true).ToStr(), "True");
    EXPECT_EQ(Variant(std::int16_t{-12}).ToStr(), "-12");
    EXPECT_EQ(Variant(12.34f).ToStr(), "12.34");
    EXPECT_EQ(Variant(0.1).ToStr(), "0.1");
    EXPECT_TRUE(Variant(" false ").ConvertTo(VarType::Bool) == Variant::Boolean(false));
    EXPECT_EQ(Variant(std::int32_t{2}).ToVBool(), kTrue);
    EXPECT_EQ(ErrorOf([] { (void)Variant("maybe").ToBool(); }), err::kTypeMismatch);
}

TEST(VariantTest, ValueEqualityAcrossTypes) {
    const Variant zero16(std::int16_t{0});
    EXPECT_TRUE(Variant(std::int32_t{0}).ValueEquals(zero16));
    EXPECT_TRUE(Variant(0.0f).ValueEquals(zero16));
    EXPECT_TRUE(Variant::Boolean(false).ValueEquals(zero16));
    EXPECT_TRUE(Variant().ValueEquals(Variant("")));
    EXPECT_TRUE(Variant("").ValueEquals(Variant("")));
    EXPECT_FALSE(Variant("0").ValueEquals(zero16));
    EXPECT_FALSE(Variant(std::int16_t{1}).ValueEquals(zero16));
    EXPECT_FALSE(Variant("a").ValueEquals(Variant("A")));
    // Exact equality keeps the type.
    EXPECT_FALSE(Variant(std::int32_t{0}) == zero16);
}

}  // namespace
}  // namespace varnel
