// Varnel.ocx's design-time face on a display under Wine: the picture drawn through IViewObject
// and on its design-mode window, nothing at run time, and the About dialog shown modally while
// the control goes on receiving. Run through tests/ocx/on_display.sh (a virtual display at a set
// dpi; with tests/win32/run_on_com_ports.sh inside it, the scale writes on a COM port meanwhile).
// Needs the control registered.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "control/surface.h"
#include "pages/about_dialog.h"
#include "tests/ocx/com_helpers.h"
#include "tests/ocx/screenshot.h"
#include "tests/support/test_util.h"
#include "tests/win32/wine_com.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using pages::AboutDialog;
using pages::WidgetDef;

// The dialog's widgets have the ids 1000 + their place in the layout.
constexpr int kFirstWidgetId = 1000;

int Dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

int Px(int twips, int dpi) {
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

// Where a widget belongs at dpi, from the window's client corner (inside its frame, if any).
RECT Expected(const WidgetDef& w, int dpi) {
    int left = w.left, top = w.top;
    if (const WidgetDef* frame = w.parent ? FindWidget(AboutDialog::Layout(), w.parent) : nullptr) {
        left += frame->left;
        top += frame->top;
    }
    return RECT{Px(left, dpi), Px(top, dpi), Px(left + w.width, dpi), Px(top + w.height, dpi)};
}

// The dpi the run was set up with is the one the screen reports.
TEST(DisplayTest, RunsAtTheDpiItWasSetUpWith) {
    const char* wanted = std::getenv("VARNEL_DPI");
    ASSERT_NE(wanted, nullptr) << "run this program through tests/ocx/on_display.sh";
    EXPECT_EQ(Dpi(), std::atoi(wanted));
}

// --- The face ---

constexpr COLORREF kUntouched = RGB(255, 0, 255);

// A 24-bit bitmap to draw into, filled with kUntouched; pixels read back as COLORREF.
class Canvas {
  public:
    Canvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        HBRUSH fill = CreateSolidBrush(kUntouched);
        RECT all{0, 0, width, height};
        FillRect(dc_, &all, fill);
        DeleteObject(fill);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    HDC Dc() const { return dc_; }
    COLORREF At(int x, int y) const {
        GdiFlush();
        const auto p = static_cast<const std::uint32_t*>(bits_)[y * width_ + x];
        return RGB((p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff);
    }
    int Width() const { return width_; }
    int Height() const { return height_; }

  private:
    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    void* bits_ = nullptr;
};

// The face picture as shipped, drawn at its own size.
std::vector<COLORREF> FacePixels() {
    const std::string path = std::string("Z:") + VARNEL_RESOURCES_DIR + "/varnel_face.bmp";
    auto* picture = static_cast<HBITMAP>(
        LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    EXPECT_NE(picture, nullptr) << path;
    const surface::Bitmap& face = surface::kFacePicture;
    Canvas canvas(face.width, face.height);
    HDC memory = CreateCompatibleDC(canvas.Dc());
    HGDIOBJ old = SelectObject(memory, picture);
    BitBlt(canvas.Dc(), 0, 0, face.width, face.height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(picture);
    std::vector<COLORREF> out;
    for (int y = 0; y < face.height; ++y) {
        for (int x = 0; x < face.width; ++x)
            out.push_back(canvas.At(x, y));
    }
    return out;
}

// A top-level window standing for the host's form, with the control in-place active on it.
class Form {
  public:
    Form() {
        window = CreateWindowExW(0, L"STATIC", L"Form", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40,
                                 200, 120, nullptr, nullptr, nullptr, nullptr);
        s.site->window = window;
    }
    ~Form() { DestroyWindow(window); }
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;
    HRESULT Activate() {
        const RECT r{20, 20, 20 + 36, 20 + 32};
        return As<IOleObject>(s.control, IID_IOleObject)
            ->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, s.site.Get(), 0, window, &r);
    }
    HWND ControlWindow() {
        HWND w = nullptr;
        return SUCCEEDED(As<IOleInPlaceObject>(s.control, IID_IOleInPlaceObject)->GetWindow(&w))
                   ? w
                   : nullptr;
    }
    Sited s;
    HWND window = nullptr;
};

// In design mode the picture fills the face's rectangle, top rows of the picture first, and the
// control shows it on a window of its own that takes no focus; at run time nothing is drawn and
// there is no window. Switching the mode while active adds or removes the window.
TEST(FaceTest, DrawnAndShownInDesignModeOnly) {
    const std::vector<COLORREF> face = FacePixels();
    const int w = surface::kFacePicture.width;
    const int h = static_cast<int>(surface::kFaceHeightTwips / 15.0f);  // the last half-row cut
    for (const bool userMode : {false, true}) {
        SCOPED_TRACE(userMode ? "run mode" : "design mode");
        Form form;
        form.s.SetUserMode(userMode);
        Canvas canvas(w + 8, h + 8);
        const RECTL bounds{0, 0, w, h};
        ASSERT_EQ(As<IViewObject2>(form.s.control, IID_IViewObject2)
                      ->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.Dc(), &bounds,
                             nullptr, nullptr, 0),
                  S_OK);
        int drawn = 0, wrong = 0, outside = 0;
        for (int y = 0; y < canvas.Height(); ++y) {
            for (int x = 0; x < canvas.Width(); ++x) {
                const COLORREF c = canvas.At(x, y);
                if (x >= w || y >= h) {
                    outside += c != kUntouched;
                } else if (c != kUntouched) {
                    ++drawn;
                    wrong += c != face[static_cast<std::size_t>(y * w + x)];
                }
            }
        }
        EXPECT_EQ(outside, 0);
        EXPECT_EQ(drawn, userMode ? 0 : w * h);
        EXPECT_EQ(wrong, 0);

        ASSERT_EQ(form.Activate(), S_OK);
        HWND control = form.ControlWindow();
        if (userMode) {
            EXPECT_EQ(control, nullptr);
            EXPECT_EQ(FindWindowExW(form.window, nullptr, nullptr, nullptr), nullptr);
            continue;
        }
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(GetParent(control), form.window);
        EXPECT_TRUE(IsWindowVisible(control));
        EXPECT_FALSE(GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP);
        EXPECT_EQ(SendMessageW(control, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(form.window),
                               MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN)),
                  MA_NOACTIVATE);
        RECT r;
        GetWindowRect(control, &r);
        EXPECT_EQ(r.right - r.left, 36);
        EXPECT_EQ(r.bottom - r.top, 32);
        EXPECT_TRUE(SaveWindowShot(form.window, "control_design"));
        form.s.SetUserMode(true);
        EXPECT_FALSE(IsWindow(control));
        EXPECT_EQ(form.ControlWindow(), nullptr);
        form.s.SetUserMode(false);
        EXPECT_NE(form.ControlWindow(), nullptr);
    }
}

// --- The About dialog ---

BOOL CALLBACK IsAbout(HWND w, LPARAM found) {
    wchar_t title[64] = {}, cls[16] = {};
    GetWindowTextW(w, title, 64);
    GetClassNameW(w, cls, 16);
    if (IsWindowVisible(w) && std::wstring(title) == L"About Varnel" &&
        std::wstring(cls) == L"#32770") {
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
    }
    return TRUE;
}

HWND FindAbout() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), IsAbout, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND Widget(HWND dialog, const char* name, int index = -1) {
    const auto layout = AboutDialog::Layout();
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (std::string_view(layout[i].name) == name && layout[i].index == index)
            return GetDlgItem(dialog, kFirstWidgetId + static_cast<int>(i));
    }
    return nullptr;
}

