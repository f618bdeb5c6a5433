#include "ocx/typelib_writer.h"

#include <oleauto.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "control/automation.h"
#include "ocx/com_ptr.h"
#include "ocx/guids.h"
#include "ocx/text.h"

namespace varnel::ocx {

namespace {

using namespace automation;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) {
        char code[16];
        wsprintfA(code, "0x%08lX", static_cast<unsigned long>(hr));
        throw Failure(what + " failed: " + code);
    }
}

// LPOLESTR parameters of the creation interfaces are not const.
struct OleText {
    explicit OleText(const char* text) : w(WideOfAnsi(text)) {}
    LPOLESTR get() { return w.data(); }
    std::wstring w;
};

// Type descriptions live as long as the writer: ICreateTypeInfo copies them, but only when the
// function is added.
class TypeDescs {
  public:
    TYPEDESC Plain(VARTYPE vt) {
        TYPEDESC d{};
        d.vt = vt;
        return d;
    }
    TYPEDESC PointerTo(const TYPEDESC& target) {
        pointees_.push_back(std::make_unique<TYPEDESC>(target));
        TYPEDESC d{};
        d.vt = VT_PTR;
        d.lptdesc = pointees_.back().get();
        return d;
    }

  private:
    std::vector<std::unique_ptr<TYPEDESC>> pointees_;
};

// Little-endian fields of a library file in the MSFT format, bounds-checked.
class MsftFile {
  public:
    explicit MsftFile(std::vector<unsigned char>& bytes) : b_(bytes) {}
    std::int32_t I32(std::size_t at) const { return static_cast<std::int32_t>(U(at, 4)); }
    std::uint16_t U16(std::size_t at) const { return static_cast<std::uint16_t>(U(at, 2)); }
    void SetU16(std::size_t at, std::uint32_t v) {
        Need(at, 2);
        b_[at] = static_cast<unsigned char>(v & 0xFF);
        b_[at + 1] = static_cast<unsigned char>(v >> 8 & 0xFF);
    }

  private:
    void Need(std::size_t at, std::size_t n) const {
        if (at > b_.size() || n > b_.size() - at) throw Failure("type library file too short");
    }
    std::uint32_t U(std::size_t at, std::size_t n) const {
        Need(at, n);
        std::uint32_t v = 0;
        for (std::size_t i = n; i-- > 0;)
            v = v << 8 | b_[at + i];
        return v;
    }
    std::vector<unsigned char>& b_;
};

