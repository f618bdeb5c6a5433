// Varnel.ocx in a container of our own, through COM as a host uses it: the registered type
// library against the automation table, every member by name, by dispatch id and through the
// function table, events and property changes through connection points, the ambient UserMode,
// the size rule, saving and loading through a property bag and a stream, errors, lifetime.
// Needs the control registered (regsvr32).
#include <gtest/gtest.h>

#include <mshtmdid.h>
#include <mshtml.h>
#include <objbase.h>
#include <objsafe.h>
#include <oleauto.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "control/automation.h"
#include "control/persistence.h"
#include "control/surface.h"
#include "ocx/com_ptr.h"
#include "ocx/guids.h"
#include "ocx/stream_format.h"
#include "ocx/text.h"
#include "ocx/varnel_com.h"
#include "tests/ocx/com_helpers.h"

namespace varnel::testing {
namespace {

using namespace automation;

const HRESULT kInvalidPortNumber = MAKE_HRESULT(1, FACILITY_CONTROL, 8002);
const HRESULT kTypeMismatch = MAKE_HRESULT(1, FACILITY_CONTROL, 13);
const HRESULT kOverflow = MAKE_HRESULT(1, FACILITY_CONTROL, 6);
const HRESULT kInvalidFormat = MAKE_HRESULT(1, FACILITY_CONTROL, 321);

class ContainerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(NewControl()) << "Varnel_OCX.Varnel is not registered"; }
};

// --- The registered type library against the automation table ---

AutoType AutoTypeOf(ITypeInfo* info, const TYPEDESC& t) {
    switch (t.vt) {
        case VT_I2:
            return AutoType::I2;
        case VT_I4:
            return AutoType::I4;
        case VT_BSTR:
            return AutoType::Bstr;
        case VT_VARIANT:
            return AutoType::Variant;
        case VT_USERDEFINED: {
            ComPtr<ITypeInfo> ref;
            Bstr name;
            if (FAILED(info->GetRefTypeInfo(t.hreftype, ref.Put()))) break;
            ref->GetDocumentation(MEMBERID_NIL, &name.b, nullptr, nullptr, nullptr);
            if (name.Text() == "VN_UOM_ENUM") return AutoType::UomEnum;
            if (name.Text() == "VN_NOTIFY_ENUM") return AutoType::NotifyEnum;
            break;
        }
        default:
            break;
    }
    return AutoType::Void;
}

// Flags the platform adds to those the table names: a dual interface is dual and dispatchable,
// a dispatch interface dispatchable, a class without `noncreatable` creatable.
WORD ExpectedFlags(const automation::TypeInfo& t) {
    WORD flags = static_cast<WORD>(t.flags);
    if (t.kind == TypeKind::DualInterface) flags |= TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE;
    if (t.kind == TypeKind::DispInterface) flags |= TYPEFLAG_FDISPATCHABLE;
    if (t.kind == TypeKind::CoClass) flags |= TYPEFLAG_FCANCREATE;
    return flags;
}

TYPEKIND ExpectedKind(TypeKind kind) {
    switch (kind) {
        case TypeKind::DualInterface:  // the dispatch view comes first; the table view behind it
        case TypeKind::DispInterface:
            return TKIND_DISPATCH;
        case TypeKind::CoClass:
            return TKIND_COCLASS;
        case TypeKind::Enum:
            return TKIND_ENUM;
    }
    return TKIND_MAX;
}

void CheckMembers(ITypeInfo* dual) {
    HREFTYPE ref = 0;
    ASSERT_EQ(dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    ComPtr<ITypeInfo> table;
    ASSERT_EQ(dual->GetRefTypeInfo(ref, table.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    table->GetTypeAttr(&attr);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->wTypeFlags, ExpectedFlags(*FindType("_Varnel")));
    ASSERT_EQ(attr->cFuncs, kMembers.size());
    table->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < kMembers.size(); ++i) {
        const Member& m = kMembers[i];
        SCOPED_TRACE(m.name);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(table->GetFuncDesc(i, &f), S_OK);
        EXPECT_EQ(f->memid, m.dispId);
        EXPECT_EQ(f->invkind, m.kind == MemberKind::Method        ? INVOKE_FUNC
                              : m.kind == MemberKind::PropertyGet ? INVOKE_PROPERTYGET
                                                                  : INVOKE_PROPERTYPUT);
        EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
        EXPECT_EQ(f->wFuncFlags, m.flags);
        EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
        // The parameter, then the result as the out-and-return parameter.
        const int params = (m.param ? 1 : 0) + (m.result != AutoType::Void ? 1 : 0);
        ASSERT_EQ(f->cParams, params);
        if (m.param) {
            const ELEMDESC& p = f->lprgelemdescParam[0];
            const TYPEDESC& t = m.param->byRef ? *p.tdesc.lptdesc : p.tdesc;
            EXPECT_EQ(p.tdesc.vt == VT_PTR, m.param->byRef);
            EXPECT_EQ(AutoTypeOf(table.Get(), t), m.param->type);
            EXPECT_EQ(p.paramdesc.wParamFlags,
                      m.param->byRef ? PARAMFLAG_FIN | PARAMFLAG_FOUT : PARAMFLAG_FIN);
        }
        if (m.result != AutoType::Void) {
            const ELEMDESC& r = f->lprgelemdescParam[params - 1];
            ASSERT_EQ(r.tdesc.vt, VT_PTR);
            EXPECT_EQ(AutoTypeOf(table.Get(), *r.tdesc.lptdesc), m.result);
            EXPECT_EQ(r.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        }
        // Names: the member and its parameter; the value of a put is unnamed in a type library.
        BSTR names[3] = {};
        UINT count = 0;
        table->GetNames(m.dispId, names, 3, &count);  // the first member with the id: the get
        std::vector<std::string> got;
        for (UINT n = 0; n < count; ++n) {
            got.push_back(Narrow(names[n]));
            SysFreeString(names[n]);
        }
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0], m.name);
        if (m.param && m.kind == MemberKind::Method) {
            ASSERT_GE(got.size(), 2u);
            EXPECT_EQ(got[1], m.param->name);
        }
        Bstr help;
        table->GetDocumentation(m.dispId, nullptr, &help.b, nullptr, nullptr);
        EXPECT_EQ(help.Text(), m.helpString ? m.helpString : "");
        table->ReleaseFuncDesc(f);
    }
}

void CheckEvents(ITypeInfo* events) {
    // The dispatch interface's own members; IDispatch's come restricted.
    TYPEATTR* attr = nullptr;
    events->GetTypeAttr(&attr);
    std::vector<std::pair<std::string, DispId>> own;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        events->GetFuncDesc(i, &f);
        if (!(f->wFuncFlags & FUNCFLAG_FRESTRICTED)) {
            Bstr name;
            events->GetDocumentation(f->memid, &name.b, nullptr, nullptr, nullptr);
            own.emplace_back(name.Text(), static_cast<DispId>(f->memid));
            EXPECT_EQ(f->cParams, 0);
            EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_VOID);
        }
        events->ReleaseFuncDesc(f);
    }
    events->ReleaseTypeAttr(attr);
    ASSERT_EQ(own.size(), kEvents.size());
    for (std::size_t i = 0; i < kEvents.size(); ++i)
        EXPECT_EQ(own[i], std::make_pair(std::string(kEvents[i].name), kEvents[i].dispId));
}

void CheckEnum(ITypeInfo* info, const char* enumName) {
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    std::vector<const EnumMember*> want;
    for (const EnumMember& m : kEnumMembers) {
        if (std::string(m.enumName) == enumName) want.push_back(&m);
    }
    ASSERT_EQ(attr->cVars, want.size());
    for (UINT i = 0; i < attr->cVars; ++i) {
        VARDESC* v = nullptr;
        info->GetVarDesc(i, &v);
        Bstr name, help;
        info->GetDocumentation(v->memid, &name.b, &help.b, nullptr, nullptr);
        EXPECT_EQ(name.Text(), want[i]->name);
        EXPECT_EQ(help.Text(), want[i]->helpString);
        EXPECT_EQ(V_I4(v->lpvarValue), want[i]->value);
        info->ReleaseVarDesc(v);
    }
    info->ReleaseTypeAttr(attr);
}

