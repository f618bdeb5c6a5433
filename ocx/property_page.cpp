// The property pages as COM objects. The page's model does the work; this layer keeps the COM
// references, mirrors the widget windows and the model both ways, and runs every model call with
// the selected controls held and inside their Activity.
//
//   window -> model   EN_CHANGE of the text box sets the model's text; BN_CLICKED of an option
//                     selects it in the model.
//   model -> window   after a load, the text box's text and the checked option follow the model.
//                     A load that fails (a value without an option) checks no option.
#include "ocx/property_page.h"

#include <commctrl.h>
#include <prsht.h>

#include <cstring>
#include <new>
#include <string>

#include "control/automation.h"
#include "control/errors.h"
#include "ocx/com_errors.h"
#include "ocx/control.h"
#include "ocx/module.h"
#include "ocx/text.h"

namespace varnel::ocx {

namespace {

constexpr wchar_t kWindowClass[] = L"VarnelPropertyPage";
constexpr UINT_PTR kSubclassId = 0x5641524E;  // 'VARN'

std::string WindowText(HWND window) {
    const int n = GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    const int got = GetWindowTextA(window, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return text;
}

// The option group a page shows, with the name of its widgets; nullptr for the CommPort page.
pages::OptionGroup* OptionsOf(pages::PropertyPage& page, const char** name) {
    if (auto* notify = dynamic_cast<pages::NotifyPage*>(&page)) {
        *name = "optNotify";
        return &notify->optNotify;
    }
    if (auto* units = dynamic_cast<pages::UnitsPage*>(&page)) {
        *name = "optUnits";
        return &units->optUnits;
    }
    return nullptr;
}

}  // namespace

void UnregisterPageWindowClass() {
    UnregisterClassW(kWindowClass, Module());
}

HRESULT PropertyPageObject::Create(std::string_view name, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::unique_ptr<pages::PropertyPage> model = pages::CreatePage(name);
    if (!model) return CLASS_E_CLASSNOTAVAILABLE;
    auto* page = new (std::nothrow) PropertyPageObject(std::move(model));
    if (!page) return E_OUTOFMEMORY;
    const HRESULT hr = page->QueryInterface(iid, out);
    page->Release();
    return hr;
}

PropertyPageObject::PropertyPageObject(std::unique_ptr<pages::PropertyPage> model)
    : model_(std::move(model)) {
    model_->onStatusChange = [this] { OnStatusChange(); };
    ObjectCreated();
}

PropertyPageObject::~PropertyPageObject() {
    if (window_) Deactivate();
    model_->SelectedControls.clear();
    objects_.clear();
    ObjectDestroyed();
}

void* PropertyPageObject::Find(REFIID iid) {
    return iid == IID_IUnknown || iid == IID_IPropertyPage || iid == IID_IPropertyPage2
               ? static_cast<IPropertyPage2*>(this)
               : nullptr;
}

// --- Model calls ---

template <typename F>
HRESULT PropertyPageObject::ModelCall(F&& f) {
    const ComPtr<PropertyPageObject> self(this);
    const std::vector<ComPtr<VarnelControl>> held = objects_;
    std::vector<std::unique_ptr<VarnelControl::Activity>> activities;
    HRESULT hr = S_OK;
    try {
        for (const ComPtr<VarnelControl>& control : held)
            activities.push_back(std::make_unique<VarnelControl::Activity>(*control.Get()));
        ++calls_;
        try {
            f();
        } catch (const AutomationError& e) {
            lastError_ = e;
            hr = HResultOf(e.Number());
        } catch (const std::exception& e) {
            lastError_ = AutomationError(err::kInternal, e.what());
            hr = E_FAIL;
        }
        --calls_;
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    activities.clear();
    if (calls_ == 0 && selectionStale_) {
        SyncSelection();
        Load();
    }
    return hr;
}

void PropertyPageObject::SyncSelection() {
    if (calls_ > 0) {
        // The model is iterating its selection; it learns of the new one when the call ends.
        selectionStale_ = true;
        return;
    }
    selectionStale_ = false;
    model_->SelectedControls.clear();
    for (const ComPtr<VarnelControl>& control : objects_)
        model_->SelectedControls.push_back(&control->Core());
}

void PropertyPageObject::Load() {
    if (calls_ > 0 || objects_.empty()) return;
    const HRESULT hr = ModelCall([&] { model_->SelectionChanged(); });
    // A value without an option fails the load; the page then shows no option selected.
    noOptionShown_ = FAILED(hr);
    ShowModel();
}

void PropertyPageObject::ShowModel() {
    if (!window_) return;
    showing_ = true;
    if (auto* commPort = dynamic_cast<pages::CommPortPage*>(model_.get())) {
        widgets_.SetText("txtCommPort", -1, commPort->txtCommPort.Text());
    }
    const char* name = nullptr;
    if (pages::OptionGroup* options = OptionsOf(*model_, &name)) {
        for (std::int16_t i = 0; i < options->Count(); ++i) {
            const bool checked = !noOptionShown_ && options->Selected() == i;
            SendMessageW(widgets_.Find(name, i), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED,
                         0);
        }
    }
    showing_ = false;
}

void PropertyPageObject::OnCommand(int id, int code, HWND child) {
    if (showing_) return;
    const pages::WidgetDef* widget = widgets_.WidgetOf(id);
    if (!widget || widgets_.Find(widget->name, widget->index) != child) return;
    if (widget->kind == pages::WidgetKind::TextBox && code == EN_CHANGE) {
        auto* commPort = dynamic_cast<pages::CommPortPage*>(model_.get());
        if (!commPort) return;
        const std::string text = WindowText(child);
        ModelCall([&] { commPort->txtCommPort.SetText(text); });
    } else if (widget->kind == pages::WidgetKind::OptionButton && code == BN_CLICKED) {
        const char* name = nullptr;
        pages::OptionGroup* options = OptionsOf(*model_, &name);
        if (!options || widget->index < 0) return;
        const auto index = static_cast<std::int16_t>(widget->index);
        const bool noneShown = noOptionShown_;
        noOptionShown_ = false;
        ModelCall([&] {
            if (options->Selected() != index) {
                options->Select(index);
            } else if (noneShown) {
                // The model still holds this option from before the failed load, so selecting
                // it again raises no click; the user's choice is an edit all the same.
                model_->SetChanged(true);
                OnStatusChange();
            }
        });
    }
}

void PropertyPageObject::OnStatusChange() {
    const ComPtr<IPropertyPageSite> site = site_;
    if (site) site->OnStatusChange(PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE);
}

HWND PropertyPageObject::PropertyWidget() const {
    const char* name = nullptr;
    if (pages::OptionGroup* options = OptionsOf(*model_, &name))
        return widgets_.Find(name, noOptionShown_ ? 0 : options->Selected());
    return widgets_.Find("txtCommPort");
}

// --- Windows ---

LRESULT CALLBACK PropertyPageObject::WindowProc(HWND window, UINT message, WPARAM wparam,
                                                LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* page = reinterpret_cast<PropertyPageObject*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!page) return DefWindowProcW(window, message, wparam, lparam);
    switch (message) {
        case WM_COMMAND:
            if (lparam) {
                const ComPtr<PropertyPageObject> keep(page);
                page->OnCommand(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
                return 0;
            }
            break;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (HBRUSH brush = page->widgets_.Colour(reinterpret_cast<HWND>(lparam),
                                                     reinterpret_cast<HDC>(wparam)))
                return reinterpret_cast<LRESULT>(brush);
            break;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            if (page->window_ == window) page->window_ = nullptr;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// Wine's property frame (OleCreatePropertyFrame, oleaut32) is a comctl32 property sheet whose
// page dialogs ignore PSN_APPLY: it never calls IPropertyPage::Apply. The page therefore applies
// on PSN_APPLY to its parent itself. A frame that also calls Apply applies once: Apply does
// nothing while the page is not dirty.
LRESULT CALLBACK PropertyPageObject::ParentProc(HWND window, UINT message, WPARAM wparam,
                                                LPARAM lparam, UINT_PTR id, DWORD_PTR self) {
    if (message == WM_NOTIFY && lparam &&
        reinterpret_cast<const NMHDR*>(lparam)->code == static_cast<UINT>(PSN_APPLY)) {
        auto* page = reinterpret_cast<PropertyPageObject*>(self);
        const ComPtr<PropertyPageObject> keep(page);
        if (FAILED(page->Apply())) {
            SetWindowLongPtrW(window, DWLP_MSGRESULT, PSNRET_INVALID_NOCHANGEPAGE);
            return PSNRET_INVALID_NOCHANGEPAGE;
        }
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, ParentProc, id);
        auto* page = reinterpret_cast<PropertyPageObject*>(self);
        if (page->parent_ == window) page->parent_ = nullptr;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

// --- IPropertyPage ---

HRESULT PropertyPageObject::SetPageSite(IPropertyPageSite* site) {
    site_ = ComPtr<IPropertyPageSite>(site);
    return S_OK;
}

HRESULT PropertyPageObject::Activate(HWND parent, LPCRECT rect, BOOL) {
    if (!parent || !rect) return E_POINTER;
    if (window_) return E_UNEXPECTED;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExW(Module(), kWindowClass, &wc)) {
        wc = WNDCLASSEXW{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = Module();
        wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
        wc.lpszClassName = kWindowClass;
        if (!RegisterClassExW(&wc)) return HRESULT_FROM_WIN32(GetLastError());
    }
    // No WS_CLIPCHILDREN: a group box does not paint its inside, so the page's own background
    // must be painted there, not the frame's (white on a themed tab).
    HWND window = CreateWindowExW(
        WS_EX_CONTROLPARENT, kWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS, rect->left, rect->top,
        rect->right - rect->left, rect->bottom - rect->top, parent, nullptr, Module(), this);
    if (!window) return HRESULT_FROM_WIN32(GetLastError());
    window_ = window;
    if (!widgets_.Create(window, model_->Layout(), ScreenDpi())) {
        DestroyWindow(window);
        window_ = nullptr;
        return E_OUTOFMEMORY;
    }
    ShowModel();
    if (SetWindowSubclass(parent, ParentProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this)))
        parent_ = parent;
    return S_OK;
}

HRESULT PropertyPageObject::Deactivate() {
    if (!window_) return E_UNEXPECTED;
    if (parent_) {
        RemoveWindowSubclass(parent_, ParentProc, kSubclassId);
        parent_ = nullptr;
    }
    HWND window = window_;
    window_ = nullptr;
    DestroyWindow(window);
    widgets_.Destroy();
    return S_OK;
}

HRESULT PropertyPageObject::GetPageInfo(PROPPAGEINFO* info) {
    if (!info) return E_POINTER;
    const std::wstring title = WideOfAnsi(model_->Name());
    const std::size_t bytes = (title.size() + 1) * sizeof(wchar_t);
    auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!text) return E_OUTOFMEMORY;
    std::memcpy(text, title.c_str(), bytes);
    const int dpi = ScreenDpi();
    info->cb = sizeof *info;
    info->pszTitle = text;
    info->size = SIZE{PixelsOfTwips(pages::PropertyPage::kClientWidth, dpi),
                      PixelsOfTwips(pages::PropertyPage::kClientHeight, dpi)};
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    return S_OK;
}

HRESULT PropertyPageObject::SetObjects(ULONG count, IUnknown** objects) {
    if (count > 0 && !objects) return E_POINTER;
    std::vector<ComPtr<VarnelControl>> controls;
    try {
        for (ULONG i = 0; i < count; ++i) {
            VarnelControl* control = VarnelControl::FromUnknown(objects[i]);
            if (!control) return E_NOINTERFACE;
            controls.push_back(ComPtr<VarnelControl>::Adopt(control));
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    objects_.swap(controls);
    SyncSelection();
    Load();
    return S_OK;
}

HRESULT PropertyPageObject::Show(UINT command) {
    if (!window_) return E_UNEXPECTED;
    ShowWindow(window_, static_cast<int>(command));
    return S_OK;
}

HRESULT PropertyPageObject::Move(LPCRECT rect) {
    if (!rect) return E_POINTER;
    if (!window_) return E_UNEXPECTED;
    MoveWindow(window_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
               TRUE);
    return S_OK;
}

HRESULT PropertyPageObject::IsPageDirty() {
    return model_->Changed() ? S_OK : S_FALSE;
}

HRESULT PropertyPageObject::Apply() {
    if (!model_->Changed()) return S_OK;
    if (applying_) return E_UNEXPECTED;  // a second OK while the first apply's error shows
    const ComPtr<PropertyPageObject> self(this);
    applying_ = true;
    const HRESULT hr = ModelCall([&] { model_->ApplyChanges(); });
    if (SUCCEEDED(hr)) {
        model_->SetChanged(false);
        const ComPtr<IPropertyPageSite> site = site_;
        if (site) site->OnStatusChange(PROPPAGESTATUS_CLEAN);
    } else if (HWND owner = window_ ? window_ : parent_) {
        // The page stays dirty; the user corrects the value or cancels.
        const std::string text = std::string("The ") + model_->Name() +
                                 " page cannot be applied: " + lastError_.Description() +
                                 " (error " + std::to_string(lastError_.Number()) + ").";
        MessageBoxW(owner, WideOfAnsi(text).c_str(), L"Varnel", MB_OK | MB_ICONEXCLAMATION);
    }
    applying_ = false;
    if (FAILED(hr)) ReportError(lastError_, IID_IPropertyPage);
    return hr;
}

HRESULT PropertyPageObject::Help(LPCOLESTR) {
    return E_NOTIMPL;
}

HRESULT PropertyPageObject::TranslateAccelerator(MSG* msg) {
    if (!msg) return E_POINTER;
    if (!window_ || msg->message != WM_KEYDOWN) return S_FALSE;
    switch (msg->wParam) {
        case VK_TAB:
        case VK_LEFT:
        case VK_RIGHT:
        case VK_UP:
        case VK_DOWN:
            break;
        default:
            return S_FALSE;
    }
    if (msg->hwnd != window_ && !IsChild(window_, msg->hwnd)) return S_FALSE;
    return IsDialogMessageW(window_, msg) ? S_OK : S_FALSE;
}

// --- IPropertyPage2 ---

HRESULT PropertyPageObject::EditProperty(DISPID dispid) {
    if (dispid != automation::GetIDOfName(model_->Property())) return E_NOTIMPL;
    if (!window_) return E_UNEXPECTED;
    SetFocus(PropertyWidget());
    return S_OK;
}

}  // namespace varnel::ocx
