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
#include "ocx/com_ptr.h"

namespace varnel::testing {

// The doubles count their references and answer QueryInterface as the control's objects do.
template <typename... Interfaces>
using TestObject = ocx::ComObject<Interfaces...>;

// A client site with an ambient dispatch (UserMode), an in-place site and a control site that
// record what the control asks of them.
class Site final : public TestObject<IOleClientSite, IOleInPlaceSite, IOleControlSite, IDispatch> {
  public:
    bool userMode = true;
    HWND window = nullptr;  // the container's window, for in-place activation
    int layoutRequests = 0;
    std::vector<RECT> positionRequests;
    bool inPlace = false;             // the control is in-place active
    HRESULT frameAnswer = E_NOTIMPL;  // to ShowPropertyFrame: S_OK when the container shows one
    int frameRequests = 0;
    ocx::ComPtr<IOleContainer> container;  // the document the site is in
    ocx::ComPtr<IUnknown> control;         // what a container's site holds: its control

    void* Find(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            return static_cast<IOleClientSite*>(this);
        if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
            return static_cast<IOleInPlaceSite*>(this);
        if (iid == IID_IOleControlSite) return static_cast<IOleControlSite*>(this);
        if (iid == IID_IDispatch) return static_cast<IDispatch*>(this);
        return nullptr;
    }

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
        *out = container.Get();
        if (!*out) return E_NOINTERFACE;
        (*out)->AddRef();
        return S_OK;
    }
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
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override {
        inPlace = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame**, IOleInPlaceUIWindow**, LPRECT,
                                               LPRECT, LPOLEINPLACEFRAMEINFO) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override {
        inPlace = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT rect) override {
        positionRequests.push_back(*rect);
        return S_OK;
    }
    // IOleControlSite
    HRESULT STDMETHODCALLTYPE OnControlInfoChanged() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockInPlaceActive(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetExtendedControl(IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE TransformCoords(POINTL*, POINTF*, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE OnFocus(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShowPropertyFrame() override {
        ++frameRequests;
        return frameAnswer;
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