TEST_F(ContainerTest, RegisteredTypeLibraryIsTheAutomationTable) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadRegTypeLib(ocx::LibId(), kLibrary.majorVersion, kLibrary.minorVersion,
                             kLibrary.lcid, lib.Put()),
              S_OK);
    TLIBATTR* la = nullptr;
    lib->GetLibAttr(&la);
    EXPECT_EQ(la->lcid, kLibrary.lcid);
    EXPECT_EQ(la->wLibFlags & LIBFLAG_FCONTROL, LIBFLAG_FCONTROL);
    EXPECT_EQ(la->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    lib->ReleaseTLibAttr(la);
    Bstr name, doc, helpFile;
    lib->GetDocumentation(-1, &name.b, &doc.b, nullptr, &helpFile.b);
    EXPECT_EQ(name.Text(), kLibrary.name);
    EXPECT_EQ(doc.Text(), kLibrary.description);
    EXPECT_EQ(helpFile.Text(), "");

    ASSERT_EQ(lib->GetTypeInfoCount(), kTypes.size());
    for (UINT i = 0; i < kTypes.size(); ++i) {
        const automation::TypeInfo& t = kTypes[i];
        SCOPED_TRACE(t.name);
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(lib->GetTypeInfo(i, info.Put()), S_OK);
        Bstr typeName;
        info->GetDocumentation(MEMBERID_NIL, &typeName.b, nullptr, nullptr, nullptr);
        EXPECT_EQ(typeName.Text(), t.name);
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        EXPECT_EQ(attr->typekind, ExpectedKind(t.kind));
        if (t.kind == TypeKind::DualInterface) {
            // Wine reports oleautomation on the function-table view only (checked there).
            EXPECT_EQ(attr->wTypeFlags | TYPEFLAG_FOLEAUTOMATION, ExpectedFlags(t));
        } else {
            EXPECT_EQ(attr->wTypeFlags, ExpectedFlags(t));
        }
        if (t.guid) {
            EXPECT_TRUE(IsEqualGUID(attr->guid, ocx::ToGuid(*t.guid)));
        }
        const WORD impls = attr->cImplTypes;
        info->ReleaseTypeAttr(attr);
        if (t.kind == TypeKind::CoClass) {
            // The default interface, then the default source.
            ASSERT_EQ(impls, t.defaultSource ? 2 : 1);
            for (UINT k = 0; k < impls; ++k) {
                HREFTYPE ref = 0;
                ComPtr<ITypeInfo> impl;
                Bstr implName;
                INT flags = 0;
                info->GetRefTypeOfImplType(k, &ref);
                info->GetRefTypeInfo(ref, impl.Put());
                impl->GetDocumentation(MEMBERID_NIL, &implName.b, nullptr, nullptr, nullptr);
                info->GetImplTypeFlags(k, &flags);
                EXPECT_EQ(implName.Text(), k == 0 ? t.defaultInterface : t.defaultSource);
                EXPECT_EQ(flags, k == 0 ? IMPLTYPEFLAG_FDEFAULT
                                        : IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
            }
        }
        if (std::string(t.name) == "_Varnel") CheckMembers(info.Get());
        if (t.kind == TypeKind::DispInterface) CheckEvents(info.Get());
        if (t.kind == TypeKind::Enum) CheckEnum(info.Get(), t.name);
    }
}

// The 32-bit library, written by the same tool, lays the function table out for 4-byte
// pointers; Wine's 64-bit reader scales it to the offsets of the 64-bit library.
TEST_F(ContainerTest, ThirtyTwoBitLibraryHasTheSameFunctionTable) {
    const char* path = std::getenv("VARNEL_TLB32");
    if (!path) GTEST_SKIP() << "VARNEL_TLB32 names no 32-bit library";
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLibEx(Wide(path).c_str(), REGKIND_NONE, lib.Put()), S_OK);
    TLIBATTR* la = nullptr;
    lib->GetLibAttr(&la);
    EXPECT_EQ(la->syskind, SYS_WIN32);
    lib->ReleaseTLibAttr(la);
    ComPtr<ITypeInfo> dual;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(ocx::IidVarnel(), dual.Put()), S_OK);
    CheckMembers(dual.Get());
}

// --- Members by name, by dispatch id and through the function table ---

// Calls a member through late binding (by dispatch id) or through the function table and gives
// back its result: puts store these values, ScaleOpen gets 0.
const std::map<DispId, long> kPutValues = {
    {kDispIdCommID, 7}, {kDispIdCommPort, 3}, {kDispIdWtNotification, 1}, {kDispIdNetWtUnits, 2}};

HRESULT LateBound(IVarnel* control, const Member& m, VARIANT* out) {
    if (m.kind == MemberKind::PropertyPut) {
        Var v(kPutValues.at(m.dispId));
        return Invoke(control, m.dispId, DISPATCH_PROPERTYPUT, {v.v});
    }
    if (m.dispId == kDispIdScaleOpen) {
        short connectassert = 0;
        VARIANT ref;
        V_VT(&ref) = VT_I2 | VT_BYREF;
        V_I2REF(&ref) = &connectassert;
        return Invoke(control, m.dispId, DISPATCH_METHOD, {ref}, out);
    }
    const WORD flags = m.kind == MemberKind::Method ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
    return Invoke(control, m.dispId, flags, {}, out);
}

HRESULT EarlyBound(IVarnel* control, const Member& m, VARIANT* out) {
    const bool put = m.kind == MemberKind::PropertyPut;
    const long value = put ? kPutValues.at(m.dispId) : 0;
    short i2 = 0;
    long i4 = 0;
    BSTR text = nullptr;
    HRESULT hr = E_FAIL;
    switch (m.dispId) {
        case kDispIdAboutBox:
            return control->AboutBox();
        case kDispIdNetWt:
            return control->get_NetWt(out);
        case kDispIdScaleOpen:
            hr = control->ScaleOpen(&i2, &i2);
            break;
        case kDispIdControlVersion:
            hr = control->ControlVersion(&text);
            break;
        case kDispIdCommID:
            hr = put ? control->put_CommID(value) : control->get_CommID(&i4);
            break;
        case kDispIdCommPort:
            hr =
                put ? control->put_CommPort(static_cast<short>(value)) : control->get_CommPort(&i2);
            break;
        case kDispIdWtNotification: {
            VN_NOTIFY_ENUM e{};
            hr = put ? control->put_WtNotification(static_cast<VN_NOTIFY_ENUM>(value))
                     : control->get_WtNotification(&e);
            i4 = e;
            break;
        }
        case kDispIdNetWtUnits: {
            VN_UOM_ENUM e{};
            hr = put ? control->put_NetWtUnits(static_cast<VN_UOM_ENUM>(value))
                     : control->get_NetWtUnits(&e);
            i4 = e;
            break;
        }
        case kDispIdScaleCommEvent:
            hr = control->get_ScaleCommEvent(&i2);
            break;
        case kDispIdRawWtUnits:
            hr = control->get_RawWtUnits(&i2);
            break;
        case kDispIdRawWt:
            hr = control->get_RawWt(&text);
            break;
        case kDispIdFormattedWt:
            hr = control->get_FormattedWt(&text);
            break;
        case kDispIdScaleStatus:
            hr = control->get_ScaleStatus(&i2);
            break;
        case kDispIdConnectStatus:
            hr = control->get_ConnectStatus(&i2);
            break;
    }
    if (put) return hr;
    if (m.result == AutoType::Bstr) {
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = text;
    } else if (m.result == AutoType::I2) {
        V_VT(out) = VT_I2;
        V_I2(out) = i2;
    } else {
        V_VT(out) = VT_I4;
        V_I4(out) = i4;
    }
    return hr;
}

