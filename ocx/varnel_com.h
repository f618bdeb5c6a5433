// The control's COM interfaces as C++ declarations, for the control itself and for C++ clients
// that bind to the function table (early binding). The interface ids are those of the automation
// table (ocx/guids.h).
#pragma once

#include <ocidl.h>

#include "control/varnel.h"

namespace varnel::ocx {

// _Varnel, the control's dual interface: IDispatch, then the members in the table's order.
struct IVarnel : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE AboutBox() = 0;
    virtual HRESULT STDMETHODCALLTYPE ScaleOpen(short* connectassert, short* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommID(long* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommID(long New_CommID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommPort(short* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommPort(short New_CommPort) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WtNotification(VN_NOTIFY_ENUM* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_WtNotification(VN_NOTIFY_ENUM New_WtNotification) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NetWtUnits(VN_UOM_ENUM* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_NetWtUnits(VN_UOM_ENUM New_NetWtUnits) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ScaleCommEvent(short* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RawWtUnits(short* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RawWt(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FormattedWt(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ScaleStatus(short* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NetWt(VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectStatus(short* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE ControlVersion(BSTR* result) = 0;
};

// The property browser's categories (categorizeproperties.h of the Windows SDK).
using PROPCAT = int;
struct ICategorizeProperties : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE MapPropertyToCategory(DISPID dispid, PROPCAT* category) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCategoryName(PROPCAT category, LCID lcid, BSTR* name) = 0;
};
// {4D07FC10-F931-11CE-B001-00AA006884E5}
inline constexpr IID kIidICategorizeProperties = {
    0x4D07FC10, 0xF931, 0x11CE, {0xB0, 0x01, 0x00, 0xAA, 0x00, 0x68, 0x84, 0xE5}};

}  // namespace varnel::ocx
