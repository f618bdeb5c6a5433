// Toolkit-neutral widgets of the design-time windows: their layout as data, and the two kinds
// whose state the page logic drives (a text box and a group of option buttons), each raising its
// notification for every change, whether a user or the page's own code made it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace varnel::pages {

enum class WidgetKind : std::uint8_t {
    Label,
    TextBox,
    Frame,
    OptionButton,
    CommandButton,
    Picture
};

struct Font {
    const char* name;
    float points;
    int weight;
    bool italic = false;
    bool underline = false;
    bool strikethrough = false;
};
inline constexpr Font kBoldFont{"MS Sans Serif", 8.25f, 700};

struct Rgb {
    std::uint8_t r, g, b;
    friend constexpr bool operator==(Rgb, Rgb) = default;
};
inline constexpr Rgb kDarkRed{128, 0, 0};

// One widget. Positions and sizes are in twips (15 to a pixel at 96 dpi), from the client area
// of the window, or of the frame named by `parent`.
struct WidgetDef {
    const char* name;
    int index = -1;  // index within a control array, -1 for a lone widget
    WidgetKind kind = WidgetKind::Label;
    const char* caption = nullptr;  // nullptr: no caption (a text box, a picture)
    const char* parent = nullptr;
    int left = 0, top = 0, width = 0, height = 0;
    int tab = -1;                                 // tab order, -1: none
    const Font* font = nullptr;                   // nullptr: the window's default font
    std::optional<Rgb> foreColor = std::nullopt;  // unset: the default text colour
    const char* picture = nullptr;                // picture resource file (under resources/)
    bool autoSize = false;                        // sized to its content
};

// The widget `name` (with `index` for a control array), or nullptr.
const WidgetDef* FindWidget(std::span<const WidgetDef> layout, std::string_view name,
                            int index = -1);

// A single-line text box without input filter or length limit.
class TextBox {
  public:
    std::function<void()> onChange;

    const std::string& Text() const { return text_; }
    // Raises onChange when the text differs from the current one.
    void SetText(std::string_view text);

  private:
    std::string text_;
};

// A group of option buttons addressed by index; exactly one is selected, option 0 at creation.
class OptionGroup {
  public:
    explicit OptionGroup(std::int16_t count) : count_(count) {}

    std::function<void(std::int16_t)> onClick;

    std::int16_t Count() const { return count_; }
    std::int16_t Selected() const { return selected_; }
    bool Value(std::int16_t index) const { return index == selected_; }
    // Selects option `index`; raises onClick(index) when it was not selected. An index without
    // an option raises error 340 and changes nothing.
    void Select(std::int16_t index);

  private:
    std::int16_t count_;
    std::int16_t selected_ = 0;
};

}  // namespace varnel::pages
