// The property pages of Varnel.ocx: in the system's property frame driven from a second thread
// as a user would (tabs, edits, OK, a failed apply's message box, Cancel), and on a window of the
// test's own (widget rectangles at the screen's dpi, captions, fonts, tab order, a load of a
// value without an option, lifetime). Needs the control registered and a display.
//
// VARNEL_DPI names the dpi the display is set to (96 when unset).
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <olectl.h>
#include <prsht.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/automation.h"
#include "ocx/form_window.h"
#include "pages/property_pages.h"
#include "tests/ocx/com_helpers.h"
#include "tests/ocx/screenshot.h"

namespace varnel::testing {
namespace {

using pages::WidgetDef;

constexpr wchar_t kPageClass[] = L"VarnelPropertyPage";
constexpr int kFirstId = ocx::FormWidgets::kFirstId;
// Generous: a busy machine, a cold Wine and Xvfb.
constexpr ULONGLONG kTimeoutMs = 60000;
int expectedDpi = 96;

std::span<const WidgetDef> LayoutOf(std::size_t page) {
    return pages::CreatePage(automation::kPages[page].name)->Layout();
}

int IdOf(std::span<const WidgetDef> layout, const char* name, int index = -1) {
    const WidgetDef* w = pages::FindWidget(layout, name, index);
    return w ? kFirstId + static_cast<int>(w - layout.data()) : 0;
}

std::string Text(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return Narrow(buffer);
}

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// A property through the control's function table: Get(c, &IVarnel::get_CommPort).
template <typename T>
T Get(IVarnel* c, HRESULT (STDMETHODCALLTYPE IVarnel::*get)(T*)) {
    T v{};
    (c->*get)(&v);
    return v;
}

bool Saw(const NotifySink& sink, const char* property) {
    const DISPID id = automation::GetIDOfName(property);
    return std::find(sink.changed.begin(), sink.changed.end(), id) != sink.changed.end();
}

// Saves the control's state with clearDirty, so that a later change shows as dirty.
void MakeClean(IVarnel* control) {
    ComPtr<IPersistStreamInit> persist;
    ComPtr<IStream> stream;
    ASSERT_EQ(control->QueryInterface(IID_IPersistStreamInit, persist.PutVoid()), S_OK);
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
}

HRESULT IsDirty(IVarnel* control) {
    ComPtr<IPersistStreamInit> persist;
    control->QueryInterface(IID_IPersistStreamInit, persist.PutVoid());
    return persist->IsDirty();
}

// --- The property frame, driven from a second thread ---

// The frame's windows as a user sees them. Every wait polls with a deadline; a window that does
// not come throws, and the driver then closes whatever is open so the frame returns.
class FrameDriver {
  public:
    explicit FrameDriver(DWORD uiThread) : uiThread_(uiThread) {}

    HWND frame = nullptr;

    template <typename F>
    HWND WaitFor(const char* what, F&& find) {
        const ULONGLONG end = GetTickCount64() + kTimeoutMs;
        while (GetTickCount64() < end) {
            if (HWND w = find()) return w;
            Sleep(10);
        }
        throw std::runtime_error(std::string(what) + " did not appear");
    }
    void WaitGone(const char* what, HWND window) {
        WaitFor(what, [&] { return IsWindow(window) ? nullptr : GetDesktopWindow(); });
    }

    std::vector<HWND> TopLevels() const {
        std::vector<HWND> found;
        EnumThreadWindows(
            uiThread_,
            [](HWND w, LPARAM out) {
                if (IsWindowVisible(w)) reinterpret_cast<std::vector<HWND>*>(out)->push_back(w);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
        return found;
    }
    static HWND Tabs(HWND w) { return FindWindowExW(w, nullptr, WC_TABCONTROLW, nullptr); }

    void WaitFrame() {
        frame = WaitFor("the property frame", [&]() -> HWND {
            for (HWND w : TopLevels())
                if (Tabs(w)) return w;
            return nullptr;
        });
    }
    HWND WaitMessageBox() {
        return WaitFor("a message box", [&]() -> HWND {
            for (HWND w : TopLevels())
                if (w != frame && !Tabs(w)) return w;
            return nullptr;
        });
    }
    std::vector<std::string> TabTexts() const {
        HWND tabs = reinterpret_cast<HWND>(SendMessageW(frame, PSM_GETTABCONTROL, 0, 0));
        std::vector<std::string> texts;
        const auto n = SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0);
        for (LRESULT i = 0; i < n; ++i) {
            wchar_t text[64] = {};
            TCITEMW item{};
            item.mask = TCIF_TEXT;
            item.pszText = text;
            item.cchTextMax = 64;
            SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(&item));
            texts.push_back(Narrow(text));
        }
        return texts;
    }
    // Brings up tab i; returns the page's own window.
    HWND ShowPage(int i) {
        SendMessageW(frame, PSM_SETCURSEL, static_cast<WPARAM>(i), 0);
        return WaitFor("the page window", [&] {
            HWND dialog = reinterpret_cast<HWND>(SendMessageW(frame, PSM_GETCURRENTPAGEHWND, 0, 0));
            return dialog ? FindWindowExW(dialog, nullptr, kPageClass, nullptr) : nullptr;
        });
    }
    // Posted: OK runs the apply, which may show a message box and wait for this thread.
    void Press(int button) { PostMessageW(frame, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0); }

