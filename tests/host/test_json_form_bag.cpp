// The JSON form file: typed values that survive a round trip, clear errors for malformed files
// and values, and saving that never leaves a half-written file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "control/errors.h"
#include "host/json_form_bag.h"
#include "tests/host/form_text.h"
#include "tests/support/temp_dir.h"

namespace varnel::testing {
namespace {

using host::FormError;
using host::JsonFormBag;

TEST(JsonFormBagTest, EveryVariantTypeSurvivesARoundTrip) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b)
        allBytes += static_cast<char>(b);
    const std::vector<std::pair<std::string, Variant>> values = {
        {"empty", Variant()},
        {"i2min", Variant(std::int16_t{-32768})},
        {"i2max", Variant(std::int16_t{32767})},
        {"i4min", Variant(std::numeric_limits<std::int32_t>::min())},
        {"i4max", Variant(std::numeric_limits<std::int32_t>::max())},
        {"tenth", Variant(0.1f)},
        {"fltmin", Variant(-FLT_MAX)},
        {"fltmax", Variant(FLT_MAX)},
        {"denormal", Variant(std::numeric_limits<float>::denorm_min())},
        {"third", Variant(1.0f / 3.0f)},
        {"double", Variant(0.1 + 0.2)},
        {"dblmax", Variant(DBL_MAX)},
        {"true", Variant::Boolean(true)},
        {"false", Variant::Boolean(false)},
        {"text", Variant(allBytes)},
        {"blank", Variant(" ")},
        {"k\xE9y", Variant("caf\xE9")},
    };
    JsonFormBag bag;
    for (const auto& [key, value] : values)
        bag.Write(key, value, Variant("\x01 no default"));
    const std::string text = bag.Serialize();
    JsonFormBag back = JsonFormBag::Parse(text);
    ASSERT_EQ(back.Entries().size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(back.Entries()[i].first, values[i].first);
        EXPECT_EQ(back.Entries()[i].second, values[i].second) << values[i].first;
    }
    EXPECT_EQ(back.Serialize(), text);
    // Floats are written with their shortest decimal, texts as UTF-8.
    EXPECT_NE(text.find(R"("value": 0.1)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("value": 3.4028235e+38)"), std::string::npos) << text;
    EXPECT_NE(text.find("\"caf\xC3\xA9\""), std::string::npos) << text;
}

TEST(JsonFormBagTest, TheDocumentedLayout) {
    JsonFormBag bag;
    bag.Write("CommPort", Variant(std::int16_t{3}), Variant(std::int16_t{1}));
    bag.Write("PortOpen", Variant::Boolean(true), Variant(std::int16_t{0}));
    bag.Write("NetWt", Variant(1.25f), Variant(std::int16_t{0}));
    bag.Write("RawWt", Variant("00125"), Variant(""));
    EXPECT_EQ(bag.Serialize(), R"({
  "format": "varnel-form",
  "version": 1,
  "properties": {
    "CommPort": {
      "type": "Integer",
      "value": 3
    },
    "PortOpen": {
      "type": "Boolean",
      "value": true
    },
    "NetWt": {
      "type": "Single",
      "value": 1.25
    },
    "RawWt": {
      "type": "String",
      "value": "00125"
    }
  }
}
)");
}

TEST(JsonFormBagTest, AValueEqualToItsDefaultIsNotStored) {
    JsonFormBag bag;
    bag.Write("CommPort", Variant(std::int16_t{3}), Variant(std::int16_t{1}));
    bag.Write("WtNotification", Variant(std::int32_t{1}), Variant(std::int16_t{0}));
    bag.Write("RawWt", Variant("x"), Variant(""));
    bag.Write("NetWt", Variant(0.0f), Variant(std::int16_t{0}));
    bag.Write("PortOpen", Variant::Boolean(false), Variant(std::int16_t{0}));
    bag.Write("CommPort", Variant(std::int16_t{1}), Variant(std::int16_t{1}));  // removes it
    bag.Write("RawWt", Variant("y"), Variant(""));                              // in place
    ASSERT_EQ(bag.Entries().size(), 2u);
    EXPECT_EQ(bag.Entries()[0].first, "WtNotification");
    EXPECT_EQ(bag.Entries()[1].second, Variant("y"));
    EXPECT_EQ(bag.Read("CommPort", Variant(std::int16_t{1})), Variant(std::int16_t{1}));
    EXPECT_EQ(bag.Read("commport", Variant("d")), Variant("d"));  // names compare exactly
}

TEST(JsonFormBagTest, NumbersJsonCannotHoldAreRefusedOnWrite) {
    JsonFormBag bag;
    EXPECT_THROW(bag.Write("NetWt", Variant(std::numeric_limits<float>::infinity()), Variant()),
                 AutomationError);
    EXPECT_THROW(bag.Write("X", Variant(std::nan("")), Variant()), AutomationError);
    EXPECT_TRUE(bag.Entries().empty());
}