TEST_F(ContainerTest, EveryMemberByNameByDispatchIdAndThroughTheFunctionTable) {
    ComPtr<IVarnel> late = NewControl(), early = NewControl();
    for (const Member& m : kMembers) {
        SCOPED_TRACE(std::string(m.name) + (m.kind == MemberKind::PropertyPut ? " put" : ""));
        for (const std::string& spelling :
             {std::string(m.name), [&] {
                  std::string lower = m.name;
                  for (char& c : lower)
                      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                  return lower;
              }()}) {
            std::wstring wide = Wide(spelling.c_str());
            LPOLESTR names[] = {wide.data()};
            DISPID id = 0;
            EXPECT_EQ(late->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
            EXPECT_EQ(id, m.dispId);
        }
        if (m.dispId == kDispIdAboutBox) continue;  // a modal window: ocx_design drives it
        Var lateResult, earlyResult;
        EXPECT_EQ(LateBound(late.Get(), m, &lateResult.v), S_OK);
        EXPECT_EQ(EarlyBound(early.Get(), m, &earlyResult.v), S_OK);
        EXPECT_EQ(VarCmp(&lateResult.v, &earlyResult.v, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    }
    // The puts took effect through both bindings alike.
    for (IVarnel* c : {late.Get(), early.Get()}) {
        short port = 0;
        VN_UOM_ENUM units{};
        c->get_CommPort(&port);
        c->get_NetWtUnits(&units);
        EXPECT_EQ(port, 3);
        EXPECT_EQ(units, vnGrams);
    }
    Bstr version;
    early->ControlVersion(&version.b);
    EXPECT_EQ(version.Text(), "(3.0)");
    Var netWt;
    early->get_NetWt(&netWt.v);
    EXPECT_EQ(V_VT(&netWt.v), VT_R4);
}

TEST_F(ContainerTest, PutOnAReadOnlyPropertyFailsAndChangesNothing) {
    ComPtr<IVarnel> control = NewControl();
    for (const Member& m : kMembers) {
        if (m.kind != MemberKind::PropertyGet || FindMember(m.dispId, MemberKind::PropertyPut))
            continue;
        SCOPED_TRACE(m.name);
        Var before, after, value(L"12345");
        ASSERT_EQ(Invoke(control.Get(), m.dispId, DISPATCH_PROPERTYGET, {}, &before.v), S_OK);
        EXPECT_EQ(Invoke(control.Get(), m.dispId, DISPATCH_PROPERTYPUT, {value.v}),
                  DISP_E_MEMBERNOTFOUND);
        ASSERT_EQ(Invoke(control.Get(), m.dispId, DISPATCH_PROPERTYGET, {}, &after.v), S_OK);
        EXPECT_EQ(VarCmp(&before.v, &after.v, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    }
}

TEST_F(ContainerTest, ErrorsCarryTheNumberAndDescriptionToBothBindings) {
    ComPtr<IVarnel> control = NewControl();
    EXPECT_EQ(As<ISupportErrorInfo>(control, IID_ISupportErrorInfo)
                  ->InterfaceSupportsErrorInfo(ocx::IidVarnel()),
              S_OK);
    EXPECT_EQ(control->put_CommPort(0), kInvalidPortNumber);
    EXPECT_NE(ErrorDescription().find("Invalid port number"), std::string::npos);

    EXCEPINFO ex{};
    Var zero(static_cast<short>(0));
    EXPECT_EQ(Invoke(control.Get(), kDispIdCommPort, DISPATCH_PROPERTYPUT, {zero.v}, nullptr, &ex),
              DISP_E_EXCEPTION);
    EXPECT_EQ(ex.scode, kInvalidPortNumber);
    EXPECT_NE(Narrow(ex.bstrDescription).find("Invalid port number"), std::string::npos);
    EXPECT_EQ(Narrow(ex.bstrSource), "Varnel_OCX.Varnel");
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrHelpFile);
    short port = 0;
    control->get_CommPort(&port);
    EXPECT_EQ(port, 1);
}

// Late-bound arguments as script hosts and VB pass them: a value of any numeric type or a text,
// a typed reference, or a reference to a variant holding any of these (VBScript's
// `c = 0 : o.ScaleOpen(c)`). ScaleOpen's [in,out] argument comes back through the reference in
// the type of the caller's variable; a put stores the value referred to.
TEST_F(ContainerTest, ArgumentsByValueOrByReferenceComeBackInTheCallersType) {
    enum Form { kValue, kTyped, kVariant };  // by value, VT_BYREF|type, VT_BYREF|VT_VARIANT
    struct Case {
        DispId member;
        Form form;
        VARTYPE type;          // of the caller's value
        const wchar_t* value;  // as text, converted to type
        HRESULT result;
        VARTYPE afterType;  // ScaleOpen: the caller's variable afterwards; a put: the property
        const wchar_t* after;
    };
    const Case cases[] = {
        {kDispIdScaleOpen, kValue, VT_I2, L"0", S_OK, VT_I2, L"0"},
        {kDispIdScaleOpen, kValue, VT_I4, L"0", S_OK, VT_I4, L"0"},
        {kDispIdScaleOpen, kValue, VT_R8, L"0.25", S_OK, VT_R8, L"0.25"},
        {kDispIdScaleOpen, kValue, VT_BSTR, L"0", S_OK, VT_BSTR, L"0"},
        {kDispIdScaleOpen, kValue, VT_BSTR, L"junk", DISP_E_TYPEMISMATCH, VT_BSTR, L"junk"},
        {kDispIdScaleOpen, kValue, VT_R8, L"40000", DISP_E_OVERFLOW, VT_R8, L"40000"},
        {kDispIdScaleOpen, kTyped, VT_I2, L"0", S_OK, VT_I2, L"0"},
        {kDispIdScaleOpen, kTyped, VT_I4, L"0", S_OK, VT_I4, L"0"},
        {kDispIdScaleOpen, kTyped, VT_BSTR, L" 0", S_OK, VT_BSTR, L"0"},
        {kDispIdScaleOpen, kVariant, VT_EMPTY, nullptr, S_OK, VT_I2, L"0"},
        {kDispIdScaleOpen, kVariant, VT_I2, L"0", S_OK, VT_I2, L"0"},
        {kDispIdScaleOpen, kVariant, VT_I4, L"0", S_OK, VT_I4, L"0"},
        {kDispIdScaleOpen, kVariant, VT_R8, L"0.25", S_OK, VT_R8, L"0"},
        {kDispIdScaleOpen, kVariant, VT_BSTR, L" 0", S_OK, VT_BSTR, L"0"},
        {kDispIdScaleOpen, kVariant, VT_BSTR, L"junk", DISP_E_TYPEMISMATCH, VT_BSTR, L"junk"},
        {kDispIdScaleOpen, kVariant, VT_R8, L"1e6", DISP_E_OVERFLOW, VT_R8, L"1000000"},
        {kDispIdCommPort, kVariant, VT_I4, L"3", S_OK, VT_I2, L"3"},
        {kDispIdCommPort, kTyped, VT_R8, L"4", S_OK, VT_I2, L"4"},
        {kDispIdCommPort, kVariant, VT_BSTR, L"COM1", DISP_E_TYPEMISMATCH, VT_I2, L"1"},
        {kDispIdCommPort, kVariant, VT_I4, L"70000", DISP_E_OVERFLOW, VT_I2, L"1"},
        {kDispIdNetWtUnits, kVariant, VT_BSTR, L"2", S_OK, VT_I4, L"2"},
        {kDispIdWtNotification, kVariant, VT_R8, L"1", S_OK, VT_I4, L"1"},
        {kDispIdCommID, kVariant, VT_I2, L"7", S_OK, VT_I4, L"7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(NameOf(c.member)) + " form " + std::to_string(c.form) + " type " +
                     std::to_string(c.type) + " " + Narrow(c.value));
        ComPtr<IVarnel> control = NewControl();
        Var variable;  // the caller's
        if (c.value) {
            Var text(c.value);
            ASSERT_EQ(VariantChangeType(&variable.v, &text.v, 0, c.type), S_OK);
        }
        VARIANT arg;
        VariantInit(&arg);
        if (c.form == kValue) {
            arg = variable.v;  // lent, not copied
        } else if (c.form == kTyped) {
            V_VT(&arg) = VT_BYREF | c.type;
            V_BYREF(&arg) = &V_UI1(&variable.v);
        } else {
            V_VT(&arg) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&arg) = &variable.v;
        }
        const bool put = c.member != kDispIdScaleOpen;
        Var result, after, afterText;
        EXPECT_EQ(Invoke(control.Get(), c.member,
                         put ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD | DISPATCH_PROPERTYGET, {arg},
                         put ? nullptr : &result.v),
                  c.result);
        if (put) {
            ASSERT_EQ(Invoke(control.Get(), c.member, DISPATCH_PROPERTYGET, {}, &after.v), S_OK);
        } else {
            ASSERT_EQ(VariantCopy(&after.v, &variable.v), S_OK);
            EXPECT_EQ(V_VT(&result.v), c.result == S_OK ? VT_I2 : VT_EMPTY);
        }
        EXPECT_EQ(V_VT(&after.v), c.afterType);
        ASSERT_EQ(VariantChangeType(&afterText.v, &after.v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(Narrow(V_BSTR(&afterText.v)), Narrow(c.after));
    }
}

// --- The container's side: ambient UserMode, events, property changes, size ---

TEST_F(ContainerTest, UserModeIsReadAtEveryUseAndEventsReachEverySink) {
    Sited s;
    ComPtr<EventSink> second = ComPtr<EventSink>::Adopt(new EventSink(ocx::DiidVarnelEvents()));
    DWORD secondCookie = 0;
    s.Connect(ocx::DiidVarnelEvents(), second.Get(), &secondCookie);
    short inHandler = -1;
    VN_UOM_ENUM unitsInHandler{};
    s.events->onEvent = [&] {
        s.control->get_ScaleCommEvent(&inHandler);
        s.control->get_NetWtUnits(&unitsInHandler);
    };
    ASSERT_EQ(s.control->put_WtNotification(vnChanged), S_OK);

    // Design mode: the units change, no event.
    s.SetUserMode(false);
    ASSERT_EQ(s.control->put_NetWtUnits(vnGrams), S_OK);
    EXPECT_EQ(s.events->events + second->events, 0);

    // Run mode, switched while sited: the same put reports a new weight to both sinks.
    s.SetUserMode(true);
    ASSERT_EQ(s.control->put_NetWtUnits(vnOunces), S_OK);
    EXPECT_EQ(s.events->events, 1);
    EXPECT_EQ(second->events, 1);
    EXPECT_EQ(inHandler, 1);
    EXPECT_EQ(unitsInHandler, vnOunces);

    // A sink that disconnects the other one inside its handler: the other is not called.
    s.events->onEvent = [&] { s.Point(ocx::DiidVarnelEvents())->Unadvise(secondCookie); };
    ASSERT_EQ(s.control->put_NetWtUnits(vnKilograms), S_OK);
    EXPECT_EQ(s.events->events, 2);
    EXPECT_EQ(second->events, 1);
    // And one that disconnects itself.
    s.events->onEvent = [&] { s.Point(ocx::DiidVarnelEvents())->Unadvise(s.eventCookie); };
    ASSERT_EQ(s.control->put_NetWtUnits(vnPounds), S_OK);
    ASSERT_EQ(s.control->put_NetWtUnits(vnGrams), S_OK);
    EXPECT_EQ(s.events->events, 3);
}

TEST_F(ContainerTest, PropertyChangesReachTheSinksAndMarkTheControlDirty) {
    Sited s;
    auto persist = As<IPersistStreamInit>(s.control, IID_IPersistStreamInit);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    s.control->put_CommPort(3);
    s.control->put_CommPort(3);  // its current value: no change
    s.control->put_WtNotification(vnChanged);
    s.control->put_NetWtUnits(vnGrams);  // run mode under vnChanged: a conversion and an event
    const std::vector<DISPID> want = {kDispIdCommPort,   kDispIdWtNotification,
                                      kDispIdNetWtUnits, kDispIdFormattedWt,
                                      kDispIdNetWt,      kDispIdScaleCommEvent};
    EXPECT_EQ(s.notify->changed, want);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
}

TEST_F(ContainerTest, SizeFollowsTheFaceThroughTheSite) {
    Sited s;
    auto ole = As<IOleObject>(s.control, IID_IOleObject);
    const SIZEL face = {953, 861};  // 540 x 488 twips in 0.01 mm
    SIZEL size{};
    ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, face.cx);
    EXPECT_EQ(size.cy, face.cy);

    SIZEL bigger{5000, 4000};
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &bigger), S_OK);
    ole->GetExtent(DVASPECT_CONTENT, &size);
    EXPECT_EQ(size.cx, face.cx);
    EXPECT_EQ(size.cy, face.cy);
    EXPECT_EQ(s.site->layoutRequests, 1);  // not in place: the site lays it out again

    // In place, a larger rectangle is answered with one of the face's size at the same corner.
    const RECT rect{10, 20, 300, 200};
    ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, s.site.Get(), 0, nullptr, &rect),
              S_OK);
    ASSERT_EQ(s.site->positionRequests.size(), 1u);
    const RECT asked = s.site->positionRequests[0];
    EXPECT_EQ(asked.left, 10);
    EXPECT_EQ(asked.top, 20);
    EXPECT_EQ(asked.right - asked.left, 36);
    EXPECT_EQ(asked.bottom - asked.top, 33);
    // The container complies: nothing more is asked.
    ASSERT_EQ(
        As<IOleInPlaceObject>(s.control, IID_IOleInPlaceObject)->SetObjectRects(&asked, &asked),
        S_OK);
    EXPECT_EQ(s.site->positionRequests.size(), 1u);
    ole->GetExtent(DVASPECT_CONTENT, &size);
    EXPECT_EQ(size.cx, face.cx);

    DWORD status = 0;
    ole->GetMiscStatus(DVASPECT_CONTENT, &status);
    EXPECT_EQ(status, surface::kOleMiscStatus);
    EXPECT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(ole->SetClientSite(nullptr), S_OK);
}

