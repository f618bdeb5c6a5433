// IOleObject, IOleControl, IOleInPlaceObject and IViewObject2: what a container needs to site,
// size, activate and draw the control. The control has a window only while it is in-place active
// in design mode, showing its face; it never takes the focus (OLEMISC_NOUIACTIVATE); its extent is
// the fixed face size, which it restores through its resize handler whenever the container changes
// it.
//
// Verbs (EnumVerbs lists them, in this order):
//   OLEIVERB_PRIMARY, SHOW, INPLACEACTIVATE, UIACTIVATE   in-place activation (the face in design
//       mode); a positive verb the control does not know does the same and answers
//       OLEOBJ_S_INVALIDVERB
//   OLEIVERB_HIDE         in-place deactivation
//   OLEIVERB_PROPERTIES   the property pages: the container's own frame when its site offers one
//       (IOleControlSite::ShowPropertyFrame), else the system's (OleCreatePropertyFrame), owned by
//       the site's window; the only verb on a container's menu
//   any other negative verb (OLEIVERB_OPEN, ...) answers E_NOTIMPL.
// Close closes the link as ScaleOpen with 0 does and lets go of everything the container gave
// the control for its running state: the client site and the view's and the object's advise
// sinks. A container that never calls SetAdvise(..., NULL) or SetClientSite(NULL) leaves no
// cycle behind. (The connection points' sinks stay: the container that advised them unadvises.)
#include <objbase.h>
#include <oleauto.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "control/surface.h"
#include "control/varnel.h"
#include "ocx/com_errors.h"
#include "ocx/com_object.h"
#include "ocx/control.h"
#include "ocx/form_window.h"
#include "ocx/guids.h"
#include "ocx/module.h"

namespace varnel::ocx {

namespace {

constexpr int kHimetricPerInch = 2540;

// The face picture scaled to bounds; its bottom half-pixel row is cut off.
void DrawFace(HDC dc, const RECT& bounds) {
    HBITMAP picture = LoadBitmapW(Module(), L"VARNEL_FACE");
    if (!picture) return;
    if (HDC memory = CreateCompatibleDC(dc)) {
        HGDIOBJ old = SelectObject(memory, picture);
        const int faceHeight = static_cast<int>(surface::kFaceHeightTwips / 15.0f);
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchBlt(dc, bounds.left, bounds.top, bounds.right - bounds.left,
                   bounds.bottom - bounds.top, memory, 0, 0, surface::kFacePicture.width,
                   faceHeight, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
    }
    DeleteObject(picture);
}

// The in-place window of design mode: shows the face, never takes the focus.
LRESULT CALLBACK FaceProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            DrawFace(dc, client);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

struct Verb {
    LONG verb;
    const wchar_t* name;
    DWORD attributes;
};
constexpr Verb kVerbs[] = {
    {OLEIVERB_PRIMARY, L"&Activate", OLEVERBATTRIB_NEVERDIRTIES},
    {OLEIVERB_SHOW, L"&Show", OLEVERBATTRIB_NEVERDIRTIES},
    {OLEIVERB_INPLACEACTIVATE, L"&In-place activate", OLEVERBATTRIB_NEVERDIRTIES},
    {OLEIVERB_UIACTIVATE, L"&UI activate", OLEVERBATTRIB_NEVERDIRTIES},
    {OLEIVERB_HIDE, L"&Hide", OLEVERBATTRIB_NEVERDIRTIES},
    {OLEIVERB_PROPERTIES, L"&Properties...", OLEVERBATTRIB_ONCONTAINERMENU},
};

struct VerbTraits {
    using Interface = IEnumOLEVERB;
    using Item = OLEVERB;
    using Stored = Verb;
    static const IID& Iid() { return IID_IEnumOLEVERB; }
    static HRESULT Copy(const Verb& verb, OLEVERB& out) {
        const std::size_t bytes = (std::wcslen(verb.name) + 1) * sizeof(wchar_t);
        auto* name = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!name) return E_OUTOFMEMORY;
        std::memcpy(name, verb.name, bytes);
        out = OLEVERB{verb.verb, name, MF_STRING | MF_ENABLED, verb.attributes};
        return S_OK;
    }
    static void Free(OLEVERB& verb) { CoTaskMemFree(verb.lpszVerbName); }
};

// The window that owns the property frame: the in-place site's, the container's, or the one
// DoVerb names.
HWND FrameOwner(IOleClientSite* site, HWND parent) {
    HWND window = nullptr;
    ComPtr<IOleInPlaceSite> inPlace;
    if (site && SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSite, inPlace.PutVoid())) &&
        SUCCEEDED(inPlace->GetWindow(&window)) && window)
        return window;
    ComPtr<IOleContainer> container;
    ComPtr<IOleWindow> containerWindow;
    if (site && SUCCEEDED(site->GetContainer(container.Put())) && container &&
        SUCCEEDED(container.As(IID_IOleWindow, containerWindow)) &&
        SUCCEEDED(containerWindow->GetWindow(&window)) && window)
        return window;
    return parent;
}

