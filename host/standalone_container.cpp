#include "host/standalone_container.h"

#include <exception>

#include "pages/about_dialog.h"

namespace varnel::host {

void StandaloneContainer::PropertyChanged(std::string_view name) {
    for (const auto& h : propertyHandlers_)
        h(name);
}

void StandaloneContainer::RaiseOnScaleComm() {
    for (const auto& h : eventHandlers_) {
        // A failing subscriber must neither stop the others nor reach into the control.
        try {
            h();
        } catch (const AutomationError& e) {
            EventError(e);
        } catch (const std::exception& e) {
            EventError(
                AutomationError(err::kInternal, std::string("OnScaleComm handler: ") + e.what()));
        }
    }
}

void StandaloneContainer::SetOwnSize(float widthTwips, float heightTwips) {
    width_ = widthTwips;
    height_ = heightTwips;
}

void StandaloneContainer::EventError(const AutomationError& error) {
    for (const auto& h : errorHandlers_)
        h(error);
}

void StandaloneContainer::ShowAboutBox(pages::AboutDialog& dialog) {
    if (aboutHandler_) aboutHandler_(dialog);
    if (dialog.Loaded()) dialog.cmdClose_Click();
}

}  // namespace varnel::host