// The verbs a container finds in EnumVerbs, and what DoVerb does with each.
TEST_F(ContainerTest, VerbsAreListedAndDone) {
    Sited s;
    auto ole = As<IOleObject>(s.control, IID_IOleObject);
    ComPtr<IEnumOLEVERB> verbs;
    ASSERT_EQ(ole->EnumVerbs(verbs.Put()), S_OK);
    std::vector<std::tuple<LONG, std::string, DWORD, DWORD>> listed;
    OLEVERB verb{};
    while (verbs->Next(1, &verb, nullptr) == S_OK) {
        listed.emplace_back(verb.lVerb, Narrow(verb.lpszVerbName), verb.fuFlags, verb.grfAttribs);
        CoTaskMemFree(verb.lpszVerbName);
    }
    const DWORD kEnabled = MF_STRING | MF_ENABLED;
    const std::vector<std::tuple<LONG, std::string, DWORD, DWORD>> want = {
        {OLEIVERB_PRIMARY, "&Activate", kEnabled, OLEVERBATTRIB_NEVERDIRTIES},
        {OLEIVERB_SHOW, "&Show", kEnabled, OLEVERBATTRIB_NEVERDIRTIES},
        {OLEIVERB_INPLACEACTIVATE, "&In-place activate", kEnabled, OLEVERBATTRIB_NEVERDIRTIES},
        {OLEIVERB_UIACTIVATE, "&UI activate", kEnabled, OLEVERBATTRIB_NEVERDIRTIES},
        {OLEIVERB_HIDE, "&Hide", kEnabled, OLEVERBATTRIB_NEVERDIRTIES},
        {OLEIVERB_PROPERTIES, "&Properties...", kEnabled, OLEVERBATTRIB_ONCONTAINERMENU},
    };
    EXPECT_EQ(listed, want);

    // Each verb in turn on the same control: whether it is in place afterwards. The Properties
    // verb goes to the container's frame, which this site shows (the system's frame: ocx_pages).
    s.site->frameAnswer = S_OK;
    const struct {
        LONG verb;
        HRESULT result;
        bool inPlace;
    } steps[] = {
        {OLEIVERB_PRIMARY, S_OK, true},    {OLEIVERB_HIDE, S_OK, false},
        {OLEIVERB_SHOW, S_OK, true},       {OLEIVERB_HIDE, S_OK, false},
        {OLEIVERB_UIACTIVATE, S_OK, true}, {OLEIVERB_HIDE, S_OK, false},
        {7, OLEOBJ_S_INVALIDVERB, true},   {OLEIVERB_PROPERTIES, S_OK, true},
        {OLEIVERB_OPEN, E_NOTIMPL, true},  {-99, E_NOTIMPL, true},
        {OLEIVERB_HIDE, S_OK, false},      {OLEIVERB_INPLACEACTIVATE, S_OK, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.verb);
        EXPECT_EQ(ole->DoVerb(step.verb, nullptr, s.site.Get(), 0, nullptr, nullptr), step.result);
        EXPECT_EQ(s.site->inPlace, step.inPlace);
    }
    EXPECT_EQ(s.site->frameRequests, 1);
    EXPECT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
}

