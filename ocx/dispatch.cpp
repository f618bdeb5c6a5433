// IDispatch from the type library, and the dual interface _Varnel over the control.
//
// Late binding goes through ITypeInfo::Invoke on the function table, so a name, a dispatch id and
// a function-table call all reach the same member; the platform converts the arguments. A put
// on one of the read-only properties fails with DISP_E_MEMBERNOTFOUND before anything is
// converted or changed. Errors of the control reach an early-bound caller as an HRESULT with an
// error object, a late-bound one as DISP_E_EXCEPTION with the number's HRESULT and the
// description in EXCEPINFO.
//
// Script hosts, and VB and VBA binding late through an Object, pass a variable by reference as
// VT_BYREF|VT_VARIANT, and a variable may hold any numeric type or a text; ITypeInfo::Invoke
// converts values but not such references. So the arguments are prepared first (Arguments): a
// reference given for a value parameter passes the value it refers to, and an [in,out]
// parameter gets a local of the parameter's type, converted from whatever the caller gave. After
// a successful call the local goes back through the caller's reference in the type the caller's
// variable has (an Empty variable, or one whose type cannot take the value, takes the
// parameter's type). A value that does not convert fails as a conversion inside
// ITypeInfo::Invoke does: DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW, its position in argError.
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <new>
#include <vector>

#include "control/automation.h"
#include "control/varnel.h"
#include "ocx/com_errors.h"
#include "ocx/com_variant.h"
#include "ocx/control.h"
#include "ocx/guids.h"

namespace varnel::ocx {

template <typename F>
HRESULT VarnelControl::Call(F&& f) {
    const Activity activity(*this);
    return Guarded(IidVarnel(), std::forward<F>(f));
}

// --- IDispatch ---

HRESULT VarnelControl::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT VarnelControl::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *out = dispatchInfo_.Get();
    (*out)->AddRef();
    return S_OK;
}

HRESULT VarnelControl::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(dispatchInfo_.Get(), names, count, ids);
}

namespace {

// The function of the table that a late-bound call with these flags reaches.
class Function {
  public:
    Function(ITypeInfo& table, DISPID id, WORD flags) : table_(table) {
        TYPEATTR* attr = nullptr;
        if (FAILED(table.GetTypeAttr(&attr))) return;
        const WORD count = attr->cFuncs;
        table.ReleaseTypeAttr(attr);
        for (UINT i = 0; i < count && !desc_; ++i) {
            if (FAILED(table.GetFuncDesc(i, &desc_))) continue;
            if (desc_->memid != id || !Reached(desc_->invkind, flags)) {
                table.ReleaseFuncDesc(desc_);
                desc_ = nullptr;
            }
        }
    }
    ~Function() {
        if (desc_) table_.ReleaseFuncDesc(desc_);
    }
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;

    const FUNCDESC* operator->() const { return desc_; }
    explicit operator bool() const { return desc_ != nullptr; }

  private:
    static bool Reached(INVOKEKIND kind, WORD flags) {
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
            return kind == INVOKE_PROPERTYPUT || kind == INVOKE_PROPERTYPUTREF;
        return ((flags & DISPATCH_METHOD) && kind == INVOKE_FUNC) ||
               ((flags & DISPATCH_PROPERTYGET) && kind == INVOKE_PROPERTYGET);
    }

    ITypeInfo& table_;
    FUNCDESC* desc_ = nullptr;
};

// The bytes a value of the type takes where a reference points; 0 for a type not written back.
std::size_t ValueSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return 0;
    }
}

