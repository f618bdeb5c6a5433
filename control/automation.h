// What a host sees of the component: the type library as data (types, members with dispatch ids,
// the event, the enums, the property category, the page list, the version data), and late binding
// on a control: members looked up by name or dispatch id and invoked with Variant arguments.
//
// The Windows shell builds or checks its .idl and version resource against these tables; nothing
// else describes the interface.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/variant.h"

namespace varnel {

class Varnel;

namespace automation {

using DispId = std::int32_t;

// --- GUIDs ---

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};
    friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

// Reads "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (hex digits, either case). A malformed text in a
// constant expression fails to compile.
consteval Guid ParseGuid(std::string_view text) {
    auto hex = [&](std::size_t pos) -> std::uint32_t {
        const char c = text.at(pos);
        if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
        if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
        if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
        throw "not a hex digit";
    };
    auto field = [&](std::size_t pos, std::size_t digits) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < digits; ++i)
            v = v << 4 | hex(pos + i);
        return v;
    };
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        throw "not a GUID";
    }
    Guid g;
    g.data1 = field(0, 8);
    g.data2 = static_cast<std::uint16_t>(field(9, 4));
    g.data3 = static_cast<std::uint16_t>(field(14, 4));
    g.data4[0] = static_cast<std::uint8_t>(field(19, 2));
    g.data4[1] = static_cast<std::uint8_t>(field(21, 2));
    for (std::size_t i = 0; i < 6; ++i)
        g.data4[2 + i] = static_cast<std::uint8_t>(field(24 + 2 * i, 2));
    return g;
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in capitals.
std::string ToString(const Guid& g);

// --- Type library ---

struct LibraryInfo {
    const char* name;
    Guid guid;
    std::uint16_t majorVersion;
    std::uint16_t minorVersion;
    std::uint32_t lcid;
    bool controlLibrary;
    const char* helpFile;  // nullptr: none
    const char* description;
    const char* importedLibrary;
};

extern const LibraryInfo kLibrary;

enum class TypeKind : std::uint8_t {
    DualInterface,  // dual, derived from IDispatch
    DispInterface,  // dispatch only
    CoClass,
    Enum,
};

// Type attributes, with the values of the platform's TYPEFLAGS.
namespace typeflag {
inline constexpr std::uint32_t kControl = 0x20;
inline constexpr std::uint32_t kHidden = 0x10;
inline constexpr std::uint32_t kNonExtensible = 0x80;
inline constexpr std::uint32_t kOleAutomation = 0x100;
}  // namespace typeflag

struct TypeInfo {
    const char* name;
    TypeKind kind;
    std::uint32_t flags;
    std::optional<Guid> guid;      // none for the enums
    const char* defaultInterface;  // classes: the default interface
    const char* defaultSource;     // classes: the default source interface, or nullptr
    const char* content;           // what the type stands for
};

// The eleven types, in library order.
extern const std::array<TypeInfo, 11> kTypes;
const TypeInfo* FindType(std::string_view name);

// --- Members of _Varnel ---

// Automation types of parameters and results.
enum class AutoType : std::uint8_t { Void, I2, I4, Bstr, Variant, UomEnum, NotifyEnum };
// The .idl spelling: "void", "short", "long", "BSTR", "VARIANT", "VN_UOM_ENUM", "VN_NOTIFY_ENUM".
const char* IdlName(AutoType t);

enum class MemberKind : std::uint8_t { Method, PropertyGet, PropertyPut };

// Member flags, with the values of the platform's FUNCFLAGS.
namespace funcflag {
inline constexpr std::uint32_t kNonBrowsable = 0x400;
}  // namespace funcflag

struct Param {
    const char* name;
    AutoType type;
    bool byRef;  // in and out
};

struct Member {
    const char* name;
    DispId dispId;
    MemberKind kind;
    std::optional<Param> param;  // every member has at most one
    AutoType result;             // handed back as the last, out-and-return parameter
    const char* helpString;      // nullptr: none
    std::uint32_t flags;
};

