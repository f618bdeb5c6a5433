#include "pages/widgets.h"

#include "control/errors.h"

namespace varnel::pages {

const WidgetDef* FindWidget(std::span<const WidgetDef> layout, std::string_view name, int index) {
    for (const WidgetDef& w : layout) {
        if (name == w.name && w.index == index) return &w;
    }
    return nullptr;
}

void TextBox::SetText(std::string_view text) {
    if (text == text_) return;
    text_.assign(text);
    if (onChange) onChange();
}

void OptionGroup::Select(std::int16_t index) {
    if (index < 0 || index >= count_) {
        throw AutomationError(
            err::kNoSuchControlArrayElement,
            "Control array element '" + std::to_string(index) + "' doesn't exist");
    }
    if (index == selected_) return;
    selected_ = index;
    if (onClick) onClick(index);
}

}  // namespace varnel::pages