TEST_F(ContainerTest, DrawsTheFaceInDesignModeOnly) {
    Sited s;
    auto view = As<IViewObject2>(s.control, IID_IViewObject2);
    for (const bool userMode : {true, false}) {
        SCOPED_TRACE(userMode ? "run mode" : "design mode");
        s.SetUserMode(userMode);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), 36, -32, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HDC dc = CreateCompatibleDC(nullptr);
        HBITMAP target = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_NE(target, nullptr);
        HGDIOBJ old = SelectObject(dc, target);
        auto* pixels = static_cast<std::uint32_t*>(bits);
        std::fill(pixels, pixels + 36 * 32, 0x00FF00FFu);  // a colour the face does not use
        const RECTL bounds{0, 0, 36, 32};
        EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                             nullptr, 0),
                  S_OK);
        GdiFlush();
        const auto untouched = std::count(pixels, pixels + 36 * 32, 0x00FF00FFu);
        EXPECT_EQ(untouched == 36 * 32, userMode) << untouched << " pixels untouched";
        SelectObject(dc, old);
        DeleteObject(target);
        DeleteDC(dc);
    }
}

TEST_F(ContainerTest, ClassInformationPagesAndCategory) {
    ComPtr<IVarnel> control = NewControl();
    auto classInfo = As<IProvideClassInfo2>(control, IID_IProvideClassInfo2);
    GUID source{};
    ASSERT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(source, ocx::DiidVarnelEvents()));
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(classInfo->GetClassInfo(coclass.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    EXPECT_TRUE(IsEqualGUID(attr->guid, ocx::ClsidVarnel()));
    coclass->ReleaseTypeAttr(attr);

    CAUUID pages{};
    ASSERT_EQ(As<ISpecifyPropertyPages>(control, IID_ISpecifyPropertyPages)->GetPages(&pages),
              S_OK);
    ASSERT_EQ(pages.cElems, kPages.size());
    for (ULONG i = 0; i < pages.cElems; ++i)
        EXPECT_TRUE(IsEqualGUID(pages.pElems[i], ocx::ToGuid(kPages[i].clsid))) << kPages[i].name;
    CoTaskMemFree(pages.pElems);

    auto categories = As<ocx::ICategorizeProperties>(control, ocx::kIidICategorizeProperties);
    for (const Member& m : kMembers) {
        ocx::PROPCAT category = 0;
        const HRESULT hr = categories->MapPropertyToCategory(m.dispId, &category);
        EXPECT_EQ(hr == S_OK, CategoryOf(m.name) != nullptr) << m.name;
        if (hr != S_OK) continue;
        Bstr name;
        ASSERT_EQ(categories->GetCategoryName(category, LOCALE_USER_DEFAULT, &name.b), S_OK);
        EXPECT_EQ(name.Text(), kCategoryWtMeter);
    }
}

TEST_F(ContainerTest, FileCarriesTheVersionDataAndTheToolboxBitmap) {
    ComPtr<IVarnel> control = NewControl();  // keeps the library loaded
    HMODULE module = GetModuleHandleW(L"Varnel.ocx");
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(module, path, MAX_PATH);
    DWORD handle = 0;
    std::vector<char> data(GetFileVersionInfoSizeW(path, &handle));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(data.size()), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(kVersion.major << 16 | kVersion.minor));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(kVersion.build << 16 | kVersion.revision));
    const std::pair<const wchar_t*, const char*> texts[] = {
        {L"FileVersion", kVersion.fileVersionText},
        {L"ProductVersion", kVersion.productVersionText},
        {L"FileDescription", kVersion.fileDescription},
        {L"ProductName", kVersion.productName},
        {L"InternalName", kVersion.internalName},
        {L"OriginalFilename", kVersion.originalFilename},
        {L"CompanyName", kVersion.companyName},
        {L"LegalCopyright", kVersion.legalCopyright},
        {L"OLESelfRegister", ""},
    };
    for (const auto& [key, text] : texts) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        ASSERT_TRUE(
            VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &size))
            << Narrow(key);
        EXPECT_EQ(Narrow(value), text);
    }
    HBITMAP bitmap = static_cast<HBITMAP>(
        LoadImageW(module, MAKEINTRESOURCEW(surface::kToolboxBitmap.resourceId), IMAGE_BITMAP, 0, 0,
                   LR_CREATEDIBSECTION));
    ASSERT_NE(bitmap, nullptr);
    BITMAP info{};
    GetObjectW(bitmap, sizeof info, &info);
    EXPECT_EQ(info.bmWidth, surface::kToolboxBitmap.width);
    EXPECT_EQ(info.bmHeight, surface::kToolboxBitmap.height);
    DeleteObject(bitmap);
}

// --- Saving and loading ---

// The control's saved keys as a bag holds them.
std::vector<std::string> Saved(const ComPtr<IVarnel>& control, BOOL saveAll = FALSE) {
    ComPtr<MemoryBag> bag = ComPtr<MemoryBag>::Adopt(new MemoryBag);
    EXPECT_EQ(
        As<IPersistPropertyBag>(control, IID_IPersistPropertyBag)->Save(bag.Get(), TRUE, saveAll),
        S_OK);
    std::vector<std::string> out;
    for (const auto& [key, value] : bag->values) {
        Var text;
        VariantChangeType(&text.v, const_cast<VARIANT*>(&value), 0, VT_BSTR);
        out.push_back(Narrow(key.c_str()) + "=" + std::to_string(V_VT(&value)) + ":" +
                      Narrow(V_BSTR(&text.v)));
    }
    return out;
}

TEST_F(ContainerTest, PropertyBagKeepsTheKeysOrderAndDefaults) {
    ComPtr<IVarnel> control = NewControl();
    auto persist = As<IPersistPropertyBag>(control, IID_IPersistPropertyBag);
    ASSERT_EQ(persist->InitNew(), S_OK);
    EXPECT_EQ(Saved(control), std::vector<std::string>{});  // every value is its default
    // All twelve keys, in order, when the container asks for all of them.
    std::vector<std::string> all = Saved(control, TRUE);
    ASSERT_EQ(all.size(), persistence::kSavedKeys.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i].substr(0, all[i].find('=')), persistence::kSavedKeys[i].key);

    control->put_NetWtUnits(vnGrams);
    control->put_CommPort(3);
    control->put_WtNotification(vnChanged);
    const std::vector<std::string> want = {"CommPort=2:3", "WtNotification=3:1", "NetWtUnits=3:2"};
    EXPECT_EQ(Saved(control), want);

    // Loaded into a new control: the same values, saved the same way.
    ComPtr<MemoryBag> bag = ComPtr<MemoryBag>::Adopt(new MemoryBag);
    As<IPersistPropertyBag>(control, IID_IPersistPropertyBag)->Save(bag.Get(), TRUE, FALSE);
    ComPtr<IVarnel> loaded = NewControl();
    ASSERT_EQ(As<IPersistPropertyBag>(loaded, IID_IPersistPropertyBag)->Load(bag.Get(), nullptr),
              S_OK);
    EXPECT_EQ(Saved(loaded), want);
}