TEST(JsonFormBagTest, MalformedFormsGetAClearErrorNamingTheKeyOrPosition) {
    struct Case {
        std::string text;
        std::string key;       // the property named by the error, if any
        std::string fragment;  // part of the message
    };
    const std::string big(host::kMaxFormFileBytes + 1, ' ');
    const Case cases[] = {
        {"", "", "not valid JSON"},
        {"{\n  \"format\": \"varnel-form\",\n  \"version\": 1,,\n}", "", "line 3, column 16"},
        {"[]", "", "a form file is a JSON object"},
        {R"({"version": 1, "properties": {}})", "", "\"format\" must be \"varnel-form\""},
        {R"({"format": "varnel-form", "version": 2, "properties": {}})", "", "version 2"},
        {R"({"format": "varnel-form", "version": "1", "properties": {}})", "", "version \"1\""},
        {R"({"format": "varnel-form", "version": 1})", "", "\"properties\" is missing"},
        {R"({"format": "varnel-form", "version": 1, "properties": [], "x": 1})", "",
         "unknown member \"x\""},
        {R"({"format": "varnel-form", "format": "varnel-form", "version": 1, "properties": {}})",
         "", "\"format\" appears twice"},
        {Form(R"("CommPort": 3)"), "CommPort", "expected an object"},
        {Form(R"("CommPort": {"value": 3})"), "CommPort", "\"type\" is missing"},
        {Form(R"("CommPort": {"type": "Int", "value": 3})"), "CommPort", "unknown type \"Int\""},
        {Form(R"("CommPort": {"type": "Integer", "value": 40000})"), "CommPort", "-32768"},
        {Form(R"("CommPort": {"type": "Integer", "value": 1.5})"), "CommPort", "whole number"},
        {Form(R"("CommPort": {"type": "Integer", "value": "3"})"), "CommPort", "whole number"},
        {Form(R"("CommPort": {"type": "Integer"})"), "CommPort", "\"value\" is missing"},
        {Form(R"("CommPort": {"type": "Integer", "value": 3, "unit": 1})"), "CommPort",
         "unknown member \"unit\""},
        {Form(R"("CommID": {"type": "Long", "value": 3000000000})"), "CommID", "whole number"},
        {Form(R"("CommID": {"type": "Long", "value": -99999999999999999999})"), "CommID",
         "whole number"},
        {Form(R"("CommPort": {"type": "Integer", "value": 3.0000000000000000001})"), "CommPort",
         "whole number"},
        {Form(R"("NetWt": {"type": "Single", "value": 1e39})"), "NetWt", "out of range"},
        {Form(R"("NetWt": {"type": "Single", "value": 3.4028236e38})"), "NetWt", "out of range"},
        {Form("") + '\0', "", "a NUL byte at line 1, column 58"},
        {Form("\n") + std::string("\n\0 trailing", 11), "", "a NUL byte at line 3, column 1"},
        {Form(R"("NetWt": {"type": "Double", "value": 1e999})"), "", "number overflow"},
        {Form(R"("NetWt": {"type": "Single", "value": "1.5"})"), "NetWt", "must be a number"},
        {Form(R"("PortOpen": {"type": "Boolean", "value": 1})"), "PortOpen", "true or false"},
        {Form(R"("RawWt": {"type": "String", "value": 12345})"), "RawWt", "must be a text"},
        {Form(R"("RawWt": {"type": "String", "value": "\u0100"})"), "RawWt", "above U+00FF"},
        {Form(R"("RawWt": {"type": "Empty", "value": ""})"), "RawWt", "holds no \"value\""},
        {Form(R"("RawWt": {"type": "String", "value": "a"}, "RawWt": {"type": "Empty"})"), "",
         "\"RawWt\" appears twice"},
        {Form(R"("": {"type": "Empty"})"), "", "without a name"},
        {Form(R"("RawWt": {"type": "String", "value": "\ud800"})"), "", "not valid JSON"},
        {Form("\"RawWt\": {\"type\": \"String\", \"value\": \"\xFF\"}"), "", "not valid JSON"},
        {big, "", "at most 1048576 bytes"},
        {std::string(200000, '[') + std::string(200000, ']'), "", "a form file is a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        try {
            JsonFormBag::Parse(c.text, "f.json");
            ADD_FAILURE() << "no error";
        } catch (const FormError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("f.json: ", 0), 0u) << what;
            EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
            EXPECT_EQ(e.Key(), c.key) << what;
            if (!c.key.empty()) {
                EXPECT_NE(what.find("property \"" + c.key + "\""), std::string::npos) << what;
            }
        }
    }
}

