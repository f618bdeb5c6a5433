#include "host/standalone_container.h"

#include <exception>

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

}  // namespace varnel::host
