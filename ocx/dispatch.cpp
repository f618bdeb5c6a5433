// IDispatch from the type library, and the dual interface _Varnel over the control.
//
// Late binding goes through ITypeInfo::Invoke on the function table, so a name, a dispatch id and
// a function-table call all reach the same member; the platform converts the arguments. A put
// on one of the read-only properties fails with DISP_E_MEMBERNOTFOUND before anything is
// converted or changed. Errors of the control reach an early-bound caller as an HRESULT with an
// error object, a late-bound one as DISP_E_EXCEPTION with the number's HRESULT and the
// description in EXCEPINFO.
#include <objbase.h>
#include <oleauto.h>

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

HRESULT VarnelControl::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && automation::NameOf(id) &&
        !automation::FindMember(id, automation::MemberKind::PropertyPut)) {
        return DISP_E_MEMBERNOTFOUND;
    }
    const Activity activity(*this);
    SetErrorInfo(0, nullptr);
    return vtableInfo_->Invoke(static_cast<IVarnel*>(this), id, flags, params, result, exception,
                               argError);
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
