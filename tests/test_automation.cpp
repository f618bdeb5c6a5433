// The automation description against the interface's own tables, late binding, ControlVersion
// and AboutBox.
#include <gtest/gtest.h>

#include <set>

#include "control/automation.h"
#include "control/errors.h"
#include "pages/about_dialog.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using namespace automation;
using Notes = std::vector<std::string>;

constexpr const char* kHelpOpen =
    "Used to connect or disconnect the serial communications port from the scale. ";
constexpr const char* kHelpNotify = "Determines when the OnChangeEvent will be fired.";
constexpr const char* kHelpUnits =
    "Determines the units-of-measure in which the Net Weight will be presented.";

struct MemberRow {
    const char* name;
    DispId id;
    MemberKind kind;
    const char* param;  // nullptr: none
    AutoType paramType;
    bool byRef;
    AutoType result;
    const char* help;
    bool nonBrowsable;
};

// The member table of the interface, row by row.
const MemberRow kExpectedMembers[] = {
    {"AboutBox", -552, MemberKind::Method, nullptr, AutoType::Void, false, AutoType::Void, nullptr,
     false},
    {"ScaleOpen", 0x6003001C, MemberKind::Method, "connectassert", AutoType::I2, true, AutoType::I2,
     kHelpOpen, false},
    {"CommID", 0x6803000A, MemberKind::PropertyGet, nullptr, AutoType::Void, false, AutoType::I4,
     nullptr, false},
    {"CommID", 0x6803000A, MemberKind::PropertyPut, "New_CommID", AutoType::I4, false,
     AutoType::Void, nullptr, false},
    {"CommPort", 0x68030009, MemberKind::PropertyGet, nullptr, AutoType::Void, false, AutoType::I2,
     nullptr, false},
    {"CommPort", 0x68030009, MemberKind::PropertyPut, "New_CommPort", AutoType::I2, false,
     AutoType::Void, nullptr, false},
    {"WtNotification", 0x68030008, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::NotifyEnum, kHelpNotify, false},
    {"WtNotification", 0x68030008, MemberKind::PropertyPut, "New_WtNotification",
     AutoType::NotifyEnum, false, AutoType::Void, kHelpNotify, false},
    {"NetWtUnits", 0x68030007, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::UomEnum, kHelpUnits, false},
    {"NetWtUnits", 0x68030007, MemberKind::PropertyPut, "New_NetWtUnits", AutoType::UomEnum, false,
     AutoType::Void, kHelpUnits, false},
    {"ScaleCommEvent", 0x68030006, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::I2, nullptr, false},
    {"RawWtUnits", 0x68030005, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::I2, nullptr, false},
    {"RawWt", 0x68030004, MemberKind::PropertyGet, nullptr, AutoType::Void, false, AutoType::Bstr,
     nullptr, false},
    {"FormattedWt", 0x68030003, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::Bstr, nullptr, false},
    {"ScaleStatus", 0x68030002, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::I2, nullptr, false},
    {"NetWt", 0x68030001, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::Variant, nullptr, true},
    {"ConnectStatus", 0x68030000, MemberKind::PropertyGet, nullptr, AutoType::Void, false,
     AutoType::I2, nullptr, true},
    {"ControlVersion", 0x6003001D, MemberKind::Method, nullptr, AutoType::Void, false,
     AutoType::Bstr, nullptr, false},
};

std::string Text(const char* s) {
    return s ? s : "<none>";
}

TEST(AutomationTableTest, MembersMatchTheInterfaceRowByRow) {
    ASSERT_EQ(std::size(kExpectedMembers), kMembers.size());
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
        const MemberRow& want = kExpectedMembers[i];
        const Member& got = kMembers[i];
        SCOPED_TRACE(std::to_string(i + 1) + " " + want.name);
        EXPECT_STREQ(got.name, want.name);
        EXPECT_EQ(got.dispId, want.id);
        EXPECT_EQ(got.kind, want.kind);
        ASSERT_EQ(got.param.has_value(), want.param != nullptr);
        if (want.param) {
            EXPECT_STREQ(got.param->name, want.param);
            EXPECT_EQ(got.param->type, want.paramType);
            EXPECT_EQ(got.param->byRef, want.byRef);
        }
        EXPECT_EQ(got.result, want.result);
        EXPECT_EQ(Text(got.helpString), Text(want.help));
        EXPECT_EQ((got.flags & funcflag::kNonBrowsable) != 0, want.nonBrowsable);
        EXPECT_EQ(got.flags & ~funcflag::kNonBrowsable, 0u);
    }
}

