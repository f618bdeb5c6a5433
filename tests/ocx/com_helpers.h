// Helpers for driving Varnel.ocx through COM in tests: self-clearing VARIANTs and BSTRs, creating
// the registered control, late-bound calls, and a control sited in a container of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <string>
#include <vector>

#include "ocx/com_ptr.h"
#include "ocx/guids.h"
#include "ocx/varnel_com.h"
#include "tests/ocx/com_doubles.h"

namespace varnel::testing {

using ocx::ComPtr;
using ocx::IVarnel;

// A VARIANT that clears itself.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    explicit Var(short i) : Var() {
        V_VT(&v) = VT_I2;
        V_I2(&v) = i;
    }
    explicit Var(long i) : Var() {
        V_VT(&v) = VT_I4;
        V_I4(&v) = i;
    }
    explicit Var(double d) : Var() {
        V_VT(&v) = VT_R8;
        V_R8(&v) = d;
    }
    explicit Var(const wchar_t* s) : Var() {
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(s);
    }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    ~Var() { VariantClear(&v); }
};

inline std::wstring Wide(const char* s) {
    return std::wstring(s, s + std::strlen(s));
}

inline std::string Narrow(const wchar_t* s) {
    std::string out;
    for (; s && *s; ++s)
        out += static_cast<char>(*s);
    return out;
}

// A BSTR that frees itself.
struct Bstr {
    BSTR b = nullptr;
    ~Bstr() { SysFreeString(b); }
    std::string Text() const { return Narrow(b); }
};

inline ComPtr<IVarnel> NewControl() {
    CLSID clsid;
    ComPtr<IVarnel> control;
    if (FAILED(CLSIDFromProgID(L"Varnel_OCX.Varnel", &clsid))) return control;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, ocx::IidVarnel(), control.PutVoid());
    return control;
}

template <typename I>
ComPtr<I> As(const ComPtr<IVarnel>& control, REFIID iid) {
    ComPtr<I> out;
    EXPECT_EQ(control.As(iid, out), S_OK);
    return out;
}

// Late binding: args in their natural order; a put passes its value as DISPID_PROPERTYPUT.
inline HRESULT Invoke(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args = {},
                      VARIANT* result = nullptr, EXCEPINFO* exception = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    EXCEPINFO local{};
    UINT argError = 0;
    const HRESULT hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                 exception ? exception : &local, &argError);
    if (!exception) {
        SysFreeString(local.bstrDescription);
        SysFreeString(local.bstrSource);
        SysFreeString(local.bstrHelpFile);
    }
    return hr;
}

inline std::string ErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK) return "<no error object>";
    Bstr text;
    info->GetDescription(&text.b);
    return text.Text();
}

// A control sited in our container, connected to an event sink and a property-change sink.
struct Sited {
    ComPtr<IVarnel> control = NewControl();
    ComPtr<Site> site = ComPtr<Site>::Adopt(new Site);
    ComPtr<EventSink> events = ComPtr<EventSink>::Adopt(new EventSink(ocx::DiidVarnelEvents()));
    ComPtr<NotifySink> notify = ComPtr<NotifySink>::Adopt(new NotifySink);
    DWORD eventCookie = 0, notifyCookie = 0;

    Sited() {
        if (!control) return;
        As<IOleObject>(control, IID_IOleObject)->SetClientSite(site.Get());
        As<IPersistPropertyBag>(control, IID_IPersistPropertyBag)->InitNew();
        Connect(ocx::DiidVarnelEvents(), events.Get(), &eventCookie);
        Connect(IID_IPropertyNotifySink, notify.Get(), &notifyCookie);
    }
    ComPtr<IConnectionPoint> Point(REFIID iid) {
        ComPtr<IConnectionPoint> point;
        As<IConnectionPointContainer>(control, IID_IConnectionPointContainer)
            ->FindConnectionPoint(iid, point.Put());
        return point;
    }
    void Connect(REFIID iid, IUnknown* sink, DWORD* cookie) {
        EXPECT_EQ(Point(iid)->Advise(sink, cookie), S_OK);
    }
    void SetUserMode(bool on) {
        site->userMode = on;
        As<IOleControl>(control, IID_IOleControl)->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE);
    }
};

}  // namespace varnel::testing
