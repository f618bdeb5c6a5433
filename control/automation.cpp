// The type library as data, late binding on the control, ControlVersion and AboutBox.
#include "control/automation.h"

#include "control/errors.h"
#include "control/varnel.h"
#include "pages/about_dialog.h"

namespace varnel {
namespace automation {

namespace {

constexpr Guid kLibraryGuid = ParseGuid("1C61970F-14B4-46F8-B73F-4E98E34C318E");
constexpr Guid kCommPortClass = ParseGuid("22282026-E301-4844-B721-373BE38E492D");
constexpr Guid kNotifyClass = ParseGuid("DD1E9EC3-D171-4B67-82FC-7409FF7F94BA");
constexpr Guid kUnitsClass = ParseGuid("51CBCDBE-41DE-4DCC-A88A-657A3080DBF6");
constexpr Guid kVarnelClass = ParseGuid("7836629A-E99E-44DA-B38E-413BA318ADED");
constexpr Guid kCommPortInterface = ParseGuid("1F1F7D9B-FE71-4C68-9117-9C898B14A689");
constexpr Guid kNotifyInterface = ParseGuid("22F60942-835C-4A5B-AA81-4FAD315A2D6B");
constexpr Guid kUnitsInterface = ParseGuid("1F77CAB2-1768-4588-A880-72CCA55E0C42");
constexpr Guid kVarnelInterface = ParseGuid("0744D239-1CCF-4F2F-9FFC-06D3BC9EB516");
constexpr Guid kVarnelEvents = ParseGuid("A1434E86-1002-40C5-9359-ED3D43BAB9C7");

constexpr std::uint32_t kInterfaceFlags =
    typeflag::kHidden | typeflag::kNonExtensible | typeflag::kOleAutomation;

constexpr const char* kHelpScaleOpen =
    "Used to connect or disconnect the serial communications port from the scale. ";
constexpr const char* kHelpWtNotification = "Determines when the OnChangeEvent will be fired.";
constexpr const char* kHelpNetWtUnits =
    "Determines the units-of-measure in which the Net Weight will be presented.";

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        if (up(a[i]) != up(b[i])) return false;
    }
    return true;
}

[[noreturn]] void ThrowMemberNotFound(std::string detail) {
    throw AutomationError(err::kMemberNotFound, "Member not found: " + detail);
}

}  // namespace

const LibraryInfo kLibrary{
    "Varnel_OCX",
    kLibraryGuid,
    1,
    0,
    0x0409,
    true,
    nullptr,
    "Varnel ActiveX Control: bench scales with the continuous 10-character output",
    "stdole2.tlb",
};

const std::array<TypeInfo, 11> kTypes{{
    {"_CommPort", TypeKind::DualInterface, kInterfaceFlags, kCommPortInterface, nullptr, nullptr,
     "no members"},
    {"CommPort", TypeKind::CoClass, 0, kCommPortClass, "_CommPort", nullptr,
     "the port-number property page"},
    {"_Notify", TypeKind::DualInterface, kInterfaceFlags, kNotifyInterface, nullptr, nullptr,
     "no members"},
    {"Notify", TypeKind::CoClass, 0, kNotifyClass, "_Notify", nullptr,
     "the notification property page"},
    {"_Units", TypeKind::DualInterface, kInterfaceFlags, kUnitsInterface, nullptr, nullptr,
     "no members"},
    {"Units", TypeKind::CoClass, 0, kUnitsClass, "_Units", nullptr, "the units property page"},
    {"_Varnel", TypeKind::DualInterface, kInterfaceFlags, kVarnelInterface, nullptr, nullptr,
     "the control's 18 members"},
    {"Varnel", TypeKind::CoClass, typeflag::kControl, kVarnelClass, "_Varnel", "__Varnel",
     "the control"},
    {"__Varnel", TypeKind::DispInterface, typeflag::kHidden | typeflag::kNonExtensible,
     kVarnelEvents, nullptr, nullptr, "the event OnScaleComm"},
    {"VN_UOM_ENUM", TypeKind::Enum, 0, std::nullopt, nullptr, nullptr, "units of measure"},
    {"VN_NOTIFY_ENUM", TypeKind::Enum, 0, std::nullopt, nullptr, nullptr, "notification policies"},
}};