TEST(AutomationTableTest, ReadOnlyPropertiesHaveNoPut) {
    const std::set<std::string> readOnly = {"ScaleCommEvent", "RawWtUnits",  "RawWt",
                                            "FormattedWt",    "ScaleStatus", "NetWt",
                                            "ConnectStatus"};
    for (const Member& m : kMembers) {
        if (m.kind != MemberKind::PropertyGet) continue;
        EXPECT_EQ(FindMember(m.dispId, MemberKind::PropertyPut) == nullptr,
                  readOnly.count(m.name) == 1)
            << m.name;
        // A property's get and put share one dispatch id and one help string.
        if (const Member* put = FindMember(m.dispId, MemberKind::PropertyPut)) {
            EXPECT_STREQ(put->name, m.name);
            EXPECT_EQ(Text(put->helpString), Text(m.helpString));
            EXPECT_EQ(put->param->type, m.result);
        }
    }
}

TEST(AutomationTableTest, TypesInLibraryOrderWithKindsFlagsAndDistinctGuids) {
    struct Row {
        const char* name;
        TypeKind kind;
        std::uint32_t flags;
    };
    const std::uint32_t iface =
        typeflag::kHidden | typeflag::kNonExtensible | typeflag::kOleAutomation;
    const Row want[] = {
        {"_CommPort", TypeKind::DualInterface, iface},
        {"CommPort", TypeKind::CoClass, 0},
        {"_Notify", TypeKind::DualInterface, iface},
        {"Notify", TypeKind::CoClass, 0},
        {"_Units", TypeKind::DualInterface, iface},
        {"Units", TypeKind::CoClass, 0},
        {"_Varnel", TypeKind::DualInterface, iface},
        {"Varnel", TypeKind::CoClass, typeflag::kControl},
        {"__Varnel", TypeKind::DispInterface, typeflag::kHidden | typeflag::kNonExtensible},
        {"VN_UOM_ENUM", TypeKind::Enum, 0},
        {"VN_NOTIFY_ENUM", TypeKind::Enum, 0},
    };
    ASSERT_EQ(std::size(want), kTypes.size());
    std::set<std::string> guids = {ToString(kLibrary.guid)};
    for (std::size_t i = 0; i < kTypes.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_STREQ(kTypes[i].name, want[i].name);
        EXPECT_EQ(kTypes[i].kind, want[i].kind);
        EXPECT_EQ(kTypes[i].flags, want[i].flags);
        EXPECT_EQ(kTypes[i].guid.has_value(), want[i].kind != TypeKind::Enum);
        if (kTypes[i].guid) {
            EXPECT_TRUE(guids.insert(ToString(*kTypes[i].guid)).second) << "GUID used twice";
        }
        if (kTypes[i].kind == TypeKind::CoClass) {
            const TypeInfo* def = FindType(kTypes[i].defaultInterface);
            ASSERT_NE(def, nullptr);
            EXPECT_EQ(std::string("_") + kTypes[i].name, def->name);
        }
    }
    EXPECT_EQ(guids.size(), 10u);  // the library, four classes, five interfaces
    EXPECT_STREQ(FindType("Varnel")->defaultSource, "__Varnel");

    EXPECT_STREQ(kLibrary.name, "Varnel_OCX");
    EXPECT_EQ(kLibrary.majorVersion, 1);
    EXPECT_EQ(kLibrary.minorVersion, 0);
    EXPECT_EQ(kLibrary.lcid, 0x0409u);
    EXPECT_TRUE(kLibrary.controlLibrary);
    EXPECT_EQ(kLibrary.helpFile, nullptr);
    EXPECT_EQ(std::string(kLibrary.description).find('\n'), std::string::npos);
}

