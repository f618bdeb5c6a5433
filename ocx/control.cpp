// The control object: creation, identity, lifetime, and the small interfaces that describe it to
// a container (class information, error support, property pages and categories, connection
// points).
#include "ocx/control.h"

#include <objbase.h>
#include <oleauto.h>

#include <new>

#include "control/automation.h"
#include "control/surface.h"
#include "control/varnel.h"
#include "ocx/com_errors.h"
#include "ocx/com_variant.h"
#include "ocx/guarded_components.h"
#include "ocx/guids.h"
#include "ocx/module.h"
#include "platform/win32/runtime.h"

namespace varnel::ocx {

namespace {

// The property browser's category of the control's own, for the properties the table lists.
constexpr PROPCAT kCategoryWtMeter = 1;

// Answered only by VarnelControl, with its IVarnel pointer: how the property pages recognise the
// control among the objects a host hands them. {6C1A4F0E-3B2D-4E8A-9D51-7F0B2C9E4A13}
constexpr IID kIidVarnelControl = {
    0x6C1A4F0E, 0x3B2D, 0x4E8A, {0x9D, 0x51, 0x7F, 0x0B, 0x2C, 0x9E, 0x4A, 0x13}};

}  // namespace

HRESULT VarnelControl::Create(REFIID iid, void** out) {
    VarnelControl* control = nullptr;
    const HRESULT created = Guarded(IID_IUnknown, [&] {
        control = new VarnelControl();
        // A dual interface needs its type information; without it the control cannot work.
        const HRESULT hr = control->LoadTypeInfo();
        if (FAILED(hr)) {
            delete control;
            control = nullptr;
            throw AutomationError(hr, "The type library of Varnel.ocx cannot be read");
        }
    });
    if (FAILED(created)) return created;
    const HRESULT hr = control->QueryInterface(iid, out);
    control->Release();
    return hr;
}

VarnelControl::VarnelControl()
    : events_(*this, DiidVarnelEvents()), propertyNotify_(*this, IID_IPropertyNotifySink) {
    runtime_ = std::make_unique<win32::Runtime>();
    HostedComponents hosted = Guard(*this, runtime_->MakeHostedComponents());
    comm_ = hosted.comm.get();
    reconnect_ = hosted.reconnect.get();
    commTimeout_ = hosted.commTimeout.get();
    varnel_ = std::make_unique<Varnel>(static_cast<Container&>(*this), runtime_->Services(),
                                       std::move(hosted));
    extent_ = HimetricOfTwips(surface::kFaceWidthTwips, surface::kFaceHeightTwips);
    ObjectCreated();
}

VarnelControl::~VarnelControl() {
    if (faceWindow_) DestroyWindow(faceWindow_);
    varnel_.reset();  // its serial port closes and its timers stop with it
    runtime_.reset();
    events_.DisconnectAll();
    propertyNotify_.DisconnectAll();
    ObjectDestroyed();
}

bool VarnelControl::LinkInUse() const {
    return comm_->PortOpen() || reconnect_->Enabled() || commTimeout_->Enabled();
}

VarnelControl::Activity::~Activity() {
    if (--control_.depth_ == 0 && control_.released_ && control_.refs_ == 0) delete &control_;
}

HRESULT VarnelControl::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IidVarnel() ||
        iid == kIidVarnelControl) {
        *out = static_cast<IVarnel*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
        *out = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
        *out = static_cast<IProvideClassInfo2*>(this);
    } else if (iid == IID_IPersist || iid == IID_IPersistPropertyBag) {
        *out = static_cast<IPersistPropertyBag*>(this);
    } else if (iid == IID_IPersistStreamInit || iid == IID_IPersistStream) {
        // IPersistStream's functions are the first ones of IPersistStreamInit.
        *out = static_cast<IPersistStreamInit*>(this);
    } else if (iid == IID_IPersistStorage) {
        *out = static_cast<IPersistStorage*>(this);
    } else if (iid == IID_IOleObject) {
        *out = static_cast<IOleObject*>(this);
    } else if (iid == IID_IOleControl) {
        *out = static_cast<IOleControl*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) {
        *out = static_cast<IOleInPlaceObject*>(this);
    } else if (iid == IID_IViewObject || iid == IID_IViewObject2) {
        *out = static_cast<IViewObject2*>(this);
    } else if (iid == IID_ISpecifyPropertyPages) {
        *out = static_cast<ISpecifyPropertyPages*>(this);
    } else if (iid == kIidICategorizeProperties) {
        *out = static_cast<ICategorizeProperties*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
        *out = static_cast<ISupportErrorInfo*>(this);
    } else if (iid == IID_IObjectSafety) {
        *out = static_cast<IObjectSafety*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

VarnelControl* VarnelControl::FromUnknown(IUnknown* object) {
    void* found = nullptr;
    if (!object || FAILED(object->QueryInterface(kIidVarnelControl, &found)) || !found)
        return nullptr;
    return static_cast<VarnelControl*>(static_cast<IVarnel*>(found));
}

ULONG VarnelControl::AddRef() {
    return static_cast<ULONG>(++refs_);
}

ULONG VarnelControl::Release() {
    const long left = --refs_;
    if (left == 0) {
        if (depth_ > 0) {
            released_ = true;  // the outermost Activity deletes it
        } else {
            delete this;
        }
    }
    return static_cast<ULONG>(left);
}

HRESULT VarnelControl::LoadTypeInfo() {
    const std::wstring path = ModulePath();
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library_.Put());
    if (SUCCEEDED(hr)) hr = library_->GetTypeInfoOfGuid(IidVarnel(), dispatchInfo_.Put());
    // The dual interface's function-table view, for ITypeInfo::Invoke.
    HREFTYPE ref = 0;
    if (SUCCEEDED(hr)) hr = dispatchInfo_->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (SUCCEEDED(hr)) hr = dispatchInfo_->GetRefTypeInfo(ref, vtableInfo_.Put());
    return hr;
}