    // After a failure: closes message boxes and cancels the frame until none is left.
    void CloseAll() {
        const ULONGLONG end = GetTickCount64() + kTimeoutMs;
        while (GetTickCount64() < end) {
            const std::vector<HWND> open = TopLevels();
            if (open.empty()) return;
            for (HWND w : open) {
                if (Tabs(w)) {
                    PostMessageW(w, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
                } else {
                    PostMessageW(w, WM_COMMAND, IDOK, 0);
                }
            }
            Sleep(50);
        }
    }

  private:
    DWORD uiThread_;
};

// Opens a property frame (open returns when it closes) while script drives it from a second
// thread; returns the driver's failures.
std::vector<std::string> RunFrame(const std::function<HRESULT()>& open,
                                  const std::function<void(FrameDriver&)>& script) {
    std::vector<std::string> failures;
    FrameDriver driver(GetCurrentThreadId());
    std::thread thread([&] {
        try {
            driver.WaitFrame();
            script(driver);
        } catch (const std::exception& e) {
            failures.push_back(e.what());
            driver.CloseAll();
        }
    });
    const HRESULT hr = open();
    thread.join();
    if (FAILED(hr)) failures.push_back("the frame could not be opened");
    return failures;
}

// The control's pages for objects in the system's property frame.
std::vector<std::string> RunFrame(std::vector<IUnknown*> objects,
                                  const std::function<void(FrameDriver&)>& script) {
    CAUUID pages{};
    {
        ComPtr<ISpecifyPropertyPages> specify;
        objects.front()->QueryInterface(IID_ISpecifyPropertyPages, specify.PutVoid());
        if (!specify || FAILED(specify->GetPages(&pages))) return {"no property pages"};
    }
    const auto failures = RunFrame(
        [&] {
            return OleCreatePropertyFrame(
                nullptr, 0, 0, L"Varnel", static_cast<ULONG>(objects.size()), objects.data(),
                pages.cElems, pages.pElems, LOCALE_USER_DEFAULT, 0, nullptr);
        },
        script);
    CoTaskMemFree(pages.pElems);
    return failures;
}

class PagesTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(NewControl()) << "Varnel_OCX.Varnel is not registered"; }

    // Two controls in design mode with ports 1 and 3, saved.
    void TwoControls() {
        for (int i = 0; i < 2; ++i) {
            auto& s = sited[i];
            s.SetUserMode(false);
            ASSERT_EQ(s.control->put_CommPort(static_cast<short>(1 + 2 * i)), S_OK);
            MakeClean(s.control.Get());
            s.notify->changed.clear();
            objects.push_back(s.control.Get());
        }
    }