TEST(AutomationTableTest, GuidTextRoundTrips) {
    constexpr Guid g = ParseGuid("0744d239-1ccf-4f2f-9ffc-06d3bc9eb516");
    static_assert(g.data1 == 0x0744D239 && g.data2 == 0x1CCF && g.data3 == 0x4F2F);
    static_assert(g.data4[0] == 0x9F && g.data4[1] == 0xFC && g.data4[7] == 0x16);
    EXPECT_EQ(ToString(g), "0744D239-1CCF-4F2F-9FFC-06D3BC9EB516");
}

TEST(AutomationTableTest, EventEnumsCategoryPagesAndVersion) {
    ASSERT_EQ(kEvents.size(), 1u);
    EXPECT_STREQ(kEvents[0].name, "OnScaleComm");
    EXPECT_EQ(kEvents[0].dispId, 1);

    struct Row {
        const char* en;
        const char* name;
        std::int32_t value;
    };
    const Row want[] = {{"VN_UOM_ENUM", "vnPounds", 0},       {"VN_UOM_ENUM", "vnKilograms", 1},
                        {"VN_UOM_ENUM", "vnGrams", 2},        {"VN_UOM_ENUM", "vnOunces", 3},
                        {"VN_NOTIFY_ENUM", "vnEverytime", 0}, {"VN_NOTIFY_ENUM", "vnChanged", 1}};
    ASSERT_EQ(std::size(want), kEnumMembers.size());
    for (std::size_t i = 0; i < kEnumMembers.size(); ++i) {
        EXPECT_STREQ(kEnumMembers[i].enumName, want[i].en);
        EXPECT_STREQ(kEnumMembers[i].name, want[i].name);
        EXPECT_STREQ(kEnumMembers[i].helpString, want[i].name);
        EXPECT_EQ(kEnumMembers[i].value, want[i].value);
    }
    for (const EnumMember& m : kEnumMembers)
        EXPECT_NE(FindType(m.enumName), nullptr);

    for (const Member& m : kMembers) {
        const bool wtMeter =
            std::string(m.name) == "WtNotification" || std::string(m.name) == "NetWtUnits";
        EXPECT_EQ(Text(CategoryOf(m.name)), wtMeter ? "WtMeter" : "<none>") << m.name;
    }

    ASSERT_EQ(kPages.size(), 3u);
    const char* pageNames[] = {"CommPort", "Notify", "Units"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(kPages[i].name, pageNames[i]);
        const TypeInfo* cls = FindType(pageNames[i]);
        ASSERT_NE(cls, nullptr);
        EXPECT_EQ(cls->kind, TypeKind::CoClass);
        EXPECT_EQ(kPages[i].clsid, *cls->guid);
    }

    // The version data and the version the container reports agree.
    const ComponentVersion runtime;
    EXPECT_EQ(runtime.major, kVersion.major);
    EXPECT_EQ(runtime.minor, kVersion.minor);
}

TEST(AutomationLookupTest, ByNameAndByIdAgreeForEveryMember) {
    for (const Member& m : kMembers) {
        std::string lower = m.name, upper = m.name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(GetIDOfName(m.name), m.dispId);
        EXPECT_EQ(GetIDOfName(lower), m.dispId);
        EXPECT_EQ(GetIDOfName(upper), m.dispId);
        EXPECT_STREQ(NameOf(m.dispId), m.name);
        EXPECT_EQ(FindMember(m.dispId, m.kind), &m);
    }
    EXPECT_EQ(GetIDOfName("connectstatus"), 0x68030000);
    EXPECT_EQ(GetIDOfName("CommID"), 0x6803000A);
    for (const char* bad : {"", "CommPorts", "OnScaleComm", "m_RawWt", "Comm Port"}) {
        try {
            GetIDOfName(bad);
            ADD_FAILURE() << bad;
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), err::kUnknownName) << bad;
        }
    }
}