class Arguments {
  public:
    Arguments(ITypeInfo& table, LCID lcid) : table_(table), lcid_(lcid) {}
    ~Arguments() {
        for (VARIANT& v : owned_)
            VariantClear(&v);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // Prepares the arguments of the call; the parameters then are Params().
    HRESULT Prepare(DISPID id, WORD flags, DISPPARAMS* params, UINT* argError) {
        params_ = params;
        if (!params || params->cArgs == 0 || !params->rgvarg) return S_OK;
        const Function function(table_, id, flags);
        if (!function) return S_OK;
        const UINT count = params->cArgs;
        UINT declared = static_cast<UINT>(function->cParams);
        if (declared > 0 &&
            (function->lprgelemdescParam[declared - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL))
            --declared;
        args_.assign(params->rgvarg, params->rgvarg + count);
        owned_.resize(count);
        for (VARIANT& v : owned_)
            VariantInit(&v);
        for (UINT i = 0; i < count; ++i) {
            const UINT param = ParamOf(*params, i, declared);
            if (param >= declared) continue;
            const HRESULT hr = PrepareOne(i, params->rgvarg[i], function->lprgelemdescParam[param]);
            if (FAILED(hr)) {
                if (argError) *argError = i;
                return hr;
            }
        }
        prepared_ = {args_.data(), params->rgdispidNamedArgs, count, params->cNamedArgs};
        params_ = &prepared_;
        return S_OK;
    }
    DISPPARAMS* Params() { return params_; }

    // After a successful call: the [in,out] values back to the caller's variables.
    void WriteBack() {
        for (const Back& back : back_) {
            VARIANT& value = owned_[back.index];
            if (V_VT(back.target) & VT_BYREF) {
                Store(value, *back.target);
                continue;
            }
            // The caller's own variable: it keeps its type when that can take the value.
            VARIANT converted;
            VariantInit(&converted);
            const VARTYPE callerType = V_VT(back.target);
            if (callerType == VT_EMPTY || callerType == VT_NULL ||
                FAILED(VariantChangeTypeEx(&converted, &value, lcid_, 0, callerType))) {
                VariantCopy(&converted, &value);
            }
            VariantClear(back.target);
            *back.target = converted;
        }
    }

  private:
    struct Back {
        UINT index;       // of the argument, and of its local in owned_
        VARIANT* target;  // the caller's variable, or a VT_BYREF of the caller's type
    };

    // The parameter an argument stands for: named arguments come first (a put's value is the
    // last parameter), then the positional ones in reverse order.
    static UINT ParamOf(const DISPPARAMS& params, UINT i, UINT declared) {
        if (i < params.cNamedArgs) {
            const DISPID name = params.rgdispidNamedArgs[i];
            if (name == DISPID_PROPERTYPUT) return declared - 1;
            return name >= 0 ? static_cast<UINT>(name) : declared;
        }
        return params.cArgs - 1 - i;
    }

    // A parameter's type for a conversion; VT_EMPTY when the platform is left to it.
    VARTYPE TypeOf(const TYPEDESC& t) {
        if (t.vt != VT_USERDEFINED) return t.vt;
        ComPtr<ITypeInfo> ref;
        TYPEATTR* attr = nullptr;
        if (FAILED(table_.GetRefTypeInfo(t.hreftype, ref.Put())) || FAILED(ref->GetTypeAttr(&attr)))
            return VT_EMPTY;
        const VARTYPE vt = attr->typekind == TKIND_ENUM ? VT_I4 : VT_EMPTY;
        ref->ReleaseTypeAttr(attr);
        return vt;
    }

    HRESULT PrepareOne(UINT i, VARIANT& given, const ELEMDESC& param) {
        // The caller's variable behind references to variants (a few levels at most: no
        // cycles), or the caller's typed reference.
        VARIANT* target = &given;
        for (int depth = 0; V_VT(target) == (VT_BYREF | VT_VARIANT) && depth < 4; ++depth) {
            if (!V_VARIANTREF(target)) return DISP_E_TYPEMISMATCH;
            target = V_VARIANTREF(target);
        }
        if (V_VT(target) == (VT_BYREF | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
        const bool reference = target != &given || (V_VT(target) & VT_BYREF);
        const bool inOut =
            param.tdesc.vt == VT_PTR && (param.paramdesc.wParamFlags & PARAMFLAG_FOUT);
        const VARTYPE type = TypeOf(inOut ? *param.tdesc.lptdesc : param.tdesc);
        if (type == VT_EMPTY || type == VT_VARIANT) return S_OK;
        if (!inOut) {
            // A value parameter: the value referred to, which ITypeInfo::Invoke converts.
            if (!reference) return S_OK;
            if (FAILED(VariantCopyInd(&owned_[i], target))) return DISP_E_TYPEMISMATCH;
            args_[i] = owned_[i];
            return S_OK;
        }
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = VariantCopyInd(&value, target);
        if (SUCCEEDED(hr)) hr = VariantChangeTypeEx(&owned_[i], &value, lcid_, 0, type);
        VariantClear(&value);
        if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
        if (ValueSize(type) == 0 && type != VT_BSTR) return DISP_E_TYPEMISMATCH;
        if (reference) back_.push_back({i, target});
        V_VT(&args_[i]) = VT_BYREF | type;
        V_BYREF(&args_[i]) = type == VT_DECIMAL ? static_cast<void*>(&V_DECIMAL(&owned_[i]))
                                                : static_cast<void*>(&V_UI1(&owned_[i]));
        return S_OK;
    }

    // Writes value through a VT_BYREF in that reference's type.
    void Store(const VARIANT& value, VARIANT& reference) {
        const VARTYPE type = static_cast<VARTYPE>(V_VT(&reference) & ~VT_BYREF);
        VARIANT converted;
        VariantInit(&converted);
        if (FAILED(VariantChangeTypeEx(&converted, const_cast<VARIANT*>(&value), lcid_, 0, type)))
            return;
        if (type == VT_BSTR) {
            SysFreeString(*V_BSTRREF(&reference));
            *V_BSTRREF(&reference) = V_BSTR(&converted);  // the reference takes the text
        } else if (const std::size_t size = ValueSize(type)) {
            const void* from = type == VT_DECIMAL ? static_cast<const void*>(&V_DECIMAL(&converted))
                                                  : static_cast<const void*>(&V_UI1(&converted));
            std::memcpy(V_BYREF(&reference), from, size);
        } else {
            VariantClear(&converted);
        }
    }

    ITypeInfo& table_;
    LCID lcid_;
    DISPPARAMS* params_ = nullptr;
    DISPPARAMS prepared_{};
    std::vector<VARIANT> args_;   // the caller's arguments, some replaced
    std::vector<VARIANT> owned_;  // per argument: a value or local of ours, or VT_EMPTY
    std::vector<Back> back_;
};

}  // namespace

HRESULT VarnelControl::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && automation::NameOf(id) &&
        !automation::FindMember(id, automation::MemberKind::PropertyPut)) {
        return DISP_E_MEMBERNOTFOUND;
    }
    const Activity activity(*this);
    SetErrorInfo(0, nullptr);
    try {
        Arguments arguments(*vtableInfo_.Get(), lcid);
        HRESULT hr = arguments.Prepare(id, flags, params, argError);
        if (FAILED(hr)) return hr;
        hr = vtableInfo_->Invoke(static_cast<IVarnel*>(this), id, flags, arguments.Params(), result,
                                 exception, argError);
        if (SUCCEEDED(hr)) arguments.WriteBack();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// --- _Varnel ---

namespace {

template <typename T>
void Need(T* p) {
    if (!p) throw AutomationError(E_POINTER, "Invalid pointer");
}

}  // namespace

HRESULT VarnelControl::AboutBox() {
    return Call([&] { varnel_->AboutBox(); });
}

HRESULT VarnelControl::ScaleOpen(short* connectassert, short* result) {
    return Call([&] {
        Need(connectassert);
        Need(result);
        std::int16_t value = *connectassert;
        *result = varnel_->ScaleOpen(value);
        *connectassert = value;
    });
}

HRESULT VarnelControl::get_CommID(long* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->CommID();
    });
}

HRESULT VarnelControl::put_CommID(long New_CommID) {
    return Call([&] { varnel_->SetCommID(New_CommID); });
}

HRESULT VarnelControl::get_CommPort(short* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->CommPort();
    });
}

