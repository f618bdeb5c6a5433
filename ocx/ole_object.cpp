// IOleObject, IOleControl, IOleInPlaceObject and IViewObject2: what a container needs to site,
// size, activate and draw the control. The control has no window of its own and never takes
// the focus (OLEMISC_NOUIACTIVATE); its extent is the fixed face size, which it restores through
// its resize handler whenever the container changes it.
#include <objbase.h>
#include <oleauto.h>

#include <cmath>

#include "control/surface.h"
#include "control/varnel.h"
#include "ocx/control.h"
#include "ocx/guids.h"
#include "ocx/module.h"

namespace varnel::ocx {

namespace {

constexpr int kHimetricPerInch = 2540;

int ScreenDpi(bool across) {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, across ? LOGPIXELSX : LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

}  // namespace

LONG PixelsOfHimetric(LONG himetric, bool across) {
    return MulDiv(himetric, ScreenDpi(across), kHimetricPerInch);
}

LONG HimetricOfPixels(LONG pixels, bool across) {
    return MulDiv(pixels, kHimetricPerInch, ScreenDpi(across));
}

SIZEL HimetricOfTwips(float widthTwips, float heightTwips) {
    constexpr double kPerTwip = kHimetricPerInch / 1440.0;
    return SIZEL{std::lround(widthTwips * kPerTwip), std::lround(heightTwips * kPerTwip)};
}

void VarnelControl::Resized(SIZEL extent) {
    extent_ = extent;
    varnel_->UserControl_Resize();
}

void VarnelControl::SendViewChange() {
    if (!viewSink_) return;
    const ComPtr<IAdviseSink> sink = viewSink_;
    if (viewFlags_ & ADVF_ONLYONCE) viewSink_.Reset();
    sink->OnViewChange(DVASPECT_CONTENT, -1);
}

// --- IOleObject ---

HRESULT VarnelControl::SetClientSite(IOleClientSite* site) {
    site_ = ComPtr<IOleClientSite>(site);
    return S_OK;
}

HRESULT VarnelControl::GetClientSite(IOleClientSite** site) {
    if (!site) return E_POINTER;
    *site = site_.Get();
    if (*site) (*site)->AddRef();
    return S_OK;
}

HRESULT VarnelControl::SetHostNames(LPCOLESTR, LPCOLESTR) {
    return S_OK;
}

HRESULT VarnelControl::Close(DWORD saveOption) {
    const Activity activity(*this);
    InPlaceDeactivate();
    if (dirty_ && site_ &&
        (saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE)) {
        site_->SaveObject();
    }
    if (oleAdvise_) oleAdvise_->SendOnClose();
    return S_OK;
}

HRESULT VarnelControl::SetMoniker(DWORD, IMoniker*) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::GetMoniker(DWORD, DWORD, IMoniker** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT VarnelControl::InitFromData(IDataObject*, BOOL, DWORD) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::GetClipboardData(DWORD, IDataObject** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT VarnelControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT rect) {
    const Activity activity(*this);
    switch (verb) {
        case OLEIVERB_HIDE:
            return InPlaceDeactivate();
        case OLEIVERB_OPEN:
            return E_NOTIMPL;
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            break;
        default:
            if (verb < 0) return E_NOTIMPL;
            break;  // an unknown verb of the object's own: the primary one
    }
    if (!inPlaceActive_) {
        ComPtr<IOleInPlaceSite> inPlace;
        IOleClientSite* from = site ? site : site_.Get();
        if (from && SUCCEEDED(from->QueryInterface(IID_IOleInPlaceSite, inPlace.PutVoid())) &&
            inPlace->CanInPlaceActivate() == S_OK) {
            inPlace->OnInPlaceActivate();
            inPlaceActive_ = true;
        }
    }
    if (inPlaceActive_ && rect) SetObjectRects(rect, rect);
    return verb > 0 ? OLEOBJ_S_INVALIDVERB : S_OK;
}

HRESULT VarnelControl::EnumVerbs(IEnumOLEVERB** out) {
    if (out) *out = nullptr;
    return OLEOBJ_E_NOVERBS;
}

HRESULT VarnelControl::Update() {
    return S_OK;
}

HRESULT VarnelControl::IsUpToDate() {
    return S_OK;
}

HRESULT VarnelControl::GetUserClassID(CLSID* clsid) {
    return GetClassID(clsid);
}

HRESULT VarnelControl::GetUserType(DWORD, LPOLESTR* type) {
    if (type) *type = nullptr;
    return OLE_S_USEREG;
}

HRESULT VarnelControl::SetExtent(DWORD aspect, SIZEL* size) {
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    const Activity activity(*this);
    Resized(*size);
    return S_OK;
}

HRESULT VarnelControl::GetExtent(DWORD aspect, SIZEL* size) {
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extent_;
    return S_OK;
}

HRESULT VarnelControl::Advise(IAdviseSink* sink, DWORD* connection) {
    if (!oleAdvise_) {
        const HRESULT hr = CreateOleAdviseHolder(oleAdvise_.Put());
        if (FAILED(hr)) return hr;
    }
    return oleAdvise_->Advise(sink, connection);
}

HRESULT VarnelControl::Unadvise(DWORD connection) {
    return oleAdvise_ ? oleAdvise_->Unadvise(connection) : OLE_E_NOCONNECTION;
}

HRESULT VarnelControl::EnumAdvise(IEnumSTATDATA** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return oleAdvise_ ? oleAdvise_->EnumAdvise(out) : S_OK;
}

HRESULT VarnelControl::GetMiscStatus(DWORD aspect, DWORD* status) {
    if (!status) return E_POINTER;
    *status = aspect == DVASPECT_CONTENT ? surface::kOleMiscStatus : 0;
    return S_OK;
}

HRESULT VarnelControl::SetColorScheme(LOGPALETTE*) {
    return E_NOTIMPL;
}

// --- IOleControl ---

HRESULT VarnelControl::GetControlInfo(CONTROLINFO* info) {
    if (!info) return E_POINTER;
    if (info->cb < sizeof(CONTROLINFO)) return E_INVALIDARG;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

HRESULT VarnelControl::OnMnemonic(MSG*) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::OnAmbientPropertyChange(DISPID id) {
    // UserMode is read afresh at every use; only the face, shown in design mode, changes.
    if (id == DISPID_AMBIENT_USERMODE || id == DISPID_UNKNOWN) SendViewChange();
    return S_OK;
}

HRESULT VarnelControl::FreezeEvents(BOOL freeze) {
    if (freeze) {
        ++frozenEvents_;
    } else if (frozenEvents_ > 0) {
        --frozenEvents_;
    }
    return S_OK;
}

// --- IOleWindow, IOleInPlaceObject ---

HRESULT VarnelControl::GetWindow(HWND* window) {
    if (!window) return E_POINTER;
    *window = nullptr;
    return E_FAIL;  // no window of its own
}

HRESULT VarnelControl::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::InPlaceDeactivate() {
    if (!inPlaceActive_) return S_OK;
    inPlaceActive_ = false;
    ComPtr<IOleInPlaceSite> inPlace;
    if (site_ && SUCCEEDED(site_.As(IID_IOleInPlaceSite, inPlace))) inPlace->OnInPlaceDeactivate();
    return S_OK;
}

HRESULT VarnelControl::UIDeactivate() {
    return S_OK;
}

HRESULT VarnelControl::SetObjectRects(LPCRECT position, LPCRECT) {
    if (!position) return E_POINTER;
    const Activity activity(*this);
    position_ = *position;
    const LONG width = position->right - position->left;
    const LONG height = position->bottom - position->top;
    // Pixels and HIMETRIC do not map one to one: a rectangle of the extent's size in pixels is
    // the extent.
    const bool sameAsExtent = PixelsOfHimetric(extent_.cx, true) == width &&
                              PixelsOfHimetric(extent_.cy, false) == height;
    const SIZEL size{HimetricOfPixels(width, true), HimetricOfPixels(height, false)};
    if (!sameAsExtent) Resized(size);
    return S_OK;
}

HRESULT VarnelControl::ReactivateAndUndo() {
    return INPLACE_E_NOTUNDOABLE;
}

// --- IViewObject2 ---

HRESULT VarnelControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                            LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                            ULONG_PTR) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!dc || !bounds) return E_INVALIDARG;
    const Activity activity(*this);
    if (UserMode()) return S_OK;  // invisible while the host runs
    // Design mode: the face picture, scaled to the bounds; its bottom half-pixel row is cut off.
    HBITMAP picture = LoadBitmapW(Module(), L"VARNEL_FACE");
    if (!picture) return S_OK;
    HDC memory = CreateCompatibleDC(dc);
    if (memory) {
        HGDIOBJ old = SelectObject(memory, picture);
        const int faceHeight = static_cast<int>(surface::kFaceHeightTwips / 15.0f);
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchBlt(dc, bounds->left, bounds->top, bounds->right - bounds->left,
                   bounds->bottom - bounds->top, memory, 0, 0, surface::kFacePicture.width,
                   faceHeight, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
    }
    DeleteObject(picture);
    return S_OK;
}

HRESULT VarnelControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
    if (!colors) return E_POINTER;
    *colors = nullptr;
    return S_FALSE;
}

HRESULT VarnelControl::Freeze(DWORD, LONG, void*, DWORD*) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::Unfreeze(DWORD) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    viewAspects_ = aspects;
    viewFlags_ = flags;
    viewSink_ = ComPtr<IAdviseSink>(sink);
    return S_OK;
}

HRESULT VarnelControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects) *aspects = viewAspects_;
    if (flags) *flags = viewFlags_;
    if (sink) {
        *sink = viewSink_.Get();
        if (*sink) (*sink)->AddRef();
    }
    return S_OK;
}

HRESULT VarnelControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    return GetExtent(aspect, size);
}

}  // namespace varnel::ocx