// --- Late binding on a control ---

TEST(LateBindingTest, GetsReturnTheInterfaceTypes) {
    Harness h;
    h.Open();
    h.Feed(Frame('0', "01234"));
    h.ctl->SetCommID(-5);
    h.ctl->SetNetWtUnits(vnOunces);  // every property now reads a value of its own
    struct Row {
        const char* name;
        VarType type;
        Variant direct;
    };
    Varnel& c = *h.ctl;
    const Row rows[] = {
        {"CommID", VarType::I4, Variant(c.CommID())},
        {"CommPort", VarType::I2, Variant(c.CommPort())},
        {"WtNotification", VarType::I4, Variant(std::int32_t{c.WtNotification()})},
        {"NetWtUnits", VarType::I4, Variant(std::int32_t{c.NetWtUnits()})},
        {"ScaleCommEvent", VarType::I2, Variant(c.ScaleCommEvent())},
        {"RawWtUnits", VarType::I2, Variant(c.RawWtUnits())},
        {"RawWt", VarType::Str, Variant(c.RawWt())},
        {"FormattedWt", VarType::Str, Variant(c.FormattedWt())},
        {"ScaleStatus", VarType::I2, Variant(c.ScaleStatus())},
        {"NetWt", VarType::R4, c.NetWt()},
        {"ConnectStatus", VarType::I2, Variant(c.ConnectStatus())},
    };
    EXPECT_EQ(c.RawWt(), "01234");
    EXPECT_EQ(c.CommID(), -5);
    for (const Row& r : rows) {
        const Variant v = GetProperty(*h.ctl, r.name);
        EXPECT_EQ(v.Type(), r.type) << r.name;
        EXPECT_EQ(v, r.direct) << r.name;
        // Hosts that cannot tell a property from a method pass both flags.
        EXPECT_EQ(Invoke(*h.ctl, GetIDOfName(r.name), invoke::kMethod | invoke::kPropertyGet), v);
    }
    EXPECT_EQ(CallMethod(*h.ctl, "controlversion"), Variant("(3.0)"));
}

TEST(LateBindingTest, PutsConvertWithTheStandardConversions) {
    Harness h;
    h.container.userMode = false;
    PutProperty(*h.ctl, "commport", Variant(" 3 "));
    PutProperty(*h.ctl, "CommID", Variant(2.5));  // half to even
    PutProperty(*h.ctl, "WtNotification", Variant(std::int16_t{7}));
    PutProperty(*h.ctl, "NETWTUNITS", Variant("2"));
    EXPECT_EQ(h.ctl->CommPort(), 3);
    EXPECT_EQ(h.ctl->CommID(), 2);
    EXPECT_EQ(h.ctl->WtNotification(), 7);
    EXPECT_EQ(h.ctl->NetWtUnits(), vnGrams);
    EXPECT_EQ(h.container.notifications,
              (Notes{"CommPort", "CommID", "WtNotification", "NetWtUnits"}));

    h.comm->accesses.clear();
    h.container.notifications.clear();
    EXPECT_EQ(ErrorOf([&] { PutProperty(*h.ctl, "CommPort", Variant("40000")); }), err::kOverflow);
    EXPECT_EQ(ErrorOf([&] { PutProperty(*h.ctl, "CommPort", Variant("COM1")); }),
              err::kTypeMismatch);
    EXPECT_EQ(ErrorOf([&] { PutProperty(*h.ctl, "WtNotification", Variant(3e9)); }),
              err::kOverflow);
    EXPECT_EQ(h.ctl->CommPort(), 3);
    EXPECT_TRUE(h.comm->Writes().empty());
    EXPECT_TRUE(h.container.notifications.empty());
}