bool RegisterFaceClass() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = FaceProc;
    wc.hInstance = Module();
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.lpszClassName = kFaceWindowClass;
    return RegisterClassW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

void VarnelControl::UpdateFaceWindow() {
    const bool wanted = inPlaceActive_ && !released_ && !UserMode();
    if (!wanted) {
        if (faceWindow_) DestroyWindow(faceWindow_);
        faceWindow_ = nullptr;
        return;
    }
    if (faceWindow_) {
        SetWindowPos(faceWindow_, nullptr, position_.left, position_.top,
                     position_.right - position_.left, position_.bottom - position_.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    ComPtr<IOleInPlaceSite> inPlace;
    HWND parent = nullptr;
    if (!site_ || FAILED(site_.As(IID_IOleInPlaceSite, inPlace)) ||
        FAILED(inPlace->GetWindow(&parent)) || !parent || !RegisterFaceClass())
        return;
    faceWindow_ =
        CreateWindowExW(0, kFaceWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                        position_.left, position_.top, position_.right - position_.left,
                        position_.bottom - position_.top, parent, nullptr, Module(), nullptr);
}

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
    HRESULT hr = S_OK;
    if (LinkInUse()) {
        hr = Guarded(IID_IOleObject, [&] {
            std::int16_t close = 0;
            varnel_->ScaleOpen(close);
        });
    }
    if (oleAdvise_) oleAdvise_->SendOnClose();
    // Released last and one by one: a release may run the container's code, even its last
    // Release of the control (the Activity keeps the object until Close returns).
    ComPtr<IAdviseSink> viewSink = std::move(viewSink_);
    ComPtr<IOleAdviseHolder> oleAdvise = std::move(oleAdvise_);
    ComPtr<IOleClientSite> site = std::move(site_);
    viewSink.Reset();
    oleAdvise.Reset();
    site.Reset();
    return hr;
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

HRESULT VarnelControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                              LPCRECT rect) {
    const Activity activity(*this);
    switch (verb) {
        case OLEIVERB_HIDE:
            return InPlaceDeactivate();
        case OLEIVERB_PROPERTIES:
            return ShowProperties(site ? site : site_.Get(), parent);
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
    UpdateFaceWindow();
    return verb > 0 ? OLEOBJ_S_INVALIDVERB : S_OK;
}

HRESULT VarnelControl::EnumVerbs(IEnumOLEVERB** out) {
    return ListEnumerator<VerbTraits>::Create({std::begin(kVerbs), std::end(kVerbs)}, out);
}

HRESULT VarnelControl::ShowProperties(IOleClientSite* site, HWND parent) {
    ComPtr<IOleControlSite> controlSite;
    if (site && SUCCEEDED(site->QueryInterface(IID_IOleControlSite, controlSite.PutVoid())) &&
        SUCCEEDED(controlSite->ShowPropertyFrame()))
        return S_OK;
    CAUUID pages{};
    HRESULT hr = GetPages(&pages);
    if (FAILED(hr)) return hr;
    IUnknown* self = static_cast<IVarnel*>(this);
    hr = OleCreatePropertyFrame(FrameOwner(site, parent), 0, 0, L"Varnel", 1, &self, pages.cElems,
                                pages.pElems, LOCALE_USER_DEFAULT, 0, nullptr);
    CoTaskMemFree(pages.pElems);
    return hr;
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
    if (id == DISPID_AMBIENT_USERMODE || id == DISPID_UNKNOWN) {
        UpdateFaceWindow();
        SendViewChange();
    }
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
    *window = faceWindow_;
    return faceWindow_ ? S_OK : E_FAIL;  // a window in design mode only
}

HRESULT VarnelControl::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

HRESULT VarnelControl::InPlaceDeactivate() {
    if (!inPlaceActive_) return S_OK;
    inPlaceActive_ = false;
    UpdateFaceWindow();
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
    UpdateFaceWindow();
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
    DrawFace(dc, RECT{bounds->left, bounds->top, bounds->right, bounds->bottom});
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
