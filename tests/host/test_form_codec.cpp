// The form file's text: typed values that survive a round trip, the documented layout, and clear
// errors for malformed forms and values.
#include <gtest/gtest.h>

#include <cfloat>
#include <limits>

#include "host/form_codec.h"
#include "tests/host/form_text.h"

namespace varnel::testing {
namespace {

using host::FormEntries;
using host::ParseForm;

TEST(FormCodecTest, EveryVariantTypeSurvivesARoundTrip) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b)
        allBytes += static_cast<char>(b);
    const FormEntries values = {
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
    const std::string text = host::SerializeForm(values);
    EXPECT_EQ(ParseForm(text), values);
    EXPECT_EQ(host::SerializeForm(ParseForm(text)), text);
    // Floats are written with their shortest decimal, texts as UTF-8.
    EXPECT_NE(text.find(R"("value": 0.1)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("value": 3.4028235e+38)"), std::string::npos) << text;
    EXPECT_NE(text.find("\"caf\xC3\xA9\""), std::string::npos) << text;
}

TEST(FormCodecTest, TheDocumentedLayout) {
    const FormEntries entries = {{"CommPort", Variant(std::int16_t{3})},
                                 {"PortOpen", Variant::Boolean(true)},
                                 {"NetWt", Variant(1.25f)},
                                 {"RawWt", Variant("00125")}};
    EXPECT_EQ(host::SerializeForm(entries), R"({
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

TEST(FormCodecTest, MalformedFormsGetAClearErrorNamingTheKeyOrPosition) {
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
        const auto e = FormErrorOf([&] { ParseForm(c.text, "f.json"); });
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("f.json: ", 0), 0u) << what;
        EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
        EXPECT_EQ(e.Key(), c.key) << what;
        EXPECT_TRUE(c.key.empty() || what.find("property \"" + c.key + "\"") != std::string::npos)
            << what;
    }
}

TEST(FormCodecTest, WholeAndRoundedNumbersOfEveryTypeAreAccepted) {
    const std::pair<std::string, Variant> accepted[] = {
        {R"({"type": "Double", "value": 2})", Variant(2.0)},
        {R"({"type": "Empty", "value": null})", Variant()},
        {R"({"type": "Long", "value": 5})", Variant(std::int32_t{5})},
        {R"({"type": "Single", "value": 3})", Variant(3.0f)},
        {R"({"type": "Integer", "value": -3.0})", Variant(std::int16_t{-3})},
        {R"({"type": "Long", "value": 12e1})", Variant(std::int32_t{120})},
        {R"({"type": "Single", "value": 3.4028235e38})", Variant(FLT_MAX)},
        {R"({"type": "Single", "value": 16777217})", Variant(16777216.0f)},
    };
    for (const auto& [entry, value] : accepted)
        EXPECT_EQ(ParseForm(Form("\"Custom\": " + entry)), (FormEntries{{"Custom", value}}))
            << entry;
}

}  // namespace
}  // namespace varnel::testing