    Sited sited[2];
    std::vector<IUnknown*> objects;
};

TEST_F(PagesTest, FrameShowsThePagesInOrderAndAppliesEveryPageToAllControls) {
    TwoControls();
    const auto commPort = LayoutOf(0), notify = LayoutOf(1), units = LayoutOf(2);
    std::vector<std::string> tabs;
    std::string shownPort;
    const auto failures = RunFrame(objects, [&](FrameDriver& d) {
        tabs = d.TabTexts();
        HWND page = d.ShowPage(0);
        HWND text = GetDlgItem(page, IdOf(commPort, "txtCommPort"));
        shownPort = Text(text);
        SendMessageW(text, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"4"));
        page = d.ShowPage(1);
        SendMessageW(GetDlgItem(page, IdOf(notify, "optNotify", 1)), BM_CLICK, 0, 0);
        page = d.ShowPage(2);
        SendMessageW(GetDlgItem(page, IdOf(units, "optUnits", 2)), BM_CLICK, 0, 0);
        SaveWindowShot(d.frame, "frame_units");
        d.Press(PSBTN_OK);
        d.WaitGone("the closing frame", d.frame);
    });
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(tabs, (std::vector<std::string>{"CommPort", "Notify", "Units"}));
    EXPECT_EQ(shownPort, "1");  // the first control's port
    for (auto& s : sited) {
        EXPECT_EQ(Get(s.control.Get(), &IVarnel::get_CommPort), 4);
        EXPECT_EQ(Get(s.control.Get(), &IVarnel::get_WtNotification), vnChanged);
        EXPECT_EQ(Get(s.control.Get(), &IVarnel::get_NetWtUnits), vnGrams);
        for (const char* property : {"CommPort", "WtNotification", "NetWtUnits"})
            EXPECT_TRUE(Saw(*s.notify.Get(), property)) << property;
        EXPECT_EQ(IsDirty(s.control.Get()), S_OK);
    }
}

// Varnel.ocx's import of OleCreatePropertyFrame, redirected while it lives to a function that
// notes the owner window it is given and opens the frame. Wine's frame keeps no owner, so the
// owner the control names is seen here.
class FrameOwnerSpy {
  public:
    using Function = HRESULT(WINAPI*)(HWND, UINT, UINT, LPCOLESTR, ULONG, LPUNKNOWN*, ULONG,
                                      LPCLSID, LCID, DWORD, LPVOID);
    static inline HWND owner = nullptr;
    static inline Function real = nullptr;

    FrameOwnerSpy() {
        real = reinterpret_cast<Function>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "OleCreatePropertyFrame")));
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(L"Varnel.ocx"));
        if (!base || !real) return;
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d =
                 reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             imports.VirtualAddress && d->Name; ++d) {
            for (auto* t = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
                 t->u1.Function; ++t) {
                if (t->u1.Function == reinterpret_cast<ULONG_PTR>(real)) slot_ = &t->u1.Function;
            }
        }
        if (slot_) Write(reinterpret_cast<ULONG_PTR>(&Spy));
    }
    ~FrameOwnerSpy() {
        if (slot_) Write(reinterpret_cast<ULONG_PTR>(real));
    }
    FrameOwnerSpy(const FrameOwnerSpy&) = delete;
    FrameOwnerSpy& operator=(const FrameOwnerSpy&) = delete;
    bool Installed() const { return slot_ != nullptr; }

  private:
    static HRESULT WINAPI Spy(HWND window, UINT x, UINT y, LPCOLESTR caption, ULONG count,
                              LPUNKNOWN* objects, ULONG pages, LPCLSID ids, LCID lcid,
                              DWORD reserved, LPVOID more) {
        owner = window;
        return real(window, x, y, caption, count, objects, pages, ids, lcid, reserved, more);
    }
    void Write(ULONG_PTR value) {
        DWORD old = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
        *slot_ = value;
        VirtualProtect(slot_, sizeof *slot_, old, &old);
    }
    decltype(IMAGE_THUNK_DATA::u1.Function)* slot_ = nullptr;
};

// A container's "Properties..." verb: the frame for the control, owned by the site's window.
TEST_F(PagesTest, PropertiesVerbShowsTheFrameOwnedByTheSitesWindow) {
    Sited& s = sited[0];
    HWND container = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                                     200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(container, nullptr);
    s.site->window = container;
    const FrameOwnerSpy spy;
    ASSERT_TRUE(spy.Installed());
    std::vector<std::string> tabs;
    const auto failures = RunFrame(
        [&] {
            return As<IOleObject>(s.control, IID_IOleObject)
                ->DoVerb(OLEIVERB_PROPERTIES, nullptr, s.site.Get(), 0, nullptr, nullptr);
        },
        [&](FrameDriver& d) {
            tabs = d.TabTexts();
            d.Press(PSBTN_CANCEL);
            d.WaitGone("the cancelled frame", d.frame);
        });
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(tabs, (std::vector<std::string>{"CommPort", "Notify", "Units"}));
    EXPECT_EQ(FrameOwnerSpy::owner, container);
    s.site->window = nullptr;
    DestroyWindow(container);
}

