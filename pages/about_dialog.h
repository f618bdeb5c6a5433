// frmAbout: the About dialog as a model. The Windows shell renders it from Layout() and drives
// the two events; Varnel::AboutBox creates, shows and releases it.
#pragma once

#include <array>
#include <functional>
#include <span>
#include <string>

#include "control/container.h"
#include "pages/widgets.h"

namespace varnel::pages {

// "(" major "." minor ")", both in plain decimal: (3.0) for version 3.0.x.x.
std::string VersionText(const ComponentVersion& version);

class AboutDialog {
  public:
    static constexpr const char* kCaption = "About Varnel";
    static constexpr int kClientWidth = 5295;
    static constexpr int kClientHeight = 2790;
    // Fixed dialog frame: not resizable, no minimize or maximize button, no task-bar entry.
    static constexpr bool kResizable = false;
    static constexpr bool kMinButton = false;
    static constexpr bool kMaxButton = false;
    static constexpr bool kShowInTaskbar = false;
    // cmdClose is the only widget that takes the focus; it is neither the default nor the cancel
    // button, so Enter and Space press it through the focus and Escape does nothing.
    static constexpr const char* kFocusWidget = "cmdClose";
    static constexpr const char* kDefaultButton = nullptr;
    static constexpr const char* kCancelButton = nullptr;

    // The widgets top to bottom, as created; lblVersion's caption is then "ver".
    static std::span<const WidgetDef> Layout();

    explicit AboutDialog(Container& container) : container_(container) {}

    // Loads the instance when it is not loaded; Form_Load runs once per instance.
    void Load();
    // AboutBox is about to show the loaded dialog modally.
    void BeginModal() { showing_ = true; }

    bool Loaded() const { return loaded_; }
    bool Showing() const { return showing_; }
    int LoadCount() const { return loads_; }

    // The caption a widget shows now (lblVersion changes at load; the others are fixed).
    std::string CaptionOf(std::string_view name, int index = -1) const;
    const std::string& lblVersion() const { return version_; }

    // --- Events ---
    void Form_Load();
    // "Close" pressed: unloads the dialog, which closes its window.
    void cmdClose_Click() { Unload(); }
    // The title-bar close box: unloads the same way, without asking anything.
    void CloseBox_Click() { Unload(); }

    // Unloads the instance once; runs onUnload, with which the renderer ends its modal loop.
    void Unload();
    std::function<void()> onUnload;

  private:
    Container& container_;
    bool loaded_ = false;
    bool showing_ = false;
    int loads_ = 0;
    std::string version_ = "ver";
};

}  // namespace varnel::pages