HRESULT VarnelControl::put_CommPort(short New_CommPort) {
    return Call([&] { varnel_->SetCommPort(New_CommPort); });
}

HRESULT VarnelControl::get_WtNotification(VN_NOTIFY_ENUM* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->WtNotification();
    });
}

HRESULT VarnelControl::put_WtNotification(VN_NOTIFY_ENUM New_WtNotification) {
    return Call([&] { varnel_->SetWtNotification(New_WtNotification); });
}

HRESULT VarnelControl::get_NetWtUnits(VN_UOM_ENUM* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->NetWtUnits();
    });
}

HRESULT VarnelControl::put_NetWtUnits(VN_UOM_ENUM New_NetWtUnits) {
    return Call([&] { varnel_->SetNetWtUnits(New_NetWtUnits); });
}

HRESULT VarnelControl::get_ScaleCommEvent(short* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->ScaleCommEvent();
    });
}

HRESULT VarnelControl::get_RawWtUnits(short* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->RawWtUnits();
    });
}

HRESULT VarnelControl::get_RawWt(BSTR* result) {
    return Call([&] {
        Need(result);
        *result = NewBstr(varnel_->RawWt());
    });
}

HRESULT VarnelControl::get_FormattedWt(BSTR* result) {
    return Call([&] {
        Need(result);
        *result = NewBstr(varnel_->FormattedWt());
    });
}

HRESULT VarnelControl::get_ScaleStatus(short* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->ScaleStatus();
    });
}

HRESULT VarnelControl::get_NetWt(VARIANT* result) {
    return Call([&] {
        Need(result);
        ToVariant(varnel_->NetWt(), *result);
    });
}

HRESULT VarnelControl::get_ConnectStatus(short* result) {
    return Call([&] {
        Need(result);
        *result = varnel_->ConnectStatus();
    });
}

HRESULT VarnelControl::ControlVersion(BSTR* result) {
    return Call([&] {
        Need(result);
        *result = NewBstr(varnel_->ControlVersion());
    });
}

}  // namespace varnel::ocx