inline constexpr DispId kDispIdAboutBox = -552;
inline constexpr DispId kDispIdScaleOpen = 0x6003001C;
inline constexpr DispId kDispIdControlVersion = 0x6003001D;
inline constexpr DispId kDispIdCommID = 0x6803000A;
inline constexpr DispId kDispIdCommPort = 0x68030009;
inline constexpr DispId kDispIdWtNotification = 0x68030008;
inline constexpr DispId kDispIdNetWtUnits = 0x68030007;
inline constexpr DispId kDispIdScaleCommEvent = 0x68030006;
inline constexpr DispId kDispIdRawWtUnits = 0x68030005;
inline constexpr DispId kDispIdRawWt = 0x68030004;
inline constexpr DispId kDispIdFormattedWt = 0x68030003;
inline constexpr DispId kDispIdScaleStatus = 0x68030002;
inline constexpr DispId kDispIdNetWt = 0x68030001;
inline constexpr DispId kDispIdConnectStatus = 0x68030000;

// The 18 members of _Varnel, in interface order; a property's get and put share a dispatch id.
extern const std::array<Member, 18> kMembers;

// --- Event interface __Varnel ---

struct EventInfo {
    const char* name;
    DispId dispId;
};
inline constexpr DispId kDispIdOnScaleComm = 1;
extern const std::array<EventInfo, 1> kEvents;

// --- Enums ---

struct EnumMember {
    const char* enumName;
    const char* name;
    std::int32_t value;
    const char* helpString;
};
extern const std::array<EnumMember, 6> kEnumMembers;

// --- Property browser ---

inline constexpr const char* kCategoryWtMeter = "WtMeter";
struct CategoryEntry {
    const char* property;
    const char* category;
};
// Properties listed under a category of the control's own; all others have none.
extern const std::array<CategoryEntry, 2> kCategories;
// The category of a property, or nullptr.
const char* CategoryOf(std::string_view property);

struct PageInfo {
    const char* name;
    Guid clsid;
};
// The property pages, in the order the control names them.
extern const std::array<PageInfo, 3> kPages;

// --- Version data of the component file ---

struct VersionInfo {
    std::uint16_t major, minor, build, revision;
    const char* fileVersionText;
    const char* productVersionText;
    const char* fileDescription;
    const char* productName;
    const char* internalName;
    const char* originalFilename;
    const char* companyName;
    const char* legalCopyright;
    const char* comments;
    bool selfRegister;
};
extern const VersionInfo kVersion;

// --- Late binding ---

// Invocation flags, with the values of the platform's DISPATCH_ flags.
namespace invoke {
inline constexpr std::uint16_t kMethod = 1;
inline constexpr std::uint16_t kPropertyGet = 2;
inline constexpr std::uint16_t kPropertyPut = 4;
inline constexpr std::uint16_t kPropertyPutRef = 8;
}  // namespace invoke

// The dispatch id of a member, its name compared without regard to case; raises kUnknownName.
DispId GetIDOfName(std::string_view name);
// The member with this dispatch id and kind, or nullptr.
const Member* FindMember(DispId id, MemberKind kind);
// The member's name as the interface spells it, or nullptr for an unknown id.
const char* NameOf(DispId id);

// Invokes the member `id` on the control. args are in the member's parameter order (not the
// reversed order of the platform's DISPPARAMS), converted to the parameter type by the standard
// conversions; a by-reference argument is written back. Returns the result (Empty for none).
// A property put on a member without a setter raises kMemberNotFound before anything is
// converted or called.
Variant Invoke(Varnel& control, DispId id, std::uint16_t flags, std::span<Variant> args = {});

Variant GetProperty(Varnel& control, std::string_view name);
void PutProperty(Varnel& control, std::string_view name, const Variant& value);
Variant CallMethod(Varnel& control, std::string_view name, std::span<Variant> args = {});

}  // namespace automation
}  // namespace varnel