TEST(LateBindingTest, PutOnReadOnlyPropertyFailsAndChangesNothing) {
    Harness h;
    h.Open();
    h.Feed(Frame('0', "01234"));
    const Snapshot before = h.Snap();
    h.container.notifications.clear();
    h.comm->accesses.clear();
    for (const char* name : {"ScaleCommEvent", "RawWtUnits", "RawWt", "FormattedWt", "ScaleStatus",
                             "NetWt", "ConnectStatus"}) {
        for (std::uint16_t flags : {invoke::kPropertyPut, invoke::kPropertyPutRef}) {
            Variant arg("0");
            try {
                Invoke(*h.ctl, GetIDOfName(name), flags, std::span<Variant>(&arg, 1));
                ADD_FAILURE() << name;
            } catch (const AutomationError& e) {
                EXPECT_EQ(e.Number(), err::kMemberNotFound) << name;
                EXPECT_NE(e.Description().find(name), std::string::npos);
            }
            EXPECT_EQ(arg, Variant("0"));
        }
    }
    const Snapshot after = h.Snap();
    EXPECT_EQ(after.event, before.event);
    EXPECT_EQ(after.rawWt, before.rawWt);
    EXPECT_EQ(after.formatted, before.formatted);
    EXPECT_EQ(after.netWt, before.netWt);
    EXPECT_EQ(after.connect, before.connect);
    EXPECT_TRUE(h.container.notifications.empty());
    EXPECT_TRUE(h.comm->accesses.empty());
}

TEST(LateBindingTest, ScaleOpenWritesItsByReferenceArgumentBack) {
    Harness h;
    std::vector<Variant> args{Variant("-1")};
    const Variant result = CallMethod(*h.ctl, "ScaleOpen", args);
    EXPECT_EQ(result, Variant(std::int16_t{1}));
    EXPECT_EQ(args[0], Variant(std::int16_t{-1}));  // by reference: now the 16-bit value
    EXPECT_TRUE(h.comm->IsOpen());

    args[0] = Variant(0.4);
    EXPECT_EQ(Invoke(*h.ctl, kDispIdScaleOpen, invoke::kMethod, args), Variant(std::int16_t{0}));
    EXPECT_EQ(args[0], Variant(std::int16_t{0}));
    EXPECT_FALSE(h.comm->IsOpen());

    args[0] = Variant("open");
    EXPECT_EQ(ErrorOf([&] { CallMethod(*h.ctl, "ScaleOpen", args); }), err::kTypeMismatch);
    EXPECT_EQ(args[0], Variant("open"));
    EXPECT_FALSE(h.comm->IsOpen());
}

TEST(LateBindingTest, CallsThatDoNotFitTheMemberAreRefused) {
    Harness h;
    std::vector<Variant> one{Variant(std::int16_t{1})};
    std::vector<Variant> none;
    struct Case {
        const char* what;
        DispId id;
        std::uint16_t flags;
        std::vector<Variant>* args;
        std::int32_t error;
    };
    const Case cases[] = {
        {"unknown id", 0x12345, invoke::kMethod | invoke::kPropertyGet, &none,
         err::kMemberNotFound},
        {"property called as a method", kDispIdRawWt, invoke::kMethod, &none, err::kMemberNotFound},
        {"method read as a property", kDispIdControlVersion, invoke::kPropertyGet, &none,
         err::kMemberNotFound},
        {"get with an argument", kDispIdCommPort, invoke::kPropertyGet, &one, err::kBadParamCount},
        {"put without a value", kDispIdCommPort, invoke::kPropertyPut, &none, err::kBadParamCount},
        {"ScaleOpen without its argument", kDispIdScaleOpen, invoke::kMethod, &none,
         err::kBadParamCount},
        {"AboutBox with an argument", kDispIdAboutBox, invoke::kMethod, &one, err::kBadParamCount},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf([&] { Invoke(*h.ctl, c.id, c.flags, *c.args); }), c.error) << c.what;
    }
    EXPECT_FALSE(h.comm->IsOpen());
    EXPECT_TRUE(h.container.aboutShown.empty());
}

// --- ControlVersion and AboutBox ---

