// The form file as a property bag: what Write keeps, and loading and saving through the file.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "control/errors.h"
#include "host/json_form_bag.h"
#include "tests/host/form_text.h"
#include "tests/support/temp_dir.h"

namespace varnel::testing {
namespace {

using host::JsonFormBag;

TEST(JsonFormBagTest, OnlyValuesOtherThanTheirDefaultAndThatJsonCanHoldAreStored) {
    JsonFormBag bag;
    bag.Write("CommPort", Variant(std::int16_t{3}), Variant(std::int16_t{1}));
    bag.Write("WtNotification", Variant(std::int32_t{1}), Variant(std::int16_t{0}));
    bag.Write("RawWt", Variant("x"), Variant(""));
    bag.Write("NetWt", Variant(0.0f), Variant(std::int16_t{0}));
    bag.Write("PortOpen", Variant::Boolean(false), Variant(std::int16_t{0}));
    bag.Write("CommPort", Variant(std::int16_t{1}), Variant(std::int16_t{1}));  // removes it
    bag.Write("RawWt", Variant("y"), Variant(""));                              // in place
    EXPECT_THROW(bag.Write("NetWt", Variant(std::numeric_limits<float>::infinity()), Variant()),
                 AutomationError);
    EXPECT_THROW(bag.Write("X", Variant(std::nan("")), Variant()), AutomationError);
    EXPECT_EQ(bag.Entries(), (host::FormEntries{{"WtNotification", Variant(std::int32_t{1})},
                                                {"RawWt", Variant("y")}}));
    EXPECT_EQ(bag.Read("CommPort", Variant(std::int16_t{1})), Variant(std::int16_t{1}));
    EXPECT_EQ(bag.Read("commport", Variant("d")), Variant("d"));  // names compare exactly
}

TEST(JsonFormBagTest, LoadAndSaveGoThroughTheFile) {
    TempDir dir;
    JsonFormBag bag;
    bag.Write("CommPort", Variant(std::int16_t{4}), Variant(std::int16_t{1}));
    bag.Save(dir / "form.json");
    EXPECT_EQ(JsonFormBag::Load(dir / "form.json").Entries(), bag.Entries());
    // Errors of the text name the file.
    const std::pair<std::string, std::string> refused[] = {
        {std::string(host::kMaxFormFileBytes + 10, ' '), "a form file holds at most"},
        {"{\"format\": 1", "line 1, column 13"},
    };
    for (const auto& [text, fragment] : refused) {
        WriteText(dir / "bad.json", text);
        const std::string what = FormErrorOf([&] { JsonFormBag::Load(dir / "bad.json"); }).what();
        EXPECT_EQ(what.rfind((dir / "bad.json").string() + ": ", 0), 0u) << what;
        EXPECT_NE(what.find(fragment), std::string::npos) << what;
    }
}

TEST(JsonFormBagTest, AFullSizeFormWithManyPropertiesKeepsItsOrder) {
    std::string props;
    const int n = 23000;
    for (int i = n; i > 0; --i)
        props +=
            (i == n ? "" : ",") + ("\"k" + std::to_string(i)) + R"(":{"type":"Long","value":1})";
    const std::string text = Form(props);
    ASSERT_LE(text.size(), host::kMaxFormFileBytes);
    JsonFormBag bag = JsonFormBag::Parse(text);
    ASSERT_EQ(bag.Entries().size(), static_cast<std::size_t>(n));
    EXPECT_EQ(bag.Entries().front().first, "k23000");
    EXPECT_EQ(bag.Entries().back().first, "k1");
    bag.Write("k1", Variant(std::int32_t{0}), Variant(std::int16_t{0}));  // removed
    bag.Write("k2", Variant(std::int32_t{2}), Variant(std::int16_t{0}));  // changed in place
    EXPECT_EQ(bag.Entries().size(), static_cast<std::size_t>(n - 1));
    EXPECT_EQ(bag.Entries().back(),
              (std::pair<std::string, Variant>("k2", Variant(std::int32_t{2}))));
    // Indented, it would be larger than a form file may be: saving refuses to write a file that
    // could not be read back.
    TempDir dir;
    WriteText(dir / "form.json", "old");
    EXPECT_GT(bag.Serialize().size(), host::kMaxFormFileBytes);
    EXPECT_THROW(bag.Save(dir / "form.json"), host::FormError);
    EXPECT_EQ(ReadText(dir / "form.json"), "old");
}

}  // namespace
}  // namespace varnel::testing