// Wine's writer starts the members of a dual interface after an IDispatch of the pointer size of
// the process that writes the library, not of the library's platform: a 32-bit library written
// by a 64-bit process would have its function-table offsets 28 bytes too far. Each dual
// interface's offsets are set here from the platform's pointer size: IDispatch's seven entries,
// then one entry per member in order.
void LayOutDualInterfaces(const std::wstring& path, std::uint32_t pointerSize) {
    std::vector<unsigned char> bytes;
    {
        std::ifstream in(path.c_str(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) throw Failure("cannot read the library back");
    }
    MsftFile f(bytes);
    if (f.I32(0) != 0x5446534D) throw Failure("not an MSFT type library");
    const std::int32_t varflags = f.I32(0x14);
    const std::int32_t count = f.I32(0x20);
    if (count < 0 || count > 1000) throw Failure("implausible type count");
    const std::size_t segments =
        0x54 + ((varflags & 0x100) ? 4 : 0) + 4 * static_cast<std::size_t>(count);
    const auto typeInfos = static_cast<std::size_t>(f.I32(segments));  // segment 0
    constexpr std::uint32_t kDispatchEntries = 7;
    for (std::size_t t = 0; t < static_cast<std::size_t>(count); ++t) {
        const std::size_t base = typeInfos + 0x64 * t;
        const std::int32_t kind = f.I32(base) & 0xF;
        const std::int32_t flags = f.I32(base + 0x30);
        if ((kind != TKIND_INTERFACE && kind != TKIND_DISPATCH) || !(flags & TYPEFLAG_FDUAL))
            continue;
        const std::uint32_t functions = f.U16(base + 0x18);
        f.SetU16(base + 0x4E, (kDispatchEntries + functions) * pointerSize);  // cbSizeVft
        std::size_t record = static_cast<std::size_t>(f.I32(base + 4)) + 4;
        for (std::uint32_t i = 0; i < functions; ++i) {
            f.SetU16(record + 12, (kDispatchEntries + i) * pointerSize);  // VtableOffset
            const std::size_t size = f.U16(record);
            if (size < 16) throw Failure("malformed function record");
            record += size;
        }
    }
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw Failure("cannot write the library back");
}

class Writer {
  public:
    Writer(const std::wstring& path, SYSKIND syskind) : path_(path), syskind_(syskind) {}

    void Run() {
        Check(CreateTypeLib2(syskind_, path_.c_str(), lib_.Put()), "CreateTypeLib2");
        OleText name(kLibrary.name), doc(kLibrary.description);
        Check(lib_->SetName(name.get()), "SetName");
        Check(lib_->SetGuid(LibId()), "SetGuid");
        Check(lib_->SetVersion(kLibrary.majorVersion, kLibrary.minorVersion), "SetVersion");
        Check(lib_->SetLcid(kLibrary.lcid), "SetLcid");
        Check(lib_->SetDocString(doc.get()), "SetDocString");
        if (kLibrary.controlLibrary) Check(lib_->SetLibFlags(LIBFLAG_FCONTROL), "SetLibFlags");

        ComPtr<ITypeLib> stdole;
        Check(LoadTypeLib(WideOfAnsi(kLibrary.importedLibrary).c_str(), stdole.Put()),
              "LoadTypeLib");
        Check(stdole->GetTypeInfoOfGuid(IID_IDispatch, dispatch_.Put()), "IDispatch type");

        // Every type is created first, in library order, so that any of them can refer to any
        // other, then filled.
        for (std::size_t i = 0; i < kTypes.size(); ++i) {
            OleText typeName(kTypes[i].name);
            Check(lib_->CreateTypeInfo(typeName.get(), KindOf(kTypes[i].kind), infos_[i].Put()),
                  std::string("CreateTypeInfo ") + kTypes[i].name);
        }
        for (std::size_t i = 0; i < kTypes.size(); ++i)
            Fill(kTypes[i], infos_[i]);
        for (std::size_t i = 0; i < kTypes.size(); ++i)
            Check(infos_[i]->LayOut(), std::string("LayOut ") + kTypes[i].name);
        Check(lib_->SaveAllChanges(), "SaveAllChanges");
    }

  private:
    static TYPEKIND KindOf(TypeKind kind) {
        switch (kind) {
            case TypeKind::DualInterface:
                return TKIND_INTERFACE;
            case TypeKind::DispInterface:
                return TKIND_DISPATCH;
            case TypeKind::CoClass:
                return TKIND_COCLASS;
            case TypeKind::Enum:
                return TKIND_ENUM;
        }
        return TKIND_MAX;
    }

    ComPtr<ICreateTypeInfo>& InfoOf(const char* typeName) {
        for (std::size_t i = 0; i < kTypes.size(); ++i) {
            if (std::string_view(kTypes[i].name) == typeName) return infos_[i];
        }
        throw Failure(std::string("no type ") + typeName);
    }

    HREFTYPE RefTo(ComPtr<ICreateTypeInfo>& from, ITypeInfo* target) {
        HREFTYPE ref = 0;
        Check(from->AddRefTypeInfo(target, &ref), "AddRefTypeInfo");
        return ref;
    }

    HREFTYPE RefTo(ComPtr<ICreateTypeInfo>& from, const char* typeName) {
        ComPtr<ITypeInfo> target;
        Check(InfoOf(typeName).As(IID_ITypeInfo, target), std::string("ITypeInfo of ") + typeName);
        return RefTo(from, target.Get());
    }

    TYPEDESC TypeOf(ComPtr<ICreateTypeInfo>& info, AutoType t) {
        switch (t) {
            case AutoType::Void:
                return descs_.Plain(VT_VOID);
            case AutoType::I2:
                return descs_.Plain(VT_I2);
            case AutoType::I4:
                return descs_.Plain(VT_I4);
            case AutoType::Bstr:
                return descs_.Plain(VT_BSTR);
            case AutoType::Variant:
                return descs_.Plain(VT_VARIANT);
            case AutoType::UomEnum:
            case AutoType::NotifyEnum: {
                TYPEDESC d{};
                d.vt = VT_USERDEFINED;
                d.hreftype = RefTo(info, IdlName(t));
                return d;
            }
        }
        throw Failure("unknown automation type");
    }

    void Fill(const TypeInfo& t, ComPtr<ICreateTypeInfo>& info) {
        const std::string what = t.name;
        if (t.guid) Check(info->SetGuid(ToGuid(*t.guid)), "SetGuid " + what);
        WORD flags = static_cast<WORD>(t.flags);
        if (t.kind == TypeKind::DualInterface) flags |= TYPEFLAG_FDUAL;
        // A class without `noncreatable` can be created.
        if (t.kind == TypeKind::CoClass) flags |= TYPEFLAG_FCANCREATE;
        Check(info->SetTypeFlags(flags), "SetTypeFlags " + what);

        switch (t.kind) {
            case TypeKind::DualInterface:
                Check(info->AddImplType(0, RefTo(info, dispatch_.Get())), "AddImplType " + what);
                if (what == "_Varnel") AddMembers(info);
                break;
            case TypeKind::DispInterface:
                Check(info->AddImplType(0, RefTo(info, dispatch_.Get())), "AddImplType " + what);
                AddEvents(info);
                break;
            case TypeKind::CoClass:
                Check(info->AddImplType(0, RefTo(info, t.defaultInterface)), "AddImplType " + what);
                Check(info->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT), "SetImplTypeFlags " + what);
                if (t.defaultSource) {
                    Check(info->AddImplType(1, RefTo(info, t.defaultSource)),
                          "AddImplType " + what);
                    Check(info->SetImplTypeFlags(1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE),
                          "SetImplTypeFlags " + what);
                }
                // Wine marks a class dispatchable when the interface it names is the library's
                // first type; a class is never dispatchable, so its flags are set again.
                Check(info->SetTypeFlags(flags), "SetTypeFlags " + what);
                break;
            case TypeKind::Enum:
                AddEnumMembers(t, info);
                break;
        }
    }

    void AddMembers(ComPtr<ICreateTypeInfo>& info) {
        for (UINT index = 0; index < kMembers.size(); ++index) {
            const Member& m = kMembers[index];
            std::vector<ELEMDESC> params;
            std::vector<OleText> names{OleText(m.name)};
            if (m.param) {
                ELEMDESC e{};
                const TYPEDESC type = TypeOf(info, m.param->type);
                e.tdesc = m.param->byRef ? descs_.PointerTo(type) : type;
                e.paramdesc.wParamFlags = static_cast<USHORT>(
                    m.param->byRef ? PARAMFLAG_FIN | PARAMFLAG_FOUT : PARAMFLAG_FIN);
                params.push_back(e);
                // The value of a property put is unnamed in a type library.
                if (m.kind != MemberKind::PropertyPut) names.emplace_back(m.param->name);
            }
            if (m.result != AutoType::Void) {
                ELEMDESC e{};
                e.tdesc = descs_.PointerTo(TypeOf(info, m.result));
                e.paramdesc.wParamFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
                params.push_back(e);
                names.emplace_back("result");
            }
            FUNCDESC f{};
            f.memid = m.dispId;
            f.funckind = FUNC_PUREVIRTUAL;
            f.invkind = m.kind == MemberKind::PropertyGet   ? INVOKE_PROPERTYGET
                        : m.kind == MemberKind::PropertyPut ? INVOKE_PROPERTYPUT
                                                            : INVOKE_FUNC;
            f.callconv = CC_STDCALL;
            f.cParams = static_cast<SHORT>(params.size());
            f.lprgelemdescParam = params.empty() ? nullptr : params.data();
            f.elemdescFunc.tdesc = descs_.Plain(VT_HRESULT);
            f.wFuncFlags = static_cast<WORD>(m.flags);
            const std::string what = std::string("member ") + m.name;
            Check(info->AddFuncDesc(index, &f), "AddFuncDesc " + what);
            std::vector<LPOLESTR> raw;
            for (OleText& n : names)
                raw.push_back(n.get());
            Check(info->SetFuncAndParamNames(index, raw.data(), static_cast<UINT>(raw.size())),
                  "SetFuncAndParamNames " + what);
            if (m.helpString) {
                OleText help(m.helpString);
                Check(info->SetFuncDocString(index, help.get()), "SetFuncDocString " + what);
            }
        }
    }

    void AddEvents(ComPtr<ICreateTypeInfo>& info) {
        for (UINT index = 0; index < kEvents.size(); ++index) {
            FUNCDESC f{};
            f.memid = kEvents[index].dispId;
            f.funckind = FUNC_DISPATCH;
            f.invkind = INVOKE_FUNC;
            f.callconv = CC_STDCALL;
            f.elemdescFunc.tdesc = descs_.Plain(VT_VOID);
            Check(info->AddFuncDesc(index, &f), std::string("AddFuncDesc ") + kEvents[index].name);
            OleText name(kEvents[index].name);
            LPOLESTR raw = name.get();
            Check(info->SetFuncAndParamNames(index, &raw, 1), "SetFuncAndParamNames event");
        }
    }

    void AddEnumMembers(const TypeInfo& t, ComPtr<ICreateTypeInfo>& info) {
        UINT index = 0;
        for (const EnumMember& m : kEnumMembers) {
            if (std::string_view(m.enumName) != t.name) continue;
            VARIANT value;
            VariantInit(&value);
            V_VT(&value) = VT_I4;
            V_I4(&value) = m.value;
            VARDESC v{};
            v.memid = static_cast<MEMBERID>(0x40000000 + index);
            v.lpvarValue = &value;
            v.elemdescVar.tdesc = descs_.Plain(VT_I4);
            v.varkind = VAR_CONST;
            const std::string what = std::string("enum member ") + m.name;
            Check(info->AddVarDesc(index, &v), "AddVarDesc " + what);
            OleText name(m.name), help(m.helpString);
            Check(info->SetVarName(index, name.get()), "SetVarName " + what);
            Check(info->SetVarDocString(index, help.get()), "SetVarDocString " + what);
            ++index;
        }
    }

    std::wstring path_;
    SYSKIND syskind_;
    ComPtr<ICreateTypeLib2> lib_;
    ComPtr<ITypeInfo> dispatch_;
    std::array<ComPtr<ICreateTypeInfo>, kTypes.size()> infos_;
    TypeDescs descs_;
};

}  // namespace

bool WriteTypeLibrary(const std::wstring& path, SYSKIND syskind, std::string& error) {
    try {
        Writer(path, syskind).Run();
        LayOutDualInterfaces(path, syskind == SYS_WIN32 ? 4 : 8);
        return true;
    } catch (const Failure& e) {
        error = e.what();
        return false;
    }
}

}  // namespace varnel::ocx