std::string Text(HWND w) {
    char text[256] = {};
    GetWindowTextA(w, text, sizeof text);
    return text;
}

// Runs call, which enters a modal loop, with step ticking inside that loop on a thread timer
// until it returns true. Past the limit the About dialog is closed and the run fails.
struct Modal {
    static inline std::function<bool()> step;
    static inline bool busy = false, timedOut = false;
    static inline std::chrono::steady_clock::time_point deadline;

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (busy || !step) return;
        busy = true;
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            step = nullptr;
            if (HWND about = FindAbout()) PostMessageW(about, WM_CLOSE, 0, 0);
        } else if (step()) {
            step = nullptr;
        }
        busy = false;
    }
};

bool RunModal(const std::function<void()>& call, const std::function<bool()>& step,
              std::chrono::milliseconds limit = 30s) {
    Modal::step = step;
    Modal::deadline = std::chrono::steady_clock::now() + limit;
    Modal::timedOut = false;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, Modal::Tick);
    call();
    KillTimer(nullptr, timer);
    const bool done = !Modal::step && !Modal::timedOut;
    Modal::step = nullptr;
    return done;
}

// One shown dialog against the layout at the screen's dpi: captions, version, frame, focus.
void CheckAbout(HWND dialog) {
    const int dpi = Dpi();
    EXPECT_EQ(Text(Widget(dialog, "lblVersion")), "(3.0)");
    EXPECT_EQ(GetFocus(), Widget(dialog, "cmdClose"));
    EXPECT_FALSE(GetWindowLongW(dialog, GWL_STYLE) &
                 (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_FALSE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    HWND owner = GetWindow(dialog, GW_OWNER);
    EXPECT_TRUE(owner && !IsWindowVisible(owner)) << "unowned: it would be on the task bar";
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, Px(AboutDialog::kClientWidth, dpi));
    EXPECT_EQ(client.bottom, Px(AboutDialog::kClientHeight, dpi));
    POINT origin{0, 0};
    ClientToScreen(dialog, &origin);
    for (const WidgetDef& w : AboutDialog::Layout()) {
        SCOPED_TRACE(std::string(w.name) + " " + std::to_string(w.index));
        HWND child = Widget(dialog, w.name, w.index);
        ASSERT_NE(child, nullptr);
        RECT r;
        GetWindowRect(child, &r);
        const RECT want = Expected(w, dpi);
        EXPECT_NEAR(r.left - origin.x, want.left, 1);
        EXPECT_NEAR(r.top - origin.y, want.top, 1);
        if (w.kind != pages::WidgetKind::Label || !w.autoSize) {  // a sized label fits its text
            EXPECT_NEAR(r.right - origin.x, want.right, 1);
            EXPECT_NEAR(r.bottom - origin.y, want.bottom, 1);
        }
        if (w.caption && std::string_view(w.name) != "lblVersion") {
            EXPECT_EQ(Text(child), w.caption);
        }
        // The colour the dialog gives the label's text, and its font's weight.
        HDC dc = GetDC(child);
        SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(child));
        const pages::Rgb text = w.foreColor.value_or(pages::Rgb{0, 0, 0});
        if (w.kind == pages::WidgetKind::Label) {
            EXPECT_EQ(GetTextColor(dc), RGB(text.r, text.g, text.b));
        }
        ReleaseDC(child, dc);
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        if (w.kind != pages::WidgetKind::Picture) {
            EXPECT_EQ(font.lfWeight, w.font ? 700 : 400);
        }
    }
}