TEST_F(PagesTest, BadPortTextChangesNoControlAndShowsTheErrorWhileTheHostGoesOn) {
    TwoControls();
    const auto commPort = LayoutOf(0);
    const struct {
        const wchar_t* text;
        const char* error;
    } cases[] = {{L"COM1", "Type mismatch"}, {L"40000", "Overflow"}, {L"", "Type mismatch"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        std::string message;
        bool frameStayed = false;
        const auto failures = RunFrame(objects, [&](FrameDriver& d) {
            HWND page = d.ShowPage(0);
            SendMessageW(GetDlgItem(page, IdOf(commPort, "txtCommPort")), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(c.text));
            d.Press(PSBTN_OK);
            HWND box = d.WaitMessageBox();
            for (HWND w = GetWindow(box, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
                wchar_t cls[16] = {};
                GetClassNameW(w, cls, 16);
                if (_wcsicmp(cls, L"Static") == 0) message += Text(w);
            }
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            d.WaitGone("the closing message box", box);
            frameStayed = IsWindowVisible(d.frame) != FALSE;
            d.Press(PSBTN_CANCEL);
            d.WaitGone("the cancelled frame", d.frame);
        });
        EXPECT_EQ(failures, std::vector<std::string>{});
        EXPECT_NE(message.find(c.error), std::string::npos) << message;
        EXPECT_NE(message.find("CommPort"), std::string::npos) << message;
        EXPECT_TRUE(frameStayed);
        EXPECT_EQ(Get(sited[0].control.Get(), &IVarnel::get_CommPort), 1);
        EXPECT_EQ(Get(sited[1].control.Get(), &IVarnel::get_CommPort), 3);
        for (auto& s : sited)
            EXPECT_FALSE(Saw(*s.notify.Get(), "CommPort"));
    }
}

// --- A page on a window of the test's own ---

class PageSite final : public TestObject<IPropertyPageSite> {
  public:
    std::vector<DWORD> status;
    void* Find(REFIID iid) override {
        return iid == IID_IUnknown || iid == IID_IPropertyPageSite
                   ? static_cast<IPropertyPageSite*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override {
        status.push_back(flags);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* lcid) override {
        *lcid = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return E_NOTIMPL; }
};

// Page `which` created by its class id, given the objects and activated on a top-level window.
struct OpenPage {
    ComPtr<IPropertyPage2> page;
    ComPtr<PageSite> site = ComPtr<PageSite>::Adopt(new PageSite);
    HRESULT setObjects = E_FAIL, activated = E_FAIL;
    std::string title;
    SIZE size{};
    HWND parent = nullptr, window = nullptr;

    OpenPage(std::size_t which, std::vector<IUnknown*> objects) {
        const GUID clsid = ocx::ToGuid(automation::kPages[which].clsid);
        if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage2,
                                    page.PutVoid())))
            return;
        page->SetPageSite(site.Get());
        setObjects = page->SetObjects(static_cast<ULONG>(objects.size()), objects.data());
        PROPPAGEINFO info{};
        if (page->GetPageInfo(&info) == S_OK) {
            title = Narrow(info.pszTitle);
            size = info.size;
            CoTaskMemFree(info.pszTitle);
        }
        parent = Parent();
        SetWindowPos(parent, nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
        const RECT rect{0, 0, size.cx, size.cy};
        activated = page->Activate(parent, &rect, TRUE);
        page->Show(SW_SHOW);
        window = FindWindowExW(parent, nullptr, kPageClass, nullptr);
        UpdateWindow(parent);
        Pump();
    }
    ~OpenPage() {
        if (page) {
            page->Deactivate();
            page->SetObjects(0, nullptr);
        }
    }
    // One top-level window for all pages: Wine's X11 driver takes seconds to destroy one.
    static HWND Parent() {
        static HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 1, 1,
                                             nullptr, nullptr, nullptr, nullptr);
        return parent;
    }
    HWND Widget(const char* name, int index = -1) const {
        return GetDlgItem(window, IdOf(LayoutOf(Which()), name, index));
    }
    std::size_t Which() const {
        for (std::size_t i = 0; i < automation::kPages.size(); ++i)
            if (title == automation::kPages[i].name) return i;
        return 0;
    }
};

