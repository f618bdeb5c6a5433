// A container that records what the control tells it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "control/container.h"
#include "control/errors.h"
#include "pages/about_dialog.h"

namespace varnel::testing {

class RecordingContainer : public Container {
  public:
    bool userMode = true;
    bool failUserMode = false;
    std::vector<std::string> notifications;
    int raised = 0;
    std::function<void()> onScaleComm;  // runs inside each raise
    std::vector<AutomationError> errors;
    std::vector<std::pair<float, float>> sizes;
    ComponentVersion version{3, 0, 0, 0};
    // About dialog displays: the version label each showed; onAbout plays the user (by default
    // pressing Close).
    std::vector<std::string> aboutShown;
    std::function<void(pages::AboutDialog&)> onAbout;

    bool UserMode() override {
        if (failUserMode) throw AutomationError(438, "Object doesn't support this property");
        return userMode;
    }
    void PropertyChanged(std::string_view name) override { notifications.emplace_back(name); }
    void RaiseOnScaleComm() override {
        ++raised;
        if (onScaleComm) onScaleComm();
    }
    void SetOwnSize(float w, float h) override { sizes.emplace_back(w, h); }
    ComponentVersion Version() override { return version; }
    void EventError(const AutomationError& error) override { errors.push_back(error); }
    void ShowAboutBox(pages::AboutDialog& dialog) override {
        aboutShown.push_back(dialog.lblVersion());
        if (onAbout)
            onAbout(dialog);
        else
            dialog.cmdClose_Click();
    }
};

}  // namespace varnel::testing