// Two AboutBox calls show two fresh dialogs: captions, version (3.0), the layout at the screen's
// dpi, the focus on Close, Escape ignored; the first is closed with Close, the second with the
// title-bar close box. On a COM port, OnScaleComm goes on arriving while a dialog is up.
TEST(AboutTest, TwoCallsShowTwoFreshDialogsAndEventsGoOn) {
    const short port = static_cast<short>(PortFromEnv("VARNEL_TEST_CONTROL_PORT"));
    Sited s;
    ASSERT_TRUE(s.control) << "Varnel_OCX.Varnel is not registered";
    int events = 0;
    s.events->onEvent = [&] { ++events; };
    ScaleLine scale;
    if (port > 0) {
        short assertIt = -1, result = 0;
        ASSERT_EQ(s.control->put_CommPort(port), S_OK);
        ASSERT_EQ(s.control->ScaleOpen(&assertIt, &result), S_OK);
        ASSERT_EQ(result, 1);
        scale = ScaleLine(PortFromEnv("VARNEL_TEST_SCALE_PORT"));
    }
    for (const bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "closed by the close box" : "closed by Close");
        HWND dialog = nullptr;
        int eventsAtOpen = 0;
        bool escapeTried = false;
        HRESULT hr = E_FAIL;
        const bool done =
            RunModal([&] { hr = s.control->AboutBox(); },
                     [&] {
                         if (!dialog) {
                             dialog = FindAbout();
                             eventsAtOpen = events;
                             return false;
                         }
                         if (port > 0) {
                             scale.Write(Frame(' ', "01234"));
                             if (events < eventsAtOpen + 3) return false;
                         }
                         if (!escapeTried) {
                             // Escape through the dialog manager, as a key press.
                             MSG key{Widget(dialog, "cmdClose"), WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
                             IsDialogMessageW(dialog, &key);
                             escapeTried = true;
                             return false;
                         }
                         EXPECT_TRUE(IsWindowVisible(dialog)) << "Escape closed it";
                         CheckAbout(dialog);
                         if (!closeBox) {
                             EXPECT_TRUE(SaveWindowShot(dialog, "about"));
                             SendMessageW(Widget(dialog, "cmdClose"), BM_CLICK, 0, 0);
                         } else {
                             PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
                         }
                         return true;
                     });
        ASSERT_TRUE(done) << "the dialog did not come up or did not close";
        EXPECT_EQ(hr, S_OK);
        ASSERT_NE(dialog, nullptr);
        EXPECT_FALSE(IsWindow(dialog)) << "the dialog is still there after AboutBox returned";
        if (port > 0) {
            EXPECT_GE(events, eventsAtOpen + 3);
        }
    }
    if (port > 0) {
        short off = 0, result = -1;
        s.control->ScaleOpen(&off, &result);
    }
}

}  // namespace
}  // namespace varnel::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(OleInitialize(nullptr))) return 1;
    const int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}
