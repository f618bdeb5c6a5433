// The form commands' operations: show, get and set through the control and its property pages,
// loading a form into a running host's control, and saving one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "control/errors.h"
#include "host/form_editor.h"
#include "tests/fakes/harness.h"
#include "tests/host/form_text.h"
#include "tests/support/temp_dir.h"

namespace varnel::testing {
namespace {

using host::FormEntry;
using host::FormError;

struct FormFile {
    TempDir dir;
    std::filesystem::path path = dir / "scale.json";
    void Write(const std::string& properties) { WriteText(path, Form(properties)); }
    std::string Text() const { return ReadText(path); }
};

TEST(FormSetTest, CreatesAMissingFileAndAppliesThePortTextRules) {
    struct Case {
        const char* text;
        std::int16_t port;
    };
    const Case cases[] = {{" 3 ", 3},
                          {"3.5", 4},
                          {"2.5", 2},
                          {"\t12", 12},
                          {"1", 1},
                          {"2.5000000000000001", 3},
                          {"32767.49999999999999", 32767}};  // rounded once, from the digits
    for (const Case& c : cases) {
        FormFile f;
        const FormEntry e = host::SetFormValue(f.path, "commport", c.text);
        EXPECT_EQ(e.key, "CommPort");
        EXPECT_EQ(e.value, Variant(c.port)) << c.text;
        EXPECT_EQ(e.stored, c.port != 1);
        EXPECT_STREQ(e.page, "CommPort");
        EXPECT_EQ(host::GetFormValue(f.path, "CommPort").value, Variant(c.port));
        EXPECT_EQ(f.dir.Names(), std::set<std::string>{"scale.json"});
    }
}

TEST(FormSetTest, ABadValueIsRefusedAndTheFileStaysAsItWas) {
    struct Case {
        const char* key;
        const char* value;
        std::optional<std::int32_t> number;
        const char* fragment;
    };
    const Case cases[] = {
        {"CommPort", "COM1", err::kTypeMismatch, "cannot set \"COM1\""},
        {"CommPort", "", err::kTypeMismatch, "Type mismatch"},
        {"CommPort", "40000", err::kOverflow, "Overflow"},
        {"CommPort", "0", comm::kErrInvalidPortNumber, "Invalid Port Number"},
        {"NetWtUnits", "Stones", std::nullopt, "0 or vnPounds (Pounds)"},
        {"NetWtUnits", "4", std::nullopt, "not an option of the Units page"},
        {"NetWtUnits", "1.5", std::nullopt, "not an option"},
        {"WtNotification", "sometimes", std::nullopt,
         "1 or vnChanged (Only when the weight value changes.)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value);
        FormFile f;
        f.Write(R"("CommPort": {"type": "Integer", "value": 5})");
        const std::string before = f.Text();
        const FormError e = FormErrorOf([&] { host::SetFormValue(f.path, c.key, c.value); });
        EXPECT_NE(std::string(e.what()).find(c.fragment), std::string::npos) << e.what();
        EXPECT_EQ(e.Key(), c.key);
        EXPECT_EQ(e.Number(), c.number);
        EXPECT_EQ(f.Text(), before);
        EXPECT_EQ(f.dir.Names(), std::set<std::string>{"scale.json"});
    }
}

TEST(FormSetTest, ConcurrentEditsOfOneFileLoseNothing) {
    // Two editors, each the only one to change its key: each must find its last value still
    // there, whatever the other saved meanwhile.
    FormFile f;
    f.Write("");
    constexpr int kRounds = 20;
    std::atomic<int> lost{0}, failed{0};
    auto edit = [&](const char* key, int base, int modulo) {
        std::string last = host::GetFormValue(f.path, key).value.ToStr();
        for (int i = 0; i < kRounds; ++i) {
            try {
                if (host::GetFormValue(f.path, key).value.ToStr() != last) ++lost;
                last = std::to_string(base + i % modulo);
                host::SetFormValue(f.path, key, last);
            } catch (const FormError& e) {
                ADD_FAILURE() << e.what();
                ++failed;
            }
        }
    };
    std::thread ports(edit, "CommPort", 2, 1000);
    std::thread units(edit, "NetWtUnits", 0, 4);
    ports.join();
    units.join();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(host::GetFormValue(f.path, "CommPort").value, Variant(std::int16_t{2 + kRounds - 1}));
    EXPECT_EQ(host::GetFormValue(f.path, "NetWtUnits").value,
              Variant(std::int32_t{(kRounds - 1) % 4}));
    EXPECT_EQ(f.dir.Names(), std::set<std::string>{"scale.json"});
}

TEST(FormSetTest, OptionsByIndexEnumNameOrCaption) {
    struct Case {
        const char* key;
        const char* value;
        std::int32_t result;
    };
    const Case cases[] = {
        {"NetWtUnits", "vnGrams", 2},
        {"netwtunits", "grams", 2},
        {"NetWtUnits", " Kilograms ", 1},
        {"NetWtUnits", "3", 3},
        {"NetWtUnits", "VNPOUNDS", 0},
        {"WtNotification", "vnChanged", 1},
        {"WtNotification", "Only when the weight value changes.", 1},
        {"WtNotification", "everytime", 0},
        {"WtNotification", "1", 1},
    };
    for (const Case& c : cases) {
        FormFile f;
        const FormEntry e = host::SetFormValue(f.path, c.key, c.value);
        EXPECT_EQ(e.value, Variant(c.result)) << c.value;
        EXPECT_EQ(e.value.Type(), VarType::I4);
        EXPECT_EQ(e.stored, c.result != 0);
    }
}

TEST(FormSetTest, KeepsEverythingElseInTheFile) {
    FormFile f;
    f.Write(R"("Custom": {"type": "String", "value": "mine"},
               "CommPort": {"type": "Integer", "value": 6},
               "WtNotification": {"type": "Long", "value": 1},
               "RawWt": {"type": "String", "value": "01250"})");
    host::SetFormValue(f.path, "NetWtUnits", "Ounces");
    const host::JsonFormBag bag = host::JsonFormBag::Load(f.path);
    EXPECT_EQ(*bag.Find("Custom"), Variant("mine"));
    EXPECT_EQ(*bag.Find("CommPort"), Variant(std::int16_t{6}));
    EXPECT_EQ(*bag.Find("WtNotification"), Variant(std::int32_t{1}));
    EXPECT_EQ(*bag.Find("RawWt"), Variant("01250"));
    EXPECT_EQ(*bag.Find("NetWtUnits"), Variant(std::int32_t{3}));

    // Back to the default: the key leaves the file.
    host::SetFormValue(f.path, "NetWtUnits", "0");
    EXPECT_EQ(host::JsonFormBag::Load(f.path).Find("NetWtUnits"), nullptr);
}

TEST(FormSetTest, AValueWithoutAnOptionCanBeReplacedByAnyOption) {
    // The Units page cannot show 9; choosing option 0, which a new page already shows, still
    // applies.
    FormFile f;
    f.Write(R"("NetWtUnits": {"type": "Long", "value": 9},
               "WtNotification": {"type": "Long", "value": 70000})");
    EXPECT_EQ(host::SetFormValue(f.path, "NetWtUnits", "Pounds").value, Variant(std::int32_t{0}));
    EXPECT_EQ(host::SetFormValue(f.path, "WtNotification", "0").value, Variant(std::int32_t{0}));
    EXPECT_EQ(host::JsonFormBag::Load(f.path).Entries().size(), 0u);
}

TEST(FormSetTest, KeysNoPageEditsAreRefused) {
    FormFile f;
    for (const char* key : {"RawWt", "ScaleCommEvent", "NetWt", "ConnectStatus", "CommID",
                            "PortOpen", "Colour", "Comm Port"}) {
        const FormError e = FormErrorOf([&] { host::SetFormValue(f.path, key, "1"); });
        const std::string what = e.what();
        EXPECT_TRUE(what.find("read-only") != std::string::npos ||
                    what.find("not loaded from a form") != std::string::npos ||
                    what.find("unknown property") != std::string::npos)
            << what;
    }
    EXPECT_FALSE(std::filesystem::exists(f.path));
    EXPECT_STREQ(host::PageFor("WtNotification"), "Notify");
    EXPECT_STREQ(host::PageFor("NetWtUnits"), "Units");
    EXPECT_EQ(host::PageFor("RawWt"), nullptr);
}

TEST(FormSetTest, AFormThatDoesNotLoadIsNotTouched) {
    FormFile f;
    f.Write(R"("CommPort": {"type": "Integer", "value": 3},
               "ScaleStatus": {"type": "String", "value": "busy"})");
    const std::string before = f.Text();
    const FormError e = FormErrorOf([&] { host::SetFormValue(f.path, "CommPort", "4"); });
    EXPECT_EQ(e.Key(), "ScaleStatus");
    EXPECT_EQ(e.Number(), err::kTypeMismatch);
    EXPECT_EQ(f.Text(), before);

    WriteText(f.path, "{oops");
    EXPECT_THROW(host::SetFormValue(f.path, "CommPort", "4"), FormError);
    EXPECT_EQ(f.Text(), "{oops");
}

TEST(FormShowTest, ListsEveryKeyAsALoadedControlSavesIt) {
    FormFile f;
    f.Write(R"("CommID": {"type": "Long", "value": 5},
               "CommPort": {"type": "Integer", "value": 2},
               "RawWt": {"type": "String", "value": "01250"},
               "NetWt": {"type": "Double", "value": 0.1},
               "NetWtUnits": {"type": "Integer", "value": 2})");
    const std::vector<FormEntry> entries = host::ShowForm(f.path);
    const std::vector<std::string> keys = {"CommID",         "CommPort",    "PortOpen",
                                           "ScaleCommEvent", "RawWtUnits",  "RawWt",
                                           "FormattedWt",    "ScaleStatus", "WtNotification",
                                           "NetWtUnits",     "NetWt",       "ConnectStatus"};
    ASSERT_EQ(entries.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(entries[i].key, keys[i]);
    EXPECT_EQ(entries[0].value, Variant(std::int32_t{0}));  // CommID is not loaded
    EXPECT_FALSE(entries[0].stored);
    EXPECT_EQ(entries[1].value, Variant(std::int16_t{2}));
    EXPECT_EQ(entries[5].value, Variant("01250"));
    EXPECT_EQ(entries[9].value, Variant(std::int32_t{2}));  // saved with its own type
    EXPECT_EQ(entries[10].value, Variant(0.1f));
    EXPECT_TRUE(entries[10].stored);
    EXPECT_FALSE(entries[11].stored);
    EXPECT_EQ(host::GetFormValue(f.path, "rawwt").value, Variant("01250"));
    EXPECT_EQ(FormErrorOf([&] { host::GetFormValue(f.path, "Weight"); }).Key(), "Weight");
    EXPECT_THROW(host::ShowForm(f.dir / "absent.json"), FormError);
}

TEST(FormLoadTest, LoadsIntoAHostsControlWithoutOpeningThePort) {
    FormFile f;
    f.Write(R"("CommPort": {"type": "Integer", "value": 4},
               "WtNotification": {"type": "Long", "value": 1},
               "PortOpen": {"type": "Boolean", "value": true})");
    Harness h;
    host::LoadForm(f.path, *h.ctl);
    EXPECT_EQ(h.ctl->CommPort(), 4);
    EXPECT_EQ(h.ctl->WtNotification(), vnChanged);
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_TRUE(h.container.notifications.empty());
}

TEST(FormLoadTest, AHostileValueNamesTheFileAndKeyAndStopsThere) {
    FormFile f;
    f.Write(R"("CommPort": {"type": "Integer", "value": 4},
               "RawWt": {"type": "String", "value": "x"},
               "ScaleStatus": {"type": "Double", "value": 1e300},
               "NetWtUnits": {"type": "Long", "value": 2})");
    Harness h;
    const FormError e = FormErrorOf([&] { host::LoadForm(f.path, *h.ctl); });
    EXPECT_EQ(e.Key(), "ScaleStatus");
    EXPECT_EQ(e.Number(), err::kOverflow);
    EXPECT_NE(std::string(e.what()).find(f.path.string()), std::string::npos);
    EXPECT_EQ(h.ctl->CommPort(), 4);
    EXPECT_EQ(h.ctl->RawWt(), "x");
    EXPECT_EQ(h.ctl->NetWtUnits(), vnPounds);
}

TEST(FormSaveTest, ARunningControlSavedAndLoadedAgain) {
    FormFile f;
    f.Write(R"("Custom": {"type": "Boolean", "value": false})");
    Harness a;
    a.ctl->SetCommPort(3);
    a.ctl->SetNetWtUnits(vnKilograms);
    a.Open();
    a.Feed(Frame('0', "01234"));
    host::SaveForm(f.path, *a.ctl);

    Harness b;
    host::LoadForm(f.path, *b.ctl);
    EXPECT_EQ(b.ctl->CommPort(), 3);
    EXPECT_EQ(b.ctl->NetWtUnits(), vnKilograms);
    EXPECT_EQ(b.ctl->RawWt(), a.ctl->RawWt());
    EXPECT_EQ(b.ctl->FormattedWt(), a.ctl->FormattedWt());
    EXPECT_EQ(b.ctl->NetWt(), a.ctl->NetWt());
    EXPECT_EQ(b.ctl->ConnectStatus(), 1);
    EXPECT_NE(host::JsonFormBag::Load(f.path).Find("Custom"), nullptr);

    WriteText(f.path, "not a form");
    EXPECT_THROW(host::SaveForm(f.path, *a.ctl), FormError);
    EXPECT_EQ(f.Text(), "not a form");
}

}  // namespace
}  // namespace varnel::testing
