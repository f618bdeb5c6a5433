// The scales that `varnel serve` serves, each a control in its own container on one event loop,
// and the fan-out of their events to the connected clients.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/varnel/serve/config.h"

namespace varnel::cli {
struct EventRecord;
}  // namespace varnel::cli

namespace varnel::posix {
class EventLoop;
struct OpenFailure;
}  // namespace varnel::posix

namespace varnel::serve {

// One JSON object, shared by every client it goes to.
using Message = std::shared_ptr<const std::string>;

class Hub {
  public:
    using Listener = std::function<void(const Message&)>;

    struct ReadOutcome {
        std::optional<std::string> state;  // the scale's state at the stable weight
        std::string seen;                  // otherwise what was seen, one sentence
    };
    using ReadDone = std::function<void(ReadOutcome)>;

    // A weight in kilograms for point-of-sale apps: `info` is "ok" or why there is none.
    struct Kilograms {
        float weight = 0.0f;
        std::string info;
    };

    // Creates the controls (nothing is opened yet).
    Hub(posix::EventLoop& loop, const std::string& systemDir, const std::vector<ScaleSpec>& scales);
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Opens every scale with ScaleOpen -1; one that cannot be opened yet retries every 3 s.
    void Open();
    // Closes every scale with ScaleOpen 0.
    void Close();

    std::vector<std::string> Names() const;
    bool Has(std::string_view name) { return Find(name) != nullptr; }

    // One scale's state: {"scale":..,"state":..,"reason":..} followed by the keys of
    // `monitor --json` for its last event, but for NetWtUnits and WtNotification, which are the
    // control's settings now ("units" and "NetWtText" stay with NetWt). nullopt for an unknown
    // name.
    std::optional<std::string> State(std::string_view name);
    // {"scales":[state, ...]} in the configured order.
    std::string States();

    // Change NetWtUnits or WtNotification: {"scale":..,"NetWtUnits":n} or {..,"WtNotification":n},
    // or nullopt for an unknown name. Under vnEverytime NetWt follows the new units with the next
    // frame, under vnChanged at once.
    std::optional<std::string> SetUnits(std::string_view name, VN_UOM_ENUM units);
    std::optional<std::string> SetNotify(std::string_view name, VN_NOTIFY_ENUM notify);
    std::optional<VN_NOTIFY_ENUM> Notify(std::string_view name);

    // Every message of one scale, or of all scales when `scale` is empty: one per OnScaleComm,
    // and one when an attempt to reopen a lost scale fails for a new reason (state
    // "reconnecting"). Listeners run on the loop and may unsubscribe
    // anyone, themselves included.
    std::uint64_t Subscribe(std::string scale, Listener listener);
    void Unsubscribe(std::uint64_t id);
    // The current state of the scales a subscription covers, one message each.
    std::vector<Message> Snapshot(std::string_view scale);

    // Waits without blocking for `stable` consecutive valid frames with the same weight, at
    // most `timeout`; `done` runs once, on the loop, unless the read is cancelled. Under vnChanged
    // a steady scale raises no events, so there the current weight counts as the first frame
    // (and a valid one ends a read of one frame at once, inside this call). Returns the read's
    // id, or 0 when it has ended already. The scale must exist.
    std::uint64_t Read(std::string_view name, int stable, std::chrono::milliseconds timeout,
                       ReadDone done);
    // Ends a waiting read without an answer: its client has gone.
    void CancelRead(std::uint64_t id);

    // The current weight of a scale in kilograms, as a point-of-sale app reads it.
    Kilograms WeightInKilograms(std::string_view name);

  private:
    struct PendingRead;
    struct Entry;

    Entry* Find(std::string_view name);
    std::string StateOf(Entry& e);
    // The state as it was at an event that ended a read.
    std::string StateAt(Entry& e, const cli::EventRecord& r);
    void OnEvent(Entry& e);
    void OnOpenFailure(Entry& e, const posix::OpenFailure& f);
    void SetState(Entry& e, std::string state, std::string reason, bool announce);
    void Publish(const Entry& e, const Message& m);

    posix::EventLoop& loop_;
    std::vector<std::unique_ptr<Entry>> entries_;
    struct Subscription {
        std::string scale;
        Listener listener;
    };
    std::map<std::uint64_t, Subscription> subscriptions_;
    std::uint64_t nextId_ = 1;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for timer handlers
};

}  // namespace varnel::serve
