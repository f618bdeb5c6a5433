#include "pages/property_pages.h"

#include <array>
#include <string>

#include "control/automation.h"
#include "control/errors.h"
#include "control/varnel.h"

namespace varnel::pages {

namespace {

using enum WidgetKind;

constexpr std::array<WidgetDef, 2> kCommPortLayout{{
    {.name = "lblCommPort",
     .kind = Label,
     .caption = "Comm Port:",
     .left = 240,
     .top = 120,
     .width = 2700,
     .height = 240,
     .tab = 0},
    {.name = "txtCommPort",
     .kind = TextBox,
     .left = 240,
     .top = 480,
     .width = 2700,
     .height = 330,
     .tab = 1},
}};

constexpr std::array<WidgetDef, 4> kNotifyLayout{{
    {.name = "Label1",
     .kind = Label,
     .caption = "Notify the application through event notification:",
     .left = 240,
     .top = 360,
     .width = 4140,
     .height = 195,
     .tab = 0,
     .font = &kBoldFont},
    {.name = "frmNotify",
     .kind = Frame,
     .caption = "Notify:",
     .left = 360,
     .top = 840,
     .width = 4695,
     .height = 1335,
     .tab = 1},
    {.name = "optNotify",
     .index = 0,
     .kind = OptionButton,
     .caption = "Every time a weight is received from the scale.",
     .parent = "frmNotify",
     .left = 360,
     .top = 240,
     .width = 3975,
     .height = 495,
     .tab = 2},
    {.name = "optNotify",
     .index = 1,
     .kind = OptionButton,
     .caption = "Only when the weight value changes.",
     .parent = "frmNotify",
     .left = 360,
     .top = 720,
     .width = 3495,
     .height = 375,
     .tab = 3},
}};

constexpr std::array<WidgetDef, 6> kUnitsLayout{{
    {.name = "Label1",
     .kind = Label,
     .caption = "Select the desired units-of-measure for the Net Weight value:",
     .left = 240,
     .top = 360,
     .width = 5235,
     .height = 195,
     .tab = 0,
     .font = &kBoldFont},
    {.name = "frmUnits",
     .kind = Frame,
     .caption = "Units of Measure:",
     .left = 360,
     .top = 840,
     .width = 3615,
     .height = 1335,
     .tab = 1},
    {.name = "optUnits",
     .index = 0,
     .kind = OptionButton,
     .caption = "Pounds",
     .parent = "frmUnits",
     .left = 600,
     .top = 480,
     .width = 975,
     .height = 255,
     .tab = 2},
    {.name = "optUnits",
     .index = 1,
     .kind = OptionButton,
     .caption = "Kilograms",
     .parent = "frmUnits",
     .left = 600,
     .top = 840,
     .width = 1095,
     .height = 255,
     .tab = 3},
    {.name = "optUnits",
     .index = 2,
     .kind = OptionButton,
     .caption = "Grams",
     .parent = "frmUnits",
     .left = 1920,
     .top = 840,
     .width = 975,
     .height = 255,
     .tab = 4},
    {.name = "optUnits",
     .index = 3,
     .kind = OptionButton,
     .caption = "Ounces",
     .parent = "frmUnits",
     .left = 1920,
     .top = 480,
     .width = 975,
     .height = 255,
     .tab = 5},
}};

}  // namespace

void PropertyPage::MarkChanged() {
    changed_ = true;
    if (onStatusChange) onStatusChange();
}

void PropertyPage::ForEachSelected(const std::function<void(Varnel&)>& apply) const {
    for (Varnel* control : SelectedControls) {
        if (!control) throw AutomationError(err::kObjectNotSet, "Object variable not set");
        apply(*control);
    }
}

Varnel& PropertyPage::FirstSelected() const {
    if (SelectedControls.empty() || !SelectedControls.front())
        throw AutomationError(err::kSubscriptOutOfRange, "Subscript out of range");
    return *SelectedControls.front();
}

std::int16_t PortNumberFromText(std::string_view text) {
    if (!ParseNumber(text)) ThrowTypeMismatch();
    return Variant(text).ToI2();  // rounded once, from the decimal text
}

// --- CommPort ---

CommPortPage::CommPortPage() {
    txtCommPort.onChange = [this] { txtCommPort_Change(); };
}

std::span<const WidgetDef> CommPortPage::Layout() const {
    return kCommPortLayout;
}

void CommPortPage::SelectionChanged() {
    const std::int16_t port = automation::GetProperty(FirstSelected(), "CommPort").ToI2();
    txtCommPort.SetText(std::to_string(port));
}

void CommPortPage::txtCommPort_Change() {
    MarkChanged();
}

void CommPortPage::ApplyChanges() {
    // The text is read and converted afresh for each control, before its setter is called.
    ForEachSelected([this](Varnel& c) { c.SetCommPort(PortNumberFromText(txtCommPort.Text())); });
}

// --- Notify ---

NotifyPage::NotifyPage() {
    optNotify.onClick = [this](std::int16_t index) { optNotify_Click(index); };
}

std::span<const WidgetDef> NotifyPage::Layout() const {
    return kNotifyLayout;
}

void NotifyPage::SelectionChanged() {
    optNotify.Select(automation::GetProperty(FirstSelected(), "WtNotification").ToI2());
}

void NotifyPage::optNotify_Click(std::int16_t) {
    MarkChanged();
}

void NotifyPage::ApplyChanges() {
    ForEachSelected(
        [this](Varnel& c) { c.SetWtNotification(optNotify.Value(0) ? vnEverytime : vnChanged); });
}

// --- Units ---

UnitsPage::UnitsPage() {
    optUnits.onClick = [this](std::int16_t index) { optUnits_Click(index); };
}

std::span<const WidgetDef> UnitsPage::Layout() const {
    return kUnitsLayout;
}

void UnitsPage::SelectionChanged() {
    optUnits.Select(automation::GetProperty(FirstSelected(), "NetWtUnits").ToI2());
}

void UnitsPage::optUnits_Click(std::int16_t index) {
    MarkChanged();
    m_UnitsIndex = index;
}

void UnitsPage::ApplyChanges() {
    // The option buttons are not consulted: m_UnitsIndex is the value written.
    ForEachSelected([this](Varnel& c) {
        c.SetNetWtUnits(static_cast<VN_UOM_ENUM>(static_cast<std::int32_t>(m_UnitsIndex)));
    });
}

std::unique_ptr<PropertyPage> CreatePage(std::string_view name) {
    if (name == "CommPort") return std::make_unique<CommPortPage>();
    if (name == "Notify") return std::make_unique<NotifyPage>();
    if (name == "Units") return std::make_unique<UnitsPage>();
    return nullptr;
}

}  // namespace varnel::pages
