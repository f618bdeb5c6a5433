// What the control needs of its host.
#pragma once

#include <cstdint>
#include <string_view>

namespace varnel {

class AutomationError;
namespace pages {
class AboutDialog;
}

struct ComponentVersion {
    std::int32_t major = 3;
    std::int32_t minor = 0;
    std::int32_t build = 0;
    std::int32_t revision = 0;
};

class Container {
  public:
    virtual ~Container() = default;

    // Ambient UserMode: true while the host runs its form, false in its designer. Read afresh
    // at every use.
    virtual bool UserMode() = 0;
    // The named property has a new value; the host marks the saved state as changed.
    virtual void PropertyChanged(std::string_view name) = 0;
    // Runs every connected OnScaleComm handler to completion.
    virtual void RaiseOnScaleComm() = 0;
    // Sets the control's extent, in twips. Setting the size it already has raises no resize.
    virtual void SetOwnSize(float widthTwips, float heightTwips) = 0;
    virtual ComponentVersion Version() = 0;
    // An error escaped one of the control's event handlers (a receive event or a timer tick);
    // the control has already recovered as far as it can.
    virtual void EventError(const AutomationError& error) = 0;
    // Shows the loaded About dialog modally, without an owner window, and returns once it has
    // been unloaded (its Close button or the title-bar close box). Timers and receive events go
    // on being handled meanwhile.
    virtual void ShowAboutBox(pages::AboutDialog& dialog) = 0;
};

}  // namespace varnel
