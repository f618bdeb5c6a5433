#include "host/standalone_container.h"

#include <exception>

#include "pages/about_dialog.h"

namespace varnel::host {

SubscriptionId StandaloneContainer::SubscribeScaleComm(EventHandler handler) {
    eventHandlers_.Add(nextId_, std::move(handler));
    return nextId_++;
}

SubscriptionId StandaloneContainer::SubscribePropertyChanged(PropertyHandler handler) {
    propertyHandlers_.Add(nextId_, std::move(handler));
    return nextId_++;
}

SubscriptionId StandaloneContainer::SubscribeErrors(ErrorHandler handler) {
    errorHandlers_.Add(nextId_, std::move(handler));
    return nextId_++;
}

bool StandaloneContainer::Unsubscribe(SubscriptionId id) {
    return eventHandlers_.Remove(id) || propertyHandlers_.Remove(id) || errorHandlers_.Remove(id);
}

void StandaloneContainer::PropertyChanged(std::string_view name) {
    propertyHandlers_.ForEach([name](const PropertyHandler& h) { h(name); });
}

void StandaloneContainer::RaiseOnScaleComm() {
    eventHandlers_.ForEach([this](const EventHandler& h) {
        // A failing subscriber must neither stop the others nor reach into the control.
        try {
            h();
        } catch (const AutomationError& e) {
            EventError(e);
        } catch (const std::exception& e) {
            EventError(
                AutomationError(err::kInternal, std::string("OnScaleComm handler: ") + e.what()));
        }
    });
}

void StandaloneContainer::SetOwnSize(float widthTwips, float heightTwips) {
    width_ = widthTwips;
    height_ = heightTwips;
}

void StandaloneContainer::EventError(const AutomationError& error) {
    errorHandlers_.ForEach([&error](const ErrorHandler& h) { h(error); });
}

void StandaloneContainer::ShowAboutBox(pages::AboutDialog& dialog) {
    // A copy: the handler may replace itself while it shows the dialog.
    if (const AboutHandler handler = aboutHandler_) handler(dialog);
    if (dialog.Loaded()) dialog.cmdClose_Click();
}

}  // namespace varnel::host