TEST_F(ContainerTest, HostileBagValuesStopTheLoadAtTheirKey) {
    struct Case {
        const wchar_t* key;
        VARTYPE type;
        const wchar_t* text;  // converted to `type`
        HRESULT error;
    };
    const Case cases[] = {
        {L"CommPort", VT_BSTR, L"COM1", kTypeMismatch},
        {L"CommPort", VT_I4, L"0", kInvalidPortNumber},
        {L"CommPort", VT_R8, L"40000", kOverflow},
        {L"ScaleCommEvent", VT_I4, L"70000", kOverflow},
        {L"WtNotification", VT_R8, L"1e12", kOverflow},
        {L"RawWt", VT_DISPATCH, nullptr, kTypeMismatch},
        {L"NetWt", VT_BSTR, L"heavy", kTypeMismatch},
        {L"NetWt", VT_R8, L"1e300", kOverflow},
        {L"ConnectStatus", VT_NULL, nullptr, kTypeMismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.key));
        // CommPort is read first and ConnectStatus last: the first is applied unless it is the
        // failing key, the last never is.
        ComPtr<MemoryBag> bag = ComPtr<MemoryBag>::Adopt(new MemoryBag);
        Var port(5L), connected(1L), value;
        bag->Set(L"CommPort", port.v);
        bag->Set(L"ConnectStatus", connected.v);
        if (c.text) {
            Var text(c.text);
            ASSERT_EQ(VariantChangeType(&value.v, &text.v, 0, c.type), S_OK);
        } else if (c.type == VT_DISPATCH) {
            V_VT(&value.v) = VT_DISPATCH;
            V_DISPATCH(&value.v) = new Site;  // any object
        } else {
            V_VT(&value.v) = c.type;
        }
        bag->Set(c.key, value.v);

        ComPtr<IVarnel> control = NewControl();
        EXPECT_EQ(
            As<IPersistPropertyBag>(control, IID_IPersistPropertyBag)->Load(bag.Get(), nullptr),
            c.error);
        EXPECT_NE(ErrorDescription().find("\"" + Narrow(c.key) + "\""), std::string::npos)
            << ErrorDescription();
        short commPort = 0, connectStatus = -1;
        control->get_CommPort(&commPort);
        control->get_ConnectStatus(&connectStatus);
        EXPECT_EQ(commPort, std::wstring(c.key) == L"CommPort" ? 1 : 5);
        EXPECT_EQ(connectStatus, 0);
        // Still usable.
        EXPECT_EQ(control->put_NetWtUnits(vnOunces), S_OK);
        Bstr version;
        EXPECT_EQ(control->ControlVersion(&version.b), S_OK);
    }
}

ComPtr<IStream> StreamOf(const std::string& bytes) {
    ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

std::string BytesOf(IStream* stream) {
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::string bytes(static_cast<std::size_t>(stat.cbSize.QuadPart), '\0');
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    return bytes;
}

TEST_F(ContainerTest, StreamRoundTripsAndRefusesTruncatedOrHostileData) {
    ComPtr<IVarnel> control = NewControl();
    control->put_CommPort(4);
    control->put_NetWtUnits(vnOunces);
    ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    ASSERT_EQ(As<IPersistStreamInit>(control, IID_IPersistStreamInit)->Save(stream.Get(), TRUE),
              S_OK);
    const std::string saved = BytesOf(stream.Get());
    ULARGE_INTEGER max{};
    As<IPersistStreamInit>(control, IID_IPersistStreamInit)->GetSizeMax(&max);
    EXPECT_EQ(max.QuadPart, saved.size());

    // Loaded back, with data of the container's own behind it: the control reads only its part.
    ComPtr<IVarnel> loaded = NewControl();
    ComPtr<IStream> in = StreamOf(saved + "container data");
    ASSERT_EQ(As<IPersistStreamInit>(loaded, IID_IPersistStreamInit)->Load(in.Get()), S_OK);
    EXPECT_EQ(Saved(loaded), Saved(control));
    ULARGE_INTEGER position{};
    LARGE_INTEGER zero{};
    in->Seek(zero, STREAM_SEEK_CUR, &position);
    EXPECT_EQ(position.QuadPart, saved.size());

    // Every truncation is refused whole: nothing applied, the control still usable.
    for (std::size_t n = 0; n < saved.size(); ++n) {
        ComPtr<IVarnel> fresh = NewControl();
        EXPECT_EQ(As<IPersistStreamInit>(fresh, IID_IPersistStreamInit)
                      ->Load(StreamOf(saved.substr(0, n)).Get()),
                  kInvalidFormat)
            << n << " bytes";
        short port = 0;
        EXPECT_EQ(fresh->get_CommPort(&port), S_OK);
        EXPECT_EQ(port, 1);
    }
    // Well-formed, with a value that does not fit its property: refused at that key.
    const std::string hostile = ocx::stream::Encode(
        {{"CommPort", Variant(std::int16_t{6})}, {"ScaleStatus", Variant(std::int32_t{99999})}});
    ComPtr<IVarnel> fresh = NewControl();
    EXPECT_EQ(As<IPersistStreamInit>(fresh, IID_IPersistStreamInit)->Load(StreamOf(hostile).Get()),
              kOverflow);
    EXPECT_NE(ErrorDescription().find("\"ScaleStatus\""), std::string::npos);
    short port = 0;
    fresh->get_CommPort(&port);
    EXPECT_EQ(port, 6);
}

// An OLE document's storage in memory.
ComPtr<IStorage> NewStorage() {
    ComPtr<ILockBytes> bytes;
    ComPtr<IStorage> storage;
    EXPECT_EQ(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.Put()), S_OK);
    EXPECT_EQ(
        StgCreateDocfileOnILockBytes(
            bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put()),
        S_OK);
    return storage;
}

void WriteContents(IStorage* storage, const std::string& bytes) {
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->CreateStream(L"Contents", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0,
                                    0, stream.Put()),
              S_OK);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
}

