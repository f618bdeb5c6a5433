#include "ocx/form_window.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "control/surface.h"
#include "ocx/module.h"
#include "ocx/text.h"

namespace varnel::ocx {

namespace {

using pages::WidgetDef;
using pages::WidgetKind;

constexpr pages::Font kDefaultFont{"MS Sans Serif", 8.0f, 400};

// The bitmap resource of a picture file under resources/.
LPCWSTR PictureResource(const char* file) {
    if (std::strcmp(file, surface::kToolboxBitmap.file) == 0)
        return MAKEINTRESOURCEW(surface::kToolboxBitmap.resourceId);
    if (std::strcmp(file, surface::kLogoBitmap.file) == 0) return L"VARNEL_LOGO";
    if (std::strcmp(file, surface::kFacePicture.file) == 0) return L"VARNEL_FACE";
    return nullptr;
}

struct WindowStyle {
    LPCWSTR windowClass;
    DWORD style;
    DWORD exStyle;
};

WindowStyle StyleOf(const WidgetDef& w) {
    switch (w.kind) {
        case WidgetKind::Label:
            // One line each: a text wider than its label is cut at the edge, not wrapped away.
            return {L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0};
        case WidgetKind::TextBox:
            return {L"EDIT", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
        case WidgetKind::Frame:
            return {L"BUTTON", BS_GROUPBOX, 0};
        case WidgetKind::OptionButton:
            return {L"BUTTON", BS_AUTORADIOBUTTON | BS_MULTILINE | BS_VCENTER, 0};
        case WidgetKind::CommandButton:
            return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
        case WidgetKind::Picture:
            return {L"STATIC", SS_BITMAP | SS_REALSIZECONTROL, 0};
    }
    return {L"STATIC", 0, 0};
}

}  // namespace

int PixelsOfTwips(int twips, int dpi) {
    return static_cast<int>(std::lround(static_cast<double>(twips) * dpi / 1440.0));
}

int ScreenDpi(bool across) {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, across ? LOGPIXELSX : LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

RECT WidgetRect(std::span<const WidgetDef> layout, const WidgetDef& widget, int dpi) {
    int left = widget.left;
    int top = widget.top;
    if (widget.parent) {
        if (const WidgetDef* frame = pages::FindWidget(layout, widget.parent)) {
            left += frame->left;
            top += frame->top;
        }
    }
    // Both edges are scaled, so that neighbours stay apart by their scaled distance.
    return RECT{PixelsOfTwips(left, dpi), PixelsOfTwips(top, dpi),
                PixelsOfTwips(left + widget.width, dpi), PixelsOfTwips(top + widget.height, dpi)};
}

HFONT FormWidgets::FontFor(const pages::Font* font) {
    if (!font) font = &kDefaultFont;
    for (std::size_t i = 0; i < fontDefs_.size(); ++i) {
        if (fontDefs_[i] == font) return fonts_[i];
    }
    LOGFONTW lf{};
    lf.lfHeight = -static_cast<LONG>(std::lround(static_cast<double>(font->points) * dpi_ / 72.0));
    lf.lfWeight = font->weight;
    lf.lfItalic = font->italic;
    lf.lfUnderline = font->underline;
    lf.lfStrikeOut = font->strikethrough;
    lf.lfCharSet = DEFAULT_CHARSET;
    const std::wstring face = WideOfAnsi(font->name);
    wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    HFONT made = CreateFontIndirectW(&lf);
    fontDefs_.push_back(font);
    fonts_.push_back(made);
    return made;
}

bool FormWidgets::Create(HWND parent, std::span<const WidgetDef> layout, int dpi) {
    Destroy();
    layout_ = layout;
    dpi_ = dpi;
    // Creation order is the tab order; widgets without one come last.
    std::vector<std::size_t> order(layout.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int ta = layout[a].tab < 0 ? 1 << 30 : layout[a].tab;
        const int tb = layout[b].tab < 0 ? 1 << 30 : layout[b].tab;
        return ta < tb;
    });
    const char* previousName = nullptr;
    for (std::size_t i : order) {
        const WidgetDef& w = layout[i];
        const WindowStyle ws = StyleOf(w);
        DWORD style = WS_CHILD | WS_VISIBLE | ws.style;
        // A widget inside a frame lies under the frame's group box, which comes before it in
        // the z-order: clipped by its siblings it would not show at all.
        if (!w.parent) style |= WS_CLIPSIBLINGS;
        // An option group starts a radio group and is the only tab stop of it; any other widget
        // ends the group before it.
        const bool sameGroup = w.kind == WidgetKind::OptionButton && previousName &&
                               std::strcmp(previousName, w.name) == 0;
        if (!sameGroup) style |= WS_GROUP;
        if (w.kind == WidgetKind::OptionButton && !sameGroup) style |= WS_TABSTOP;
        previousName = w.name;
        const RECT r = WidgetRect(layout, w, dpi);
        const std::wstring caption = w.caption ? WideOfAnsi(w.caption) : std::wstring();
        HWND child = CreateWindowExW(
            ws.exStyle, ws.windowClass, caption.c_str(), style, r.left, r.top, r.right - r.left,
            r.bottom - r.top, parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstId + static_cast<int>(i))), Module(),
            nullptr);
        if (!child) {
            Destroy();
            return false;
        }
        made_.push_back({&w, child});
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(w.font)), FALSE);
        if (w.kind == WidgetKind::TextBox) SendMessageW(child, EM_SETLIMITTEXT, 0, 0);
        if (w.kind == WidgetKind::Picture && w.picture) {
            if (LPCWSTR resource = PictureResource(w.picture)) {
                auto* bitmap = static_cast<HBITMAP>(
                    LoadImageW(Module(), resource, IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
                if (bitmap) {
                    pictures_.push_back(bitmap);
                    SendMessageW(child, STM_SETIMAGE, IMAGE_BITMAP,
                                 reinterpret_cast<LPARAM>(bitmap));
                    // SS_REALSIZECONTROL: the picture fills the widget's scaled rectangle.
                    SetWindowPos(child, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
                }
            }
        }
        if (w.autoSize && w.caption) SetText(w.name, w.index, w.caption);
    }
    return true;
}

void FormWidgets::Destroy() {
    for (const Made& m : made_) {
        if (IsWindow(m.window)) DestroyWindow(m.window);
    }
    made_.clear();
    for (HFONT f : fonts_) {
        if (f) DeleteObject(f);
    }
    fonts_.clear();
    fontDefs_.clear();
    for (HBITMAP b : pictures_)
        DeleteObject(b);
    pictures_.clear();
}

HWND FormWidgets::Find(std::string_view name, int index) const {
    for (const Made& m : made_) {
        if (name == m.def->name && m.def->index == index) return m.window;
    }
    return nullptr;
}

const WidgetDef* FormWidgets::WidgetOf(int id) const {
    const int position = id - kFirstId;
    if (position < 0 || static_cast<std::size_t>(position) >= layout_.size()) return nullptr;
    return &layout_[static_cast<std::size_t>(position)];
}

void FormWidgets::SetText(std::string_view name, int index, const std::string& text) {
    HWND child = Find(name, index);
    if (!child) return;
    const std::wstring wide = WideOfAnsi(text);
    SetWindowTextW(child, wide.c_str());
    const WidgetDef* w = nullptr;
    for (const Made& m : made_) {
        if (m.window == child) w = m.def;
    }
    if (!w || !w->autoSize || w->kind != WidgetKind::Label) return;
    HDC dc = GetDC(child);
    if (!dc) return;
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    SetWindowPos(child, nullptr, 0, 0, size.cx, size.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HBRUSH FormWidgets::Colour(HWND child, HDC dc) const {
    for (const Made& m : made_) {
        if (m.window != child) continue;
        if (m.def->foreColor) {
            const pages::Rgb c = *m.def->foreColor;
            SetTextColor(dc, RGB(c.r, c.g, c.b));
        }
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return GetSysColorBrush(COLOR_BTNFACE);
    }
    return nullptr;
}

}  // namespace varnel::ocx
