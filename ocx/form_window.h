// Win32 child windows made from a layout of the design-time models (property pages, About
// dialog): one window per widget at its twips scaled to the screen's dpi, in tab order, with the
// widget's font and text colour. Option buttons of one control array form one radio group.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pages/widgets.h"

namespace varnel::ocx {

// A length in twips as pixels at dpi (1440 twips to an inch), rounded to the nearest pixel.
int PixelsOfTwips(int twips, int dpi);
// The screen's dpi down (LOGPIXELSY) or across (LOGPIXELSX); 96 when it cannot be read.
int ScreenDpi(bool across = false);
// A widget's rectangle at dpi, in pixels from the client area of the window the layout fills:
// a widget inside a frame is offset by the frame's corner.
RECT WidgetRect(std::span<const pages::WidgetDef> layout, const pages::WidgetDef& widget, int dpi);

class FormWidgets {
  public:
    // Child window ids: kFirstId plus the widget's position in the layout.
    static constexpr int kFirstId = 1000;

    FormWidgets() = default;
    ~FormWidgets() { Destroy(); }
    FormWidgets(const FormWidgets&) = delete;
    FormWidgets& operator=(const FormWidgets&) = delete;

    // Creates the widgets as children of parent, in tab order. False when a window could not be
    // created (the ones made so far are destroyed).
    bool Create(HWND parent, std::span<const pages::WidgetDef> layout, int dpi);
    // Destroys the windows (when the parent has not already) and frees the fonts and pictures.
    void Destroy();

    HWND Find(std::string_view name, int index = -1) const;
    // The widget a child window id stands for, or nullptr.
    const pages::WidgetDef* WidgetOf(int id) const;
    int Dpi() const { return dpi_; }

    // Sets a widget's text; an auto-sized label takes the size of its new text.
    void SetText(std::string_view name, int index, const std::string& text);
    // For WM_CTLCOLORSTATIC and WM_CTLCOLORBTN of the parent: sets the child's text colour and
    // returns the background brush, or nullptr when the child is not one of the widgets.
    HBRUSH Colour(HWND child, HDC dc) const;

  private:
    struct Made {
        const pages::WidgetDef* def;
        HWND window;
    };
    HFONT FontFor(const pages::Font* font);

    std::span<const pages::WidgetDef> layout_;
    std::vector<Made> made_;
    std::vector<HFONT> fonts_;  // [0]: the default font, then one per distinct widget font
    std::vector<const pages::Font*> fontDefs_;
    std::vector<HBITMAP> pictures_;
    int dpi_ = 96;
};

}  // namespace varnel::ocx