TEST_F(ContainerTest, StorageHoldsTheClassAndTheStreamAndRefusesHostileData) {
    ComPtr<IVarnel> control = NewControl();
    auto persist = As<IPersistStorage>(control, IID_IPersistStorage);
    ComPtr<IStorage> storage = NewStorage();
    ASSERT_EQ(persist->InitNew(storage.Get()), S_OK);
    control->put_CommPort(4);
    control->put_NetWtUnits(vnOunces);
    ASSERT_EQ(persist->Save(storage.Get(), TRUE), S_OK);
    ASSERT_EQ(persist->SaveCompleted(nullptr), S_OK);
    CLSID clsid{};
    ASSERT_EQ(ReadClassStg(storage.Get(), &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, ocx::ClsidVarnel()));
    ComPtr<IStream> contents;
    ASSERT_EQ(storage->OpenStream(L"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                  contents.Put()),
              S_OK);
    const std::string saved = BytesOf(contents.Get());
    contents.Reset();
    ComPtr<IVarnel> loaded = NewControl();
    ASSERT_EQ(As<IPersistStorage>(loaded, IID_IPersistStorage)->Load(storage.Get()), S_OK);
    EXPECT_EQ(Saved(loaded), Saved(control));

    // Refused whole: nothing applied, and the control can still be loaded.
    std::string newer = saved;
    newer[4] = 2;  // the version
    const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    const struct {
        const char* name;
        const char* contents;  // nullptr: no stream
        std::string bytes;
        const GUID* clsid;
    } cases[] = {
        {"no stream", nullptr, "", nullptr},
        {"truncated", "", saved.substr(0, saved.size() - 1), nullptr},
        {"oversized", "", saved + "x", nullptr},
        {"newer version", "", newer, nullptr},
        {"another class", "", saved, &other},
        {"empty stream", "", "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IStorage> hostile = NewStorage();
        if (c.contents) WriteContents(hostile.Get(), c.bytes);
        if (c.clsid) WriteClassStg(hostile.Get(), *c.clsid);
        ComPtr<IVarnel> fresh = NewControl();
        auto freshPersist = As<IPersistStorage>(fresh, IID_IPersistStorage);
        EXPECT_EQ(freshPersist->Load(hostile.Get()), kInvalidFormat);
        short port = 0;
        fresh->get_CommPort(&port);
        EXPECT_EQ(port, 1);
        EXPECT_EQ(freshPersist->Load(storage.Get()), S_OK);
        fresh->get_CommPort(&port);
        EXPECT_EQ(port, 4);
    }
}

TEST_F(ContainerTest, StorageCallsInTheOrderOleAllows) {
    enum Step { kInitNew, kLoad, kSave, kCompleted, kCompletedNew, kHandsOff };
    const char* const names[] = {
        "InitNew", "Load", "Save", "SaveCompleted(NULL)", "SaveCompleted(new)", "HandsOffStorage"};
    const struct {
        std::vector<Step> steps;  // all but the last succeed
        HRESULT last;
    } cases[] = {
        {{kSave}, E_UNEXPECTED},
        {{kCompletedNew}, E_UNEXPECTED},
        {{kHandsOff}, E_UNEXPECTED},
        {{kInitNew, kInitNew}, CO_E_ALREADYINITIALIZED},
        {{kLoad, kLoad}, CO_E_ALREADYINITIALIZED},
        {{kInitNew, kLoad}, CO_E_ALREADYINITIALIZED},
        {{kInitNew, kCompleted}, E_UNEXPECTED},
        {{kInitNew, kSave, kSave}, E_UNEXPECTED},
        {{kInitNew, kSave, kCompleted, kSave}, S_OK},
        {{kInitNew, kSave, kHandsOff, kCompleted}, E_INVALIDARG},
        {{kInitNew, kSave, kHandsOff, kCompletedNew, kSave}, S_OK},
        {{kLoad, kHandsOff, kSave}, E_UNEXPECTED},
        {{kLoad, kHandsOff, kHandsOff}, E_UNEXPECTED},
        {{kLoad, kHandsOff, kCompletedNew, kSave, kCompletedNew}, S_OK},
    };
    ComPtr<IStorage> saved = NewStorage();
    {
        ComPtr<IVarnel> source = NewControl();
        auto persist = As<IPersistStorage>(source, IID_IPersistStorage);
        ASSERT_EQ(persist->InitNew(saved.Get()), S_OK);
        ASSERT_EQ(persist->Save(saved.Get(), TRUE), S_OK);
    }
    for (const auto& c : cases) {
        std::string sequence;
        for (const Step step : c.steps)
            sequence += std::string(sequence.empty() ? "" : ", ") + names[step];
        SCOPED_TRACE(sequence);
        ComPtr<IVarnel> control = NewControl();
        auto persist = As<IPersistStorage>(control, IID_IPersistStorage);
        ComPtr<IStorage> storage = NewStorage();
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            HRESULT hr = E_FAIL;
            switch (c.steps[i]) {
                case kInitNew:
                    hr = persist->InitNew(storage.Get());
                    break;
                case kLoad:
                    hr = persist->Load(saved.Get());
                    break;
                case kSave:
                    hr = persist->Save(storage.Get(), FALSE);
                    break;
                case kCompleted:
                    hr = persist->SaveCompleted(nullptr);
                    break;
                case kCompletedNew:
                    hr = persist->SaveCompleted(NewStorage().Get());
                    break;
                case kHandsOff:
                    hr = persist->HandsOffStorage();
                    break;
            }
            EXPECT_EQ(hr, i + 1 == c.steps.size() ? c.last : S_OK) << "step " << i + 1;
        }
    }
}

// The two text rules (ocx/text.h) on bytes outside ASCII. The control's own texts are one
// character per byte: every byte comes back, and a saved FormattedWt reaches the host with the
// bytes' values as its characters. Window and registry texts read the bytes as Windows' A
// functions do (here: an environment variable set through SetEnvironmentVariableA).
TEST_F(ContainerTest, ControlTextIsOneCharacterPerByteWindowTextIsAnsi) {
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += static_cast<char>(b);
    const std::wstring wide = ocx::WideOfBytes(high);
    ASSERT_EQ(wide.size(), high.size());
    for (std::size_t i = 0; i < wide.size(); ++i)
        EXPECT_EQ(wide[i], static_cast<wchar_t>(0x80 + i));
    EXPECT_EQ(ocx::BytesOfWide(wide), high);
    EXPECT_EQ(ocx::BytesOfWide(L"\u20AC5\u0100"), "?5?");  // no byte for these

    ASSERT_TRUE(SetEnvironmentVariableA("VARNEL_TEXT_RULE", high.c_str()));
    wchar_t asWindows[256] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"VARNEL_TEXT_RULE", asWindows, 256), 0u);
    SetEnvironmentVariableA("VARNEL_TEXT_RULE", nullptr);
    EXPECT_EQ(ocx::WideOfAnsi(high), std::wstring(asWindows));

    // What each rule makes of a few bytes on the Western code page (1252).
    if (GetACP() == 1252) {
        const struct {
            char byte;
            wchar_t bytes, ansi;
        } rows[] = {{'A', L'A', L'A'},
                    {'\x80', L'\x80', L'\x20AC'},
                    {'\x9F', L'\x9F', L'\x178'},
                    {'\xE9', L'\xE9', L'\xE9'}};
        for (const auto& r : rows) {
            EXPECT_EQ(ocx::WideOfBytes({&r.byte, 1}), std::wstring(1, r.bytes));
            EXPECT_EQ(ocx::WideOfAnsi({&r.byte, 1}), std::wstring(1, r.ansi));
        }
    }

    ComPtr<IVarnel> control = NewControl();
    const std::string saved = ocx::stream::Encode({{"FormattedWt", Variant(high)}});
    ASSERT_EQ(As<IPersistStreamInit>(control, IID_IPersistStreamInit)->Load(StreamOf(saved).Get()),
              S_OK);
    Bstr formatted;
    ASSERT_EQ(control->get_FormattedWt(&formatted.b), S_OK);
    EXPECT_EQ(std::wstring(formatted.b, SysStringLen(formatted.b)), wide);
}

// --- Web pages: IObjectSafety ---

// The HTML document a browser sites the control in: its URL property, answered through its
// dispatch view (which is all the control uses of IHTMLDocument2).
class Document final : public TestObject<IOleContainer, IDispatch> {
  public:
    explicit Document(const wchar_t* url) : url_(url) {}
    void* Find(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IOleContainer || iid == IID_IParseDisplayName)
            return static_cast<IOleContainer*>(this);
        if (iid == IID_IDispatch || iid == IID_IHTMLDocument2) return static_cast<IDispatch*>(this);
        return nullptr;
    }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id != DISPID_IHTMLDOCUMENT2_URL || !(flags & DISPATCH_PROPERTYGET) || !result)
            return DISP_E_MEMBERNOTFOUND;
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(url_.c_str());
        return S_OK;
    }

  private:
    std::wstring url_;
};

// The administrator's allow-list for the length of a test; other processes of the run (the
// 32-bit container test) take turns through a named mutex.
class AllowList {
  public:
    AllowList() : mutex_(CreateMutexW(nullptr, FALSE, L"VarnelScriptingAllowedSitesTest")) {
        if (mutex_) WaitForSingleObject(mutex_, INFINITE);
    }
    ~AllowList() {
        Set(REG_NONE, nullptr);
        if (mutex_) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
    }
    AllowList(const AllowList&) = delete;
    AllowList& operator=(const AllowList&) = delete;

