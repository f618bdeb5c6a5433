#include "ocx/about_window.h"

#include <string>
#include <vector>

#include "control/errors.h"
#include "ocx/form_window.h"
#include "ocx/module.h"
#include "ocx/text.h"
#include "pages/about_dialog.h"

namespace varnel::ocx {

namespace {

using pages::AboutDialog;

constexpr DWORD kStyle = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

// The state of one shown dialog; dialogs may nest (AboutBox from an event handler).
struct Shown {
    AboutDialog& model;
    FormWidgets widgets;
};

int CloseId() {
    const auto layout = AboutDialog::Layout();
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (std::string_view(layout[i].name) == AboutDialog::kFocusWidget)
            return FormWidgets::kFirstId + static_cast<int>(i);
    }
    return -1;
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* shown = reinterpret_cast<Shown*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG: {
            shown = reinterpret_cast<Shown*>(lparam);
            SetWindowLongPtrW(window, DWLP_USER, lparam);
            SetWindowTextW(window, WideOfAnsi(AboutDialog::kCaption).c_str());
            const int dpi = ScreenDpi();
            RECT frame{0, 0, PixelsOfTwips(AboutDialog::kClientWidth, dpi),
                       PixelsOfTwips(AboutDialog::kClientHeight, dpi)};
            AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
            const int width = frame.right - frame.left;
            const int height = frame.bottom - frame.top;
            SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                         (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            if (!shown->widgets.Create(window, AboutDialog::Layout(), dpi)) {
                EndDialog(window, -1);
                return TRUE;
            }
            shown->widgets.SetText("lblVersion", -1, shown->model.lblVersion());
            shown->model.onUnload = [window] { EndDialog(window, IDOK); };
            SetFocus(shown->widgets.Find(AboutDialog::kFocusWidget));
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (!shown) return FALSE;
            // Enter reaches the focused Close button as IDOK; Escape (IDCANCEL) does nothing.
            if ((LOWORD(wparam) == CloseId() && HIWORD(wparam) == BN_CLICKED) ||
                (LOWORD(wparam) == IDOK &&
                 GetFocus() == shown->widgets.Find(AboutDialog::kFocusWidget))) {
                shown->model.cmdClose_Click();
            }
            return TRUE;
        case WM_CLOSE:
            if (shown) shown->model.CloseBox_Click();
            return TRUE;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (!shown) return FALSE;
            return reinterpret_cast<INT_PTR>(shown->widgets.Colour(reinterpret_cast<HWND>(lparam),
                                                                   reinterpret_cast<HDC>(wparam)));
        case WM_DESTROY:
            if (shown) shown->widgets.Destroy();
            return FALSE;
        default:
            return FALSE;
    }
}

// An empty dialog template: the frame, its caption and size are set when the dialog starts.
std::vector<WORD> Template() {
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD) + 3, 0);  // no menu, class, title
    auto* t = reinterpret_cast<DLGTEMPLATE*>(words.data());
    t->style = kStyle;
    t->dwExtendedStyle = kExStyle;
    return words;
}

[[noreturn]] void ThrowCannotShow(DWORD error) {
    std::string text = "The About dialog could not be shown";
    if (error != 0) text += " (Windows error " + std::to_string(error) + ")";
    throw AutomationError(err::kInternal, text);
}

}  // namespace

void ShowAboutWindow(AboutDialog& dialog) {
    if (!dialog.Loaded()) return;
    // An invisible owner keeps the dialog off the task bar; no window of the host is named.
    HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 Module(), nullptr);
    if (!owner) ThrowCannotShow(GetLastError());
    Shown shown{dialog, {}};
    const std::vector<WORD> words = Template();
    const INT_PTR result =
        DialogBoxIndirectParamW(Module(), reinterpret_cast<const DLGTEMPLATE*>(words.data()), owner,
                                DialogProc, reinterpret_cast<LPARAM>(&shown));
    const DWORD error = GetLastError();
    dialog.onUnload = nullptr;
    DestroyWindow(owner);
    if (result == -1) ThrowCannotShow(error);
}

}  // namespace varnel::ocx