// --- IConnectionPointContainer ---

HRESULT VarnelControl::EnumConnectionPoints(IEnumConnectionPoints** out) {
    return NewConnectionPointEnumerator(
        {ComPtr<IConnectionPoint>(&events_), ComPtr<IConnectionPoint>(&propertyNotify_)}, out);
}

HRESULT VarnelControl::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == DiidVarnelEvents()) {
        *out = &events_;
    } else if (iid == IID_IPropertyNotifySink) {
        *out = &propertyNotify_;
    } else {
        return CONNECT_E_NOCONNECTION;
    }
    (*out)->AddRef();
    return S_OK;
}

// --- IProvideClassInfo2 ---

HRESULT VarnelControl::GetClassInfo(ITypeInfo** out) {
    if (!out) return E_POINTER;
    return library_->GetTypeInfoOfGuid(ClsidVarnel(), out);
}

HRESULT VarnelControl::GetGUID(DWORD kind, GUID* guid) {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *guid = DiidVarnelEvents();
    return S_OK;
}

// --- ISupportErrorInfo ---

HRESULT VarnelControl::InterfaceSupportsErrorInfo(REFIID iid) {
    const bool ours = iid == IidVarnel() || iid == IID_IDispatch ||
                      iid == IID_IPersistPropertyBag || iid == IID_IPersistStreamInit ||
                      iid == IID_IPersistStream || iid == IID_IPersistStorage;
    return ours ? S_OK : S_FALSE;
}

// --- ISpecifyPropertyPages ---

HRESULT VarnelControl::GetPages(CAUUID* pages) {
    if (!pages) return E_POINTER;
    const auto count = static_cast<ULONG>(automation::kPages.size());
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(count * sizeof(GUID)));
    if (!pages->pElems) {
        pages->cElems = 0;
        return E_OUTOFMEMORY;
    }
    pages->cElems = count;
    for (ULONG i = 0; i < count; ++i)
        pages->pElems[i] = ToGuid(automation::kPages[i].clsid);
    return S_OK;
}

// --- ICategorizeProperties ---

HRESULT VarnelControl::MapPropertyToCategory(DISPID dispid, PROPCAT* category) {
    if (!category) return E_POINTER;
    const char* name = automation::NameOf(dispid);
    if (!name || !automation::CategoryOf(name)) return E_FAIL;
    *category = kCategoryWtMeter;
    return S_OK;
}

HRESULT VarnelControl::GetCategoryName(PROPCAT category, LCID, BSTR* name) {
    if (!name) return E_POINTER;
    *name = nullptr;
    if (category != kCategoryWtMeter) return E_FAIL;
    return Guarded(IID_IUnknown, [&] { *name = NewBstr(automation::kCategoryWtMeter); });
}

}  // namespace varnel::ocx
