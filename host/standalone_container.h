// A container for C++ applications and the command-line tool: it runs the control in run mode
// (design mode on request) and passes its event, property changes and escaped errors on to
// subscribers.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "control/container.h"
#include "control/errors.h"

namespace varnel::host {

class StandaloneContainer : public Container {
  public:
    using EventHandler = std::function<void()>;
    using PropertyHandler = std::function<void(std::string_view name)>;
    using ErrorHandler = std::function<void(const AutomationError& error)>;
    using AboutHandler = std::function<void(pages::AboutDialog& dialog)>;

    void SetUserMode(bool runMode) { userMode_ = runMode; }
    void SubscribeScaleComm(EventHandler handler) { eventHandlers_.push_back(std::move(handler)); }
    void SubscribePropertyChanged(PropertyHandler handler) {
        propertyHandlers_.push_back(std::move(handler));
    }
    // Errors that escaped the control's event handlers, and exceptions thrown by subscribers.
    void SubscribeErrors(ErrorHandler handler) { errorHandlers_.push_back(std::move(handler)); }

    // Shows the About dialog for AboutBox. Without a handler, or when the handler leaves it open,
    // the dialog is closed at once: a console host has no window to keep it in.
    void SetAboutBoxHandler(AboutHandler handler) { aboutHandler_ = std::move(handler); }

    float WidthTwips() const { return width_; }
    float HeightTwips() const { return height_; }

    bool UserMode() override { return userMode_; }
    void PropertyChanged(std::string_view name) override;
    void RaiseOnScaleComm() override;
    void SetOwnSize(float widthTwips, float heightTwips) override;
    ComponentVersion Version() override { return ComponentVersion{3, 0, 0, 0}; }
    void EventError(const AutomationError& error) override;
    void ShowAboutBox(pages::AboutDialog& dialog) override;

  private:
    bool userMode_ = true;
    float width_ = 0.0f;
    float height_ = 0.0f;
    std::vector<EventHandler> eventHandlers_;
    std::vector<PropertyHandler> propertyHandlers_;
    std::vector<ErrorHandler> errorHandlers_;
    AboutHandler aboutHandler_;
};

}  // namespace varnel::host