TEST(ControlVersionTest, MajorDotMinorInParentheses) {
    struct Case {
        ComponentVersion v;
        const char* text;
    };
    const Case cases[] = {{{3, 0, 0, 0}, "(3.0)"},
                          {{3, 10, 0, 0}, "(3.10)"},
                          {{3, 0, 7, 9}, "(3.0)"},
                          {{12, 5, 0, 0}, "(12.5)"}};
    for (const Case& c : cases) {
        Harness h;
        h.container.version = c.v;
        EXPECT_EQ(h.ctl->ControlVersion(), c.text);
        h.ctl->AboutBox();
        EXPECT_EQ(h.container.aboutShown, Notes{c.text});
    }
}

TEST(AboutBoxTest, EveryCallShowsAFreshlyLoadedDialog) {
    Harness h;
    std::vector<const pages::AboutDialog*> dialogs;
    int loadsSeen = 0;
    h.container.onAbout = [&](pages::AboutDialog& d) {
        dialogs.push_back(&d);
        EXPECT_TRUE(d.Loaded());
        EXPECT_TRUE(d.Showing());
        loadsSeen += d.LoadCount();
        EXPECT_EQ(d.CaptionOf("lblVersion"), "(3.0)");
        EXPECT_EQ(d.CaptionOf("Label2"), "Varnel  ActiveX Control");
        bool unloaded = false;
        d.onUnload = [&] { unloaded = true; };
        if (dialogs.size() == 1)
            d.cmdClose_Click();
        else
            d.CloseBox_Click();  // the title-bar close box returns just the same
        EXPECT_TRUE(unloaded);
        EXPECT_FALSE(d.Loaded());
    };
    h.ctl->AboutBox();
    Invoke(*h.ctl, kDispIdAboutBox, invoke::kMethod);
    EXPECT_EQ(h.container.aboutShown, (Notes{"(3.0)", "(3.0)"}));
    EXPECT_EQ(loadsSeen, 2);  // each dialog loaded once
}

TEST(AboutBoxTest, ScaleEventsArriveWhileTheDialogIsOpen) {
    Harness h;
    h.Open();
    h.container.onAbout = [&](pages::AboutDialog& d) {
        h.Feed(Frame('0', "00500"));
        h.clock.Advance(999);
        d.cmdClose_Click();
    };
    h.ctl->AboutBox();
    EXPECT_EQ(h.EventCodes(), (std::vector<std::int16_t>{1}));
    EXPECT_EQ(h.ctl->RawWt(), "00500");
}

TEST(AboutBoxTest, NestedCallsShowDialogsOfTheirOwnAndAFailedDisplayLeavesNone) {
    // An OnScaleComm handler may call AboutBox while a dialog is up: once after the outer dialog
    // was closed, once while it is still open.
    Harness h;
    std::vector<const pages::AboutDialog*> shown;
    h.container.onAbout = [&](pages::AboutDialog& d) {
        shown.push_back(&d);
        const std::size_t depth = shown.size();
        if (depth == 1) d.cmdClose_Click();
        if (depth < 3) h.ctl->AboutBox();
        EXPECT_EQ(d.LoadCount(), 1) << depth;  // still this call's own dialog
        EXPECT_EQ(d.Loaded(), depth != 1) << depth;
        d.cmdClose_Click();
    };
    h.ctl->AboutBox();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_NE(shown[0], shown[1]);
    EXPECT_NE(shown[1], shown[2]);
    EXPECT_EQ(h.container.aboutShown, (Notes{"(3.0)", "(3.0)", "(3.0)"}));

    h.container.onAbout = [](pages::AboutDialog&) { throw AutomationError(7, "Out of memory"); };
    EXPECT_EQ(ErrorOf([&] { h.ctl->AboutBox(); }), 7);
    // The failed display did not leave a loaded dialog behind: the next one loads afresh.
    h.container.version = {3, 1, 0, 0};
    h.container.onAbout = nullptr;
    h.ctl->AboutBox();
    EXPECT_EQ(h.container.aboutShown.back(), "(3.1)");
}

}  // namespace
}  // namespace varnel::testing
