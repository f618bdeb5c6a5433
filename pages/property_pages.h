// The three property pages, CommPort, Notify and Units, as models: widget layout as data, widget
// state, and the page logic the property-page host drives (SelectionChanged, ApplyChanges).
// The Windows shell renders them; the form editor drives them without a window.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "pages/widgets.h"

namespace varnel {

class Varnel;

namespace pages {

class PropertyPage {
  public:
    static constexpr int kClientWidth = 5925;
    static constexpr int kClientHeight = 3495;

    virtual ~PropertyPage() = default;
    PropertyPage(const PropertyPage&) = delete;
    PropertyPage& operator=(const PropertyPage&) = delete;

    // The page's name, which is also its tab caption.
    virtual const char* Name() const = 0;
    // The property the page edits.
    virtual const char* Property() const = 0;
    virtual std::span<const WidgetDef> Layout() const = 0;

    // --- Set by the property-page host ---
    // The controls selected in the designer; item 0 is the first.
    std::vector<Varnel*> SelectedControls;
    // Runs when the page marks itself Changed (the host enables its Apply button).
    std::function<void()> onStatusChange;

    bool Changed() const { return changed_; }
    // The host clears the flag after a successful apply.
    void SetChanged(bool changed) { changed_ = changed; }

    // --- Driven by the host ---
    // Loads item 0's value into the widgets. No selection, or a value without an option, raises
    // an error and leaves the widgets as they were.
    virtual void SelectionChanged() = 0;
    // Writes the page's value to every selected control, in order. An error ends the apply at
    // that control: the ones before keep the new value, the ones after are not touched.
    virtual void ApplyChanges() = 0;

  protected:
    PropertyPage() = default;
    void MarkChanged();
    // Item 0 of SelectedControls; error 9 when nothing is selected.
    Varnel& FirstSelected() const;
    // Runs apply on each selected control in order; error 91 for an empty slot.
    void ForEachSelected(const std::function<void(Varnel&)>& apply) const;

  private:
    bool changed_ = false;
};

class CommPortPage : public PropertyPage {
  public:
    CommPortPage();
    const char* Name() const override { return "CommPort"; }
    const char* Property() const override { return "CommPort"; }
    std::span<const WidgetDef> Layout() const override;

    TextBox txtCommPort;

    void SelectionChanged() override;
    void ApplyChanges() override;
    void txtCommPort_Change();
};

class NotifyPage : public PropertyPage {
  public:
    NotifyPage();
    const char* Name() const override { return "Notify"; }
    const char* Property() const override { return "WtNotification"; }
    std::span<const WidgetDef> Layout() const override;

    OptionGroup optNotify{2};

    void SelectionChanged() override;
    void ApplyChanges() override;
    void optNotify_Click(std::int16_t index);
};

class UnitsPage : public PropertyPage {
  public:
    UnitsPage();
    const char* Name() const override { return "Units"; }
    const char* Property() const override { return "NetWtUnits"; }
    std::span<const WidgetDef> Layout() const override;

    OptionGroup optUnits{4};
    // The units option selected last; the value an apply writes.
    std::int16_t m_UnitsIndex = 0;

    void SelectionChanged() override;
    void ApplyChanges() override;
    void optUnits_Click(std::int16_t index);
};

// A new page by its name in the control's page list ("CommPort", "Notify", "Units"), or
// nullptr.
std::unique_ptr<PropertyPage> CreatePage(std::string_view name);

// The CommPort page's text as a port number: a decimal number with blanks around it allowed, a
// fraction rounded to the nearest integer and an exact half to the even one. A text that is not
// a number raises type mismatch (13), one outside -32768..32767 overflow (6).
std::int16_t PortNumberFromText(std::string_view text);

}  // namespace pages
}  // namespace varnel
