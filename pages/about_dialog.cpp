#include "pages/about_dialog.h"

namespace varnel::pages {

namespace {

using enum WidgetKind;

constexpr std::array<WidgetDef, 12> kLayout{{
    {.name = "Image1",
     .kind = Picture,
     .left = 240,
     .top = 270,
     .width = 240,
     .height = 225,
     .picture = "varnel_toolbox.bmp",
     .autoSize = true},
    {.name = "Label2",
     .kind = Label,
     .caption = "Varnel  ActiveX Control",
     .left = 700,
     .top = 240,
     .width = 2730,
     .height = 195,
     .tab = 1,
     .font = &kBoldFont},
    {.name = "lblVersion",
     .kind = Label,
     .caption = "ver",
     .left = 3480,
     .top = 240,
     .width = 225,
     .height = 195,
     .tab = 5,
     .foreColor = kDarkRed,
     .autoSize = true},
    {.name = "Label3",
     .kind = Label,
     .caption = "Serial communications interface to: ",
     .left = 705,
     .top = 495,
     .width = 2505,
     .height = 195,
     .tab = 2},
    {.name = "Label4",
     .kind = Label,
     .caption = "Bench scales sending 10-character frames",
     .left = 720,
     .top = 720,
     .width = 4290,
     .height = 195,
     .tab = 7},
    {.name = "Image2",
     .kind = Picture,
     .left = 180,
     .top = 1230,
     .width = 390,
     .height = 285,
     .picture = "varnel_logo.bmp",
     .autoSize = true},
    {.name = "lblCompany",
     .index = 0,
     .kind = Label,
     .caption = "The Varnel developers",
     .left = 705,
     .top = 1200,
     .width = 2535,
     .height = 195,
     .tab = 0,
     .font = &kBoldFont},
    {.name = "lblCompany",
     .index = 2,
     .kind = Label,
     .caption = "Developed in the open",
     .left = 720,
     .top = 1440,
     .width = 2535,
     .height = 195,
     .tab = 8},
    {.name = "lblCompany",
     .index = 1,
     .kind = Label,
     .caption = "varnel@example.org",
     .left = 705,
     .top = 1680,
     .width = 2535,
     .height = 195,
     .tab = 3},
    {.name = "lblCopyright",
     .kind = Label,
     .caption = "Copyright (C) Varnel developers",
     .left = 705,
     .top = 2160,
     .width = 2595,
     .height = 195,
     .tab = 4,
     .foreColor = kDarkRed},
    {.name = "Label1",
     .kind = Label,
     .caption = "Provided as is, without warranty.",
     .left = 720,
     .top = 2400,
     .width = 3150,
     .height = 195,
     .tab = 9,
     .foreColor = kDarkRed},
    {.name = "cmdClose",
     .kind = CommandButton,
     .caption = "Close",
     .left = 4200,
     .top = 2160,
     .width = 855,
     .height = 300,
     .tab = 6},
}};

}  // namespace

std::string VersionText(const ComponentVersion& version) {
    std::string text = "(";
    text += std::to_string(version.major);
    text += '.';
    text += std::to_string(version.minor);
    text += ')';
    return text;
}

std::span<const WidgetDef> AboutDialog::Layout() {
    return kLayout;
}

void AboutDialog::Load() {
    if (loaded_) return;
    loaded_ = true;
    ++loads_;
    Form_Load();
}

void AboutDialog::Form_Load() {
    version_ = VersionText(container_.Version());
}

std::string AboutDialog::CaptionOf(std::string_view name, int index) const {
    if (name == "lblVersion") return version_;
    const WidgetDef* w = FindWidget(kLayout, name, index);
    return w && w->caption ? w->caption : "";
}

void AboutDialog::Unload() {
    if (!loaded_) return;
    loaded_ = false;
    showing_ = false;
    if (onUnload) onUnload();
}

}  // namespace varnel::pages