TEST(JsonFormBagTest, UnknownPropertiesAndEveryTypeNameAreAccepted) {
    const JsonFormBag bag = JsonFormBag::Parse(Form(R"(
        "Custom": {"type": "Double", "value": 2},
        "E": {"type": "Empty", "value": null},
        "L": {"type": "Long", "value": 5},
        "S": {"type": "Single", "value": 3},
        "I": {"type": "Integer", "value": -3.0},
        "L2": {"type": "Long", "value": 12e1},
        "S2": {"type": "Single", "value": 3.4028235e38},
        "S3": {"type": "Single", "value": 16777217}
    )"));
    const std::vector<Variant> values = {Variant(2.0),
                                         Variant(),
                                         Variant(std::int32_t{5}),
                                         Variant(3.0f),
                                         Variant(std::int16_t{-3}),
                                         Variant(std::int32_t{120}),
                                         Variant(FLT_MAX),
                                         Variant(16777216.0f)};
    ASSERT_EQ(bag.Entries().size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(bag.Entries()[i].second, values[i]) << bag.Entries()[i].first;
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
    EXPECT_THROW(bag.Save(dir / "form.json"), FormError);
    EXPECT_EQ(ReadText(dir / "form.json"), "old");
}

TEST(JsonFormBagFileTest, LoadReportsFilesThatCannotBeForms) {
    TempDir dir;
    auto message = [](const std::filesystem::path& p) {
        try {
            JsonFormBag::Load(p);
        } catch (const FormError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message(dir / "absent.json").find("No such file"), std::string::npos);
    EXPECT_NE(message(dir.Path()).find("not a regular file"), std::string::npos);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_NE(message(dir / "fifo").find("not a regular file"), std::string::npos);  // no hang
    WriteText(dir / "big.json", std::string(host::kMaxFormFileBytes + 10, ' '));
    EXPECT_NE(message(dir / "big.json").find("at most"), std::string::npos);
    WriteText(dir / "bad.json", "{\"format\": 1");
    const std::string bad = message(dir / "bad.json");
    EXPECT_NE(bad.find((dir / "bad.json").string()), std::string::npos) << bad;
    EXPECT_NE(bad.find("line 1, column 13"), std::string::npos) << bad;
}

TEST(JsonFormBagFileTest, SaveReplacesTheFileWholeAndKeepsItsPermissions) {
    // The longest name a file may have leaves no room for a temporary name built from it.
    for (const std::string& name : {std::string("form.json"), std::string(250, 'f') + ".json"}) {
        TempDir dir;
        const auto file = dir / name;
        WriteText(file, std::string(5000, 'x'));  // longer than the new content
        ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
        JsonFormBag bag;
        bag.Write("CommPort", Variant(std::int16_t{4}), Variant(std::int16_t{1}));
        bag.Save(file);
        EXPECT_EQ(ReadText(file), bag.Serialize());
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(dir.Names(), std::set<std::string>{name});
        EXPECT_EQ(JsonFormBag::Load(file).Read("CommPort", Variant()), Variant(std::int16_t{4}));
    }
}

TEST(JsonFormBagFileTest, SaveKeepsTheOwnerAndGroupItMaySet) {
    // The superuser may give the file to anyone; others may give it a group they belong to.
    uid_t uid = ::geteuid();
    gid_t gid = 65534;
    if (uid == 0) {
        uid = 65534;
    } else {
        std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
        groups.resize(
            static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
        const auto other =
            std::find_if(groups.begin(), groups.end(), [](gid_t g) { return g != ::getegid(); });
        if (other == groups.end()) GTEST_SKIP() << "no second group to give the file";
        gid = *other;
    }
    TempDir dir;
    const auto file = dir / "form.json";
    WriteText(file, "old");
    ASSERT_EQ(::chown(file.c_str(), uid, gid), 0);
    JsonFormBag().Save(file);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(ReadText(file), JsonFormBag().Serialize());
}

TEST(JsonFormBagFileTest, SaveFollowsASymbolicLink) {
    TempDir dir;
    std::filesystem::create_directory(dir / "real");
    WriteText(dir / "real" / "form.json", "old");
    std::filesystem::create_symlink("real/form.json", dir / "link.json");
    JsonFormBag bag;
    bag.Save(dir / "link.json");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.json"));
    EXPECT_EQ(ReadText(dir / "real" / "form.json"), bag.Serialize());
}

TEST(JsonFormBagFileTest, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
    TempDir dir;
    // The target is a directory: the final rename fails after the content was written.
    std::filesystem::create_directory(dir / "form.json");
    WriteText(dir / "form.json" / "keep", "kept");
    JsonFormBag bag;
    try {
        bag.Save(dir / "form.json");
        FAIL() << "no error";
    } catch (const FormError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot write form file"), std::string::npos);
    }
    EXPECT_EQ(dir.Names(), std::set<std::string>{"form.json"});
    EXPECT_EQ(ReadText(dir / "form.json" / "keep"), "kept");
    // A directory that does not exist.
    EXPECT_THROW(bag.Save(dir / "missing" / "form.json"), FormError);
    EXPECT_EQ(dir.Names(), std::set<std::string>{"form.json"});
}

TEST(JsonFormBagFileTest, AReadOnlyDirectoryRefusesTheSaveAndKeepsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    TempDir dir;
    const auto sub = dir / "ro";
    std::filesystem::create_directory(sub);
    WriteText(sub / "form.json", "old");
    ASSERT_EQ(::chmod(sub.c_str(), 0500), 0);
    EXPECT_THROW(JsonFormBag().Save(sub / "form.json"), FormError);
    EXPECT_EQ(ReadText(sub / "form.json"), "old");
}

}  // namespace
}  // namespace varnel::testing
