// COM test doubles for a container test: a client site with an ambient UserMode, event and
// property-change sinks, and an in-memory property bag.
#pragma once

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ocx/com_object.h"

namespace varnel::testing {

// The doubles count their references and answer QueryInterface as the control's objects do.
template <typename... Interfaces>
using TestObject = ocx::ComObject<Interfaces...>;

// A client site with an ambient dispatch (UserMode) and an in-place site that records what the
// control asks of it.
class Site final : public TestObject<IOleClientSite, IOleInPlaceSite, IDispatch> {
  public:
    bool userMode = true;
    HWND window = nullptr;  // the container's window, for in-place activation
    int layoutRequests = 0;
    std::vector<RECT> positionRequests;

    void* Find(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            return static_cast<IOleClientSite*>(this);
        if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
            return static_cast<IOleInPlaceSite*>(this);
        if (iid == IID_IDispatch) return static_cast<IDispatch*>(this);
        return nullptr;
    }

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override {
        ++layoutRequests;
        return S_OK;
    }
    // IOleWindow, IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* w) override {
        *w = window;
        return window ? S_OK : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame**, IOleInPlaceUIWindow**, LPRECT,
                                               LPRECT, LPOLEINPLACEFRAMEINFO) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT rect) override {
        positionRequests.push_back(*rect);
        return S_OK;
    }
    // IDispatch: the ambient properties
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
        if (id != DISPID_AMBIENT_USERMODE || !(flags & DISPATCH_PROPERTYGET) || !result)
            return DISP_E_MEMBERNOTFOUND;
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = userMode ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
};

// A sink of the control's event interface; OnScaleComm runs onEvent.
class EventSink final : public TestObject<IDispatch> {
  public:
    explicit EventSink(const IID& iid) : iid_(iid) {}
    std::function<void()> onEvent;
    int events = 0;

    void* Find(REFIID iid) override {
        return iid == IID_IUnknown || iid == IID_IDispatch || iid == iid_
                   ? static_cast<IDispatch*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        if (id != 1) return DISP_E_MEMBERNOTFOUND;
        ++events;
        if (onEvent) onEvent();
        return S_OK;
    }

  private:
    IID iid_;
};

class NotifySink final : public TestObject<IPropertyNotifySink> {
  public:
    std::vector<DISPID> changed;
    std::function<void(DISPID)> onChanged;
    void* Find(REFIID iid) override {
        return iid == IID_IUnknown || iid == IID_IPropertyNotifySink
                   ? static_cast<IPropertyNotifySink*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override {
        changed.push_back(id);
        if (onChanged) onChanged(id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }
};

// Keys and values in the order they were written.
class MemoryBag final : public TestObject<IPropertyBag> {
  public:
    std::vector<std::pair<std::wstring, VARIANT>> values;

    void Set(const std::wstring& key, const VARIANT& v) {
        for (auto& [k, value] : values) {
            if (k == key) {
                VariantCopy(&value, const_cast<VARIANT*>(&v));
                return;
            }
        }
        VARIANT copy;
        VariantInit(&copy);
        VariantCopy(&copy, const_cast<VARIANT*>(&v));
        values.emplace_back(key, copy);
    }
    std::vector<std::wstring> Keys() const {
        std::vector<std::wstring> keys;
        for (const auto& kv : values)
            keys.push_back(kv.first);
        return keys;
    }

    void* Find(REFIID iid) override {
        return iid == IID_IUnknown || iid == IID_IPropertyBag ? static_cast<IPropertyBag*>(this)
                                                              : nullptr;
    }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR key, VARIANT* out, IErrorLog*) override {
        for (auto& [k, value] : values) {
            if (k == key) return VariantCopy(out, &value);
        }
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR key, VARIANT* v) override {
        Set(key, *v);
        return S_OK;
    }

  private:
    ~MemoryBag() override {
        for (auto& kv : values)
            VariantClear(&kv.second);
    }
};

}  // namespace varnel::testing