const std::array<Member, 18> kMembers{{
    {"AboutBox", kDispIdAboutBox, MemberKind::Method, std::nullopt, AutoType::Void, nullptr, 0},
    {"ScaleOpen", kDispIdScaleOpen, MemberKind::Method, Param{"connectassert", AutoType::I2, true},
     AutoType::I2, kHelpScaleOpen, 0},
    {"CommID", kDispIdCommID, MemberKind::PropertyGet, std::nullopt, AutoType::I4, nullptr, 0},
    {"CommID", kDispIdCommID, MemberKind::PropertyPut, Param{"New_CommID", AutoType::I4, false},
     AutoType::Void, nullptr, 0},
    {"CommPort", kDispIdCommPort, MemberKind::PropertyGet, std::nullopt, AutoType::I2, nullptr, 0},
    {"CommPort", kDispIdCommPort, MemberKind::PropertyPut,
     Param{"New_CommPort", AutoType::I2, false}, AutoType::Void, nullptr, 0},
    {"WtNotification", kDispIdWtNotification, MemberKind::PropertyGet, std::nullopt,
     AutoType::NotifyEnum, kHelpWtNotification, 0},
    {"WtNotification", kDispIdWtNotification, MemberKind::PropertyPut,
     Param{"New_WtNotification", AutoType::NotifyEnum, false}, AutoType::Void, kHelpWtNotification,
     0},
    {"NetWtUnits", kDispIdNetWtUnits, MemberKind::PropertyGet, std::nullopt, AutoType::UomEnum,
     kHelpNetWtUnits, 0},
    {"NetWtUnits", kDispIdNetWtUnits, MemberKind::PropertyPut,
     Param{"New_NetWtUnits", AutoType::UomEnum, false}, AutoType::Void, kHelpNetWtUnits, 0},
    {"ScaleCommEvent", kDispIdScaleCommEvent, MemberKind::PropertyGet, std::nullopt, AutoType::I2,
     nullptr, 0},
    {"RawWtUnits", kDispIdRawWtUnits, MemberKind::PropertyGet, std::nullopt, AutoType::I2, nullptr,
     0},
    {"RawWt", kDispIdRawWt, MemberKind::PropertyGet, std::nullopt, AutoType::Bstr, nullptr, 0},
    {"FormattedWt", kDispIdFormattedWt, MemberKind::PropertyGet, std::nullopt, AutoType::Bstr,
     nullptr, 0},
    {"ScaleStatus", kDispIdScaleStatus, MemberKind::PropertyGet, std::nullopt, AutoType::I2,
     nullptr, 0},
    {"NetWt", kDispIdNetWt, MemberKind::PropertyGet, std::nullopt, AutoType::Variant, nullptr,
     funcflag::kNonBrowsable},
    {"ConnectStatus", kDispIdConnectStatus, MemberKind::PropertyGet, std::nullopt, AutoType::I2,
     nullptr, funcflag::kNonBrowsable},
    {"ControlVersion", kDispIdControlVersion, MemberKind::Method, std::nullopt, AutoType::Bstr,
     nullptr, 0},
}};

const std::array<EventInfo, 1> kEvents{{{"OnScaleComm", kDispIdOnScaleComm}}};

const std::array<EnumMember, 6> kEnumMembers{{
    {"VN_UOM_ENUM", "vnPounds", vnPounds, "vnPounds"},
    {"VN_UOM_ENUM", "vnKilograms", vnKilograms, "vnKilograms"},
    {"VN_UOM_ENUM", "vnGrams", vnGrams, "vnGrams"},
    {"VN_UOM_ENUM", "vnOunces", vnOunces, "vnOunces"},
    {"VN_NOTIFY_ENUM", "vnEverytime", vnEverytime, "vnEverytime"},
    {"VN_NOTIFY_ENUM", "vnChanged", vnChanged, "vnChanged"},
}};

const std::array<CategoryEntry, 2> kCategories{{
    {"WtNotification", kCategoryWtMeter},
    {"NetWtUnits", kCategoryWtMeter},
}};

const std::array<PageInfo, 3> kPages{{
    {"CommPort", kCommPortClass},
    {"Notify", kNotifyClass},
    {"Units", kUnitsClass},
}};

const VersionInfo kVersion{
    3,
    0,
    0,
    0,
    "3.00",
    "3.00",
    "Varnel ActiveX Control",
    "Varnel ActiveX Control",
    "Varnel",
    "Varnel.ocx",
    "The Varnel developers",
    "Copyright (C) The Varnel developers",
    "Serial interface to bench weighing scales",
    true,
};

std::string ToString(const Guid& g) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    auto put = [&](std::uint32_t v, int digits) {
        for (int i = digits - 1; i >= 0; --i)
            out += kDigits[(v >> (4 * i)) & 0xF];
    };
    put(g.data1, 8);
    out += '-';
    put(g.data2, 4);
    out += '-';
    put(g.data3, 4);
    out += '-';
    put(g.data4[0], 2);
    put(g.data4[1], 2);
    out += '-';
    for (std::size_t i = 2; i < 8; ++i)
        put(g.data4[i], 2);
    return out;
}

const TypeInfo* FindType(std::string_view name) {
    for (const TypeInfo& t : kTypes) {
        if (name == t.name) return &t;
    }
    return nullptr;
}

const char* IdlName(AutoType t) {
    switch (t) {
        case AutoType::Void:
            return "void";
        case AutoType::I2:
            return "short";
        case AutoType::I4:
            return "long";
        case AutoType::Bstr:
            return "BSTR";
        case AutoType::Variant:
            return "VARIANT";
        case AutoType::UomEnum:
            return "VN_UOM_ENUM";
        case AutoType::NotifyEnum:
            return "VN_NOTIFY_ENUM";
    }
    return "?";
}