TEST_F(PagesTest, WidgetsSitAtTheirTwipsWithCaptionsFontsAndTabOrder) {
    const int dpi = ScreenDpi();
    ASSERT_EQ(dpi, expectedDpi) << "the display does not have the dpi this run is for";
    const auto px = [dpi](int twips) { return twips * dpi / 1440.0; };
    Sited s;
    const char* shots[] = {"page_commport", "page_notify", "page_units"};
    for (std::size_t p = 0; p < automation::kPages.size(); ++p) {
        const char* name = automation::kPages[p].name;
        SCOPED_TRACE(name);
        OpenPage open(p, {s.control.Get()});
        ASSERT_EQ(open.setObjects, S_OK);
        ASSERT_EQ(open.activated, S_OK);
        ASSERT_TRUE(open.window);
        EXPECT_EQ(open.title, name);
        EXPECT_NEAR(open.size.cx, px(pages::PropertyPage::kClientWidth), 1.0);
        EXPECT_NEAR(open.size.cy, px(pages::PropertyPage::kClientHeight), 1.0);

        const auto layout = LayoutOf(p);
        for (const WidgetDef& w : layout) {
            SCOPED_TRACE(std::string(w.name) + "(" + std::to_string(w.index) + ")");
            HWND child = GetDlgItem(open.window, IdOf(layout, w.name, w.index));
            ASSERT_TRUE(child);
            RECT r;
            GetWindowRect(child, &r);
            MapWindowPoints(HWND_DESKTOP, open.window, reinterpret_cast<POINT*>(&r), 2);
            int left = w.left, top = w.top;
            if (w.parent) {
                const WidgetDef* frame = pages::FindWidget(layout, w.parent);
                left += frame->left;
                top += frame->top;
            }
            EXPECT_NEAR(r.left, px(left), 1.0);
            EXPECT_NEAR(r.top, px(top), 1.0);
            EXPECT_NEAR(r.right, px(left + w.width), 1.0);
            EXPECT_NEAR(r.bottom, px(top + w.height), 1.0);
            if (w.caption) {
                EXPECT_EQ(Text(child), w.caption);
            }
            // Not hidden under a sibling (an option under its frame's group box).
            HDC dc = GetDC(child);
            RECT visible{}, client, both;
            GetClientRect(child, &client);
            GetClipBox(dc, &visible);
            IntersectRect(&both, &visible, &client);
            EXPECT_TRUE(EqualRect(&both, &client));
            ReleaseDC(child, dc);
            if (w.font) {
                LOGFONTW font{};
                GetObjectW(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)),
                           sizeof font, &font);
                EXPECT_EQ(font.lfWeight, w.font->weight);
                EXPECT_EQ(Narrow(font.lfFaceName), w.font->name);
            }
        }
        // Dialog navigation follows the windows' z-order, which must be the tab order.
        std::vector<const WidgetDef*> byTab, zOrder;
        for (const WidgetDef& w : layout)
            byTab.push_back(&w);
        std::sort(byTab.begin(), byTab.end(), [](auto* a, auto* b) { return a->tab < b->tab; });
        for (HWND c = GetWindow(open.window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            zOrder.push_back(&layout[static_cast<std::size_t>(GetDlgCtrlID(c) - kFirstId)]);
        EXPECT_EQ(zOrder, byTab);

        if (dpi == 96) {
            EXPECT_TRUE(SaveWindowShot(open.parent, shots[p]));
        }
        // EditProperty focuses the widget of the page's property.
        const std::string editor = (p == 0 ? "txt" : "opt") + std::string(name);
        EXPECT_EQ(
            open.page->EditProperty(automation::GetIDOfName(pages::CreatePage(name)->Property())),
            S_OK);
        EXPECT_EQ(GetFocus(), open.Widget(editor.c_str(), p == 0 ? -1 : 0));
        EXPECT_EQ(open.page->EditProperty(automation::GetIDOfName("ScaleStatus")), E_NOTIMPL);

        // Arrow keys move through an option group and select as they go; other keys are the
        // frame's.
        if (p != 0) {
            MSG down{GetFocus(), WM_KEYDOWN, VK_DOWN, 0, 0, {}};
            EXPECT_EQ(open.page->TranslateAccelerator(&down), S_OK);
            EXPECT_EQ(GetFocus(), open.Widget(editor.c_str(), 1));
            EXPECT_EQ(SendMessageW(GetFocus(), BM_GETCHECK, 0, 0), BST_CHECKED);
            EXPECT_EQ(open.page->IsPageDirty(), S_OK);
        }
        MSG key{GetFocus(), WM_KEYDOWN, 'A', 0, 0, {}};
        EXPECT_EQ(open.page->TranslateAccelerator(&key), S_FALSE);
    }
}