    // REG_NONE removes the value; a REG_MULTI_SZ's strings are separated by '\n'.
    void Set(DWORD type, const wchar_t* text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Varnel", 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (type == REG_NONE) {
            RegDeleteValueW(key, L"ScriptingAllowedSites");
        } else {
            std::wstring data(text);
            for (wchar_t& c : data)
                if (type == REG_MULTI_SZ && c == L'\n') c = L'\0';
            data.append(type == REG_MULTI_SZ ? 2 : 1, L'\0');
            ASSERT_EQ(RegSetValueExW(key, L"ScriptingAllowedSites", 0, type,
                                     reinterpret_cast<const BYTE*>(data.data()),
                                     static_cast<DWORD>(data.size() * sizeof(wchar_t))),
                      ERROR_SUCCESS);
        }
        RegCloseKey(key);
    }

  private:
    HANDLE mutex_;
};

// Initialisation from the page's parameters is always safe (browsers ask on IDispatch too);
// scripting only on a page whose origin the administrator lists, compared whole.
TEST_F(ContainerTest, SafeForScriptingOnlyOnPagesTheAdministratorAllows) {
    AllowList list;
    const wchar_t* const kPos = L"http://pos.example.com";
    const struct {
        DWORD type;            // of the registry value; REG_NONE: no value
        const wchar_t* sites;  // the value
        const wchar_t* page;   // nullptr: the site has no document
        HRESULT result;
    } cases[] = {
        {REG_NONE, nullptr, L"http://pos.example.com/till.html", E_FAIL},
        {REG_SZ, kPos, L"http://pos.example.com/till.html", S_OK},
        {REG_SZ, kPos, nullptr, E_FAIL},
        {REG_SZ, kPos, L"HTTP://POS.Example.COM:80/till.html?lane=2#top", S_OK},
        {REG_SZ, L"http://other.example; http://pos.example.com/", L"http://pos.example.com/",
         S_OK},
        {REG_MULTI_SZ, L"https://a.example\nhttps://pos.example.com:8443",
         L"https://pos.example.com:8443/till", S_OK},
        {REG_SZ, L"", L"http://pos.example.com/", E_FAIL},
        // Near misses.
        {REG_SZ, kPos, L"https://pos.example.com/", E_FAIL},
        {REG_SZ, kPos, L"http://pos.example.com:8080/", E_FAIL},
        {REG_SZ, kPos, L"http://pos.example.com.evil.example/", E_FAIL},
        {REG_SZ, kPos, L"http://evil.example/http://pos.example.com/", E_FAIL},
        {REG_SZ, kPos, L"http://evil.example/?from=http://pos.example.com", E_FAIL},
        {REG_SZ, kPos, L"http://pos.example.com@evil.example/", E_FAIL},
        {REG_SZ, kPos, L"http://xpos.example.com/", E_FAIL},
        {REG_SZ, kPos, L"file:///C:/pos.example.com/till.html", E_FAIL},
        {REG_SZ, kPos, L"about:blank", E_FAIL},
        {REG_SZ, L"pos.example.com", L"http://pos.example.com/", E_FAIL},
        {REG_SZ, L"http://pos.example.com/till", L"http://pos.example.com/till/", E_FAIL},
        {REG_SZ, L"http://*.example.com", L"http://pos.example.com/", E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.sites ? c.sites : L"(no list)") + " / " +
                     Narrow(c.page ? c.page : L"(no page)"));
        list.Set(c.type, c.sites);
        Sited s;
        if (c.page) s.site->container = ComPtr<IOleContainer>::Adopt(new Document(c.page));
        auto safety = As<IObjectSafety>(s.control, IID_IObjectSafety);
        for (const IID* data : {&IID_IPersistPropertyBag, &IID_IPersistStreamInit,
                                &IID_IPersistStorage, &IID_IDispatch}) {
            EXPECT_EQ(safety->SetInterfaceSafetyOptions(*data, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                        INTERFACESAFE_FOR_UNTRUSTED_DATA),
                      S_OK);
        }
        for (const IID* dispatch : {&IID_IDispatch, &ocx::IidVarnel()}) {
            EXPECT_EQ(
                safety->SetInterfaceSafetyOptions(*dispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                  INTERFACESAFE_FOR_UNTRUSTED_CALLER),
                c.result);
            DWORD supported = 0, enabled = 0;
            ASSERT_EQ(safety->GetInterfaceSafetyOptions(*dispatch, &supported, &enabled), S_OK);
            const DWORD both =
                INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
            EXPECT_EQ(supported, both);
            EXPECT_EQ(enabled, c.result == S_OK ? both : INTERFACESAFE_FOR_UNTRUSTED_DATA);
        }
        // Not an interface the control answers for, and not an option it has.
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IOleObject, 0, 0), E_NOINTERFACE);
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag,
                                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER),
                  E_FAIL);
    }
}

// --- Lifetime ---

using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

CanUnloadNow UnloadCheck() {
    return reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"Varnel.ocx"), "DllCanUnloadNow")));
}

TEST_F(ContainerTest, HostMayReleaseOrCloseTheControlInsideItsHandler) {
    const CanUnloadNow canUnload = UnloadCheck();
    ASSERT_NE(canUnload, nullptr);
    for (const bool closeFirst : {false, true}) {
        SCOPED_TRACE(closeFirst ? "ScaleOpen 0, then release" : "release");
        ComPtr<EventSink> sink;
        {
            Sited s;
            sink = s.events;
            s.control->put_WtNotification(vnChanged);
            IVarnel* raw = s.control.Detach();
            s.site.Reset();
            s.events->onEvent = [&] {
                if (closeFirst) {
                    short off = 0, result = -1;
                    EXPECT_EQ(raw->ScaleOpen(&off, &result), S_OK);
                    EXPECT_EQ(result, 0);
                }
                As<IOleObject>(ComPtr<IVarnel>(raw), IID_IOleObject)->SetClientSite(nullptr);
                raw->Release();  // the host's last reference
            };
            EXPECT_EQ(raw->put_NetWtUnits(vnGrams), S_OK);
            EXPECT_EQ(sink->events, 1);
        }
        EXPECT_EQ(canUnload(), S_OK) << "a control is still alive";
    }
}

// A container whose site holds its control and that never calls SetAdvise(..., NULL) or
// SetClientSite(NULL): Close lets go of the site and of both advise sinks, so once the container
// drops its site, the control goes, and the sinks with it.
TEST_F(ContainerTest, CloseLetsGoOfTheSiteAndTheAdviseSinks) {
    const CanUnloadNow canUnload = UnloadCheck();
    class AdviseSink final : public TestObject<IAdviseSink> {
      public:
        explicit AdviseSink(bool& gone) : gone_(gone) {}
        int closes = 0;
        void* Find(REFIID iid) override {
            return iid == IID_IUnknown || iid == IID_IAdviseSink ? static_cast<IAdviseSink*>(this)
                                                                 : nullptr;
        }
        void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM*) override {}
        void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
        void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
        void STDMETHODCALLTYPE OnSave() override {}
        void STDMETHODCALLTYPE OnClose() override { ++closes; }

      private:
        ~AdviseSink() override { gone_ = true; }
        bool& gone_;
    };
    bool sinkGone = false;
    {
        ComPtr<Site> site = ComPtr<Site>::Adopt(new Site);
        ComPtr<AdviseSink> sink = ComPtr<AdviseSink>::Adopt(new AdviseSink(sinkGone));
        {
            ComPtr<IVarnel> control = NewControl();
            site->control = ComPtr<IUnknown>(control.Get());
            auto ole = As<IOleObject>(control, IID_IOleObject);
            ASSERT_EQ(ole->SetClientSite(site.Get()), S_OK);
            ASSERT_EQ(As<IViewObject2>(control, IID_IViewObject2)
                          ->SetAdvise(DVASPECT_CONTENT, 0, sink.Get()),
                      S_OK);
            DWORD cookie = 0;
            ASSERT_EQ(ole->Advise(sink.Get(), &cookie), S_OK);
            EXPECT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
        }
        EXPECT_EQ(sink->closes, 1);
        EXPECT_EQ(site->Refs(), 1) << "the control still holds its site";
        EXPECT_EQ(sink->Refs(), 1) << "the control still holds an advise sink";
    }
    EXPECT_TRUE(sinkGone);
    EXPECT_EQ(canUnload(), S_OK) << "the control is still alive";
}

}  // namespace
}  // namespace varnel::testing
