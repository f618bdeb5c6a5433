// A container for C++ applications and the command-line tool: it runs the control in run mode
// (design mode on request) and passes its event, property changes and escaped errors on to
// subscribers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>

#include "control/container.h"
#include "control/errors.h"

namespace varnel::host {

using SubscriptionId = std::uint64_t;

// Subscribers in the order they came. A handler may subscribe and unsubscribe others, or itself,
// while a raise runs: a new subscriber starts with the next raise, and one that was removed is
// not called again. Handlers are never moved or destroyed while a raise may be running them.
template <typename Handler>
class SubscriberList {
  public:
    void Add(SubscriptionId id, Handler handler) {
        entries_.push_back(Entry{id, std::move(handler), false});
    }

    bool Remove(SubscriptionId id) {
        for (Entry& e : entries_) {
            if (e.id == id && !e.removed) {
                e.removed = true;
                anyRemoved_ = true;
                Compact();
                return true;
            }
        }
        return false;
    }

    template <typename Call>
    void ForEach(const Call& call) {
        struct Depth {
            SubscriberList& list;
            explicit Depth(SubscriberList& l) : list(l) { ++list.depth_; }
            ~Depth() {
                --list.depth_;
                list.Compact();
            }
        } depth(*this);
        const std::size_t count = entries_.size();  // later subscribers wait for the next raise
        for (std::size_t i = 0; i < count; ++i) {
            Entry& e = entries_[i];  // a deque keeps elements in place while others are added
            if (!e.removed) call(e.handler);
        }
    }

  private:
    struct Entry {
        SubscriptionId id;
        Handler handler;
        bool removed;
    };
    void Compact() {
        if (depth_ > 0 || !anyRemoved_) return;
        std::erase_if(entries_, [](const Entry& e) { return e.removed; });
        anyRemoved_ = false;
    }
    std::deque<Entry> entries_;
    int depth_ = 0;  // raises running on this list, nested ones included
    bool anyRemoved_ = false;
};

class StandaloneContainer : public Container {
  public:
    using EventHandler = std::function<void()>;
    using PropertyHandler = std::function<void(std::string_view name)>;
    using ErrorHandler = std::function<void(const AutomationError& error)>;
    using AboutHandler = std::function<void(pages::AboutDialog& dialog)>;

    void SetUserMode(bool runMode) { userMode_ = runMode; }
    // Each returns the id that Unsubscribe takes.
    SubscriptionId SubscribeScaleComm(EventHandler handler);
    SubscriptionId SubscribePropertyChanged(PropertyHandler handler);
    // Errors that escaped the control's event handlers, and exceptions thrown by subscribers.
    SubscriptionId SubscribeErrors(ErrorHandler handler);
    // Ends a subscription of any kind, also from inside a handler; false for an unknown id.
    bool Unsubscribe(SubscriptionId id);

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
    SubscriptionId nextId_ = 1;
    SubscriberList<EventHandler> eventHandlers_;
    SubscriberList<PropertyHandler> propertyHandlers_;
    SubscriberList<ErrorHandler> errorHandlers_;
    AboutHandler aboutHandler_;
};

}  // namespace varnel::host