TEST_F(PagesTest, ValueWithoutAnOptionLoadsWithNoneCheckedAndAChoiceApplies) {
    const struct {
        std::size_t page;
        const char* group;
        int count;
    } cases[] = {{1, "optNotify", 2}, {2, "optUnits", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.group);
        Sited s;
        // The setter takes any value of the enum's type, as a host may pass.
        if (c.page == 1) {
            ASSERT_EQ(s.control->put_WtNotification(static_cast<VN_NOTIFY_ENUM>(5)), S_OK);
            ASSERT_EQ(static_cast<int>(Get(s.control.Get(), &IVarnel::get_WtNotification)), 5);
        } else {
            ASSERT_EQ(s.control->put_NetWtUnits(static_cast<VN_UOM_ENUM>(7)), S_OK);
            ASSERT_EQ(static_cast<int>(Get(s.control.Get(), &IVarnel::get_NetWtUnits)), 7);
        }
        OpenPage open(c.page, {s.control.Get()});
        EXPECT_EQ(open.setObjects, S_OK);
        ASSERT_EQ(open.activated, S_OK);
        for (int i = 0; i < c.count; ++i)
            EXPECT_EQ(SendMessageW(open.Widget(c.group, i), BM_GETCHECK, 0, 0), BST_UNCHECKED) << i;
        EXPECT_EQ(open.page->IsPageDirty(), S_FALSE);

        // Option 0 is what the model held before the failed load; choosing it is still an edit.
        SendMessageW(open.Widget(c.group, 0), BM_CLICK, 0, 0);
        EXPECT_EQ(open.page->IsPageDirty(), S_OK);
        ASSERT_FALSE(open.site->status.empty());
        EXPECT_EQ(open.site->status.back(), DWORD{PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE});
        EXPECT_EQ(open.page->Apply(), S_OK);
        EXPECT_EQ(open.page->IsPageDirty(), S_FALSE);
        EXPECT_EQ(open.site->status.back(), DWORD{PROPPAGESTATUS_CLEAN});
        EXPECT_EQ(c.page == 1 ? static_cast<int>(Get(s.control.Get(), &IVarnel::get_WtNotification))
                              : static_cast<int>(Get(s.control.Get(), &IVarnel::get_NetWtUnits)),
                  0);
    }
}

TEST_F(PagesTest, ForeignObjectsAndHostsLettingGoMidWayAreSafe) {
    Sited first;
    auto second = std::make_unique<Sited>();

    {  // Only controls of this library can be edited.
        OpenPage open(0, {first.control.Get(), static_cast<IOleClientSite*>(first.site.Get())});
        EXPECT_EQ(open.setObjects, E_NOINTERFACE);
    }
    {  // The host takes the controls away while the page is open, then releases one.
        OpenPage open(0, {first.control.Get(), second->control.Get()});
        SendMessageW(open.Widget("txtCommPort"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"6"));
        EXPECT_EQ(open.page->SetObjects(0, nullptr), S_OK);
        second.reset();
        EXPECT_EQ(open.page->Apply(), S_OK);
        EXPECT_EQ(Get(first.control.Get(), &IVarnel::get_CommPort), 1);
    }
    {  // The host closes the sheet and lets go of the page and a control inside the apply.
        auto other = std::make_unique<Sited>();
        auto open = std::make_unique<OpenPage>(
            0, std::vector<IUnknown*>{first.control.Get(), other->control.Get()});
        SendMessageW(open->Widget("txtCommPort"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"5"));
        IPropertyPage2* page = open->page.Get();
        bool closed = false;
        first.notify->onChanged = [&](DISPID) {
            if (std::exchange(closed, true)) return;
            page->Deactivate();
            page->SetObjects(0, nullptr);
            open.reset();
            other->control.Reset();
        };
        page->AddRef();  // the host's reference for the duration of its call
        EXPECT_EQ(page->Apply(), S_OK);
        EXPECT_EQ(page->Release(), 0u);
        // The apply went on with the selection it started with.
        EXPECT_EQ(Get(first.control.Get(), &IVarnel::get_CommPort), 5);
        EXPECT_TRUE(Saw(*other->notify.Get(), "CommPort"));
    }
}

}  // namespace
}  // namespace varnel::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const char* dpi = std::getenv("VARNEL_DPI")) varnel::testing::expectedDpi = std::atoi(dpi);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (FAILED(OleInitialize(nullptr))) return 1;
    const int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}