const char* CategoryOf(std::string_view property) {
    for (const CategoryEntry& c : kCategories) {
        if (property == c.property) return c.category;
    }
    return nullptr;
}

DispId GetIDOfName(std::string_view name) {
    for (const Member& m : kMembers) {
        if (EqualsNoCase(name, m.name)) return m.dispId;
    }
    throw AutomationError(err::kUnknownName, "Unknown name: " + std::string(name));
}

const Member* FindMember(DispId id, MemberKind kind) {
    for (const Member& m : kMembers) {
        if (m.dispId == id && m.kind == kind) return &m;
    }
    return nullptr;
}

const char* NameOf(DispId id) {
    for (const Member& m : kMembers) {
        if (m.dispId == id) return m.name;
    }
    return nullptr;
}

Variant Invoke(Varnel& control, DispId id, std::uint16_t flags, std::span<Variant> args) {
    const Member* m = nullptr;
    if (flags & invoke::kMethod) m = FindMember(id, MemberKind::Method);
    if (!m && (flags & invoke::kPropertyGet)) m = FindMember(id, MemberKind::PropertyGet);
    if (!m && (flags & invoke::kPropertyPut)) m = FindMember(id, MemberKind::PropertyPut);
    if (!m) {
        const char* name = NameOf(id);
        if (!name) ThrowMemberNotFound("no member with dispatch id " + std::to_string(id));
        if ((flags & (invoke::kPropertyPut | invoke::kPropertyPutRef)) &&
            !FindMember(id, MemberKind::PropertyPut)) {
            ThrowMemberNotFound(std::string(name) + " is read-only");
        }
        ThrowMemberNotFound(std::string(name) + " cannot be called that way");
    }
    if (args.size() != (m->param ? 1u : 0u)) {
        throw AutomationError(err::kBadParamCount,
                              "Invalid number of parameters for " + std::string(m->name));
    }

    if (m->kind == MemberKind::PropertyPut) {
        const Variant& v = args[0];
        switch (id) {
            case kDispIdCommID:
                control.SetCommID(v.ToI4());
                break;
            case kDispIdCommPort:
                control.SetCommPort(v.ToI2());
                break;
            case kDispIdWtNotification:
                control.SetWtNotification(static_cast<VN_NOTIFY_ENUM>(v.ToI4()));
                break;
            case kDispIdNetWtUnits:
                control.SetNetWtUnits(static_cast<VN_UOM_ENUM>(v.ToI4()));
                break;
            default:
                ThrowMemberNotFound(std::string(m->name) + " is read-only");
        }
        return {};
    }

    switch (id) {
        case kDispIdAboutBox:
            control.AboutBox();
            return {};
        case kDispIdScaleOpen: {
            std::int16_t connectassert = args[0].ToI2();
            const std::int16_t result = control.ScaleOpen(connectassert);
            args[0] = Variant(connectassert);
            return Variant(result);
        }
        case kDispIdControlVersion:
            return Variant(control.ControlVersion());
        case kDispIdCommID:
            return Variant(control.CommID());
        case kDispIdCommPort:
            return Variant(control.CommPort());
        case kDispIdWtNotification:
            return Variant(static_cast<std::int32_t>(control.WtNotification()));
        case kDispIdNetWtUnits:
            return Variant(static_cast<std::int32_t>(control.NetWtUnits()));
        case kDispIdScaleCommEvent:
            return Variant(control.ScaleCommEvent());
        case kDispIdRawWtUnits:
            return Variant(control.RawWtUnits());
        case kDispIdRawWt:
            return Variant(control.RawWt());
        case kDispIdFormattedWt:
            return Variant(control.FormattedWt());
        case kDispIdScaleStatus:
            return Variant(control.ScaleStatus());
        case kDispIdNetWt:
            return control.NetWt();
        case kDispIdConnectStatus:
            return Variant(control.ConnectStatus());
        default:
            ThrowMemberNotFound("no member with dispatch id " + std::to_string(id));
    }
}

Variant GetProperty(Varnel& control, std::string_view name) {
    return Invoke(control, GetIDOfName(name), invoke::kPropertyGet);
}

void PutProperty(Varnel& control, std::string_view name, const Variant& value) {
    Variant arg = value;
    Invoke(control, GetIDOfName(name), invoke::kPropertyPut, std::span<Variant>(&arg, 1));
}

Variant CallMethod(Varnel& control, std::string_view name, std::span<Variant> args) {
    return Invoke(control, GetIDOfName(name), invoke::kMethod, args);
}

}  // namespace automation

// --- Members that belong to no other concern ---

std::string Varnel::ControlVersion() {
    return pages::VersionText(container_.Version());
}

void Varnel::AboutBox() {
    // Every call shows a dialog of its own, released when the call returns (also when loading or
    // showing failed): a call made from an event handler while another call's dialog is still up
    // gets a fresh dialog and cannot free the outer one.
    pages::AboutDialog frmAbout(container_);
    frmAbout.Load();
    frmAbout.BeginModal();
    container_.ShowAboutBox(frmAbout);
    frmAbout.Unload();
}

}  // namespace varnel
