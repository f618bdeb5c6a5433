#include "tools/varnel/serve/hub.h"

#include <boost/asio/steady_timer.hpp>
#include <cstdio>

#include "control/errors.h"
#include "datapath/frame.h"
#include "host/scale.h"
#include "platform/posix/event_loop.h"
#include "tools/varnel/output.h"
#include "tools/varnel/reading.h"

namespace varnel::serve {

struct Hub::PendingRead {
    explicit PendingRead(boost::asio::io_context& io, int stable) : watcher(stable), timer(io) {}
    cli::ReadWatcher watcher;
    boost::asio::steady_timer timer;
    ReadDone done;
};

struct Hub::Entry {
    Entry(posix::EventLoop& loop, const std::string& systemDir, const ScaleSpec& s)
        : conf(s), runtime(loop, systemDir), scale(runtime) {}

    // The path the port opens, resolved again at every opening (a link may be re-pointed).
    void Resolve() { device = runtime.Ports().Resolve(scale->CommPort()); }

    ScaleSpec conf;
    posix::Runtime runtime;  // each scale has its own port bindings
    host::Scale scale;
    std::string state = "closed";  // closed, waiting, stable, motion, lost, reconnecting
    std::string device;
    std::string reason;   // why the last attempt to open failed
    bool framed = false;  // a frame arrived since the port opened
    std::optional<cli::EventRecord> last;
    std::map<std::uint64_t, std::unique_ptr<PendingRead>> reads;
};

Hub::Hub(posix::EventLoop& loop, const std::string& systemDir, const std::vector<ScaleSpec>& scales)
    : loop_(loop) {
    for (const ScaleSpec& conf : scales) {
        auto e = std::make_unique<Entry>(loop, systemDir, conf);
        Entry& entry = *e;
        Varnel& c = entry.scale.Control();
        c.InitProperties();
        c.SetCommPort(static_cast<std::int16_t>(conf.port));
        if (!conf.device.empty())
            entry.runtime.Ports().Bind(static_cast<std::int16_t>(conf.port), conf.device);
        if (conf.units) c.SetNetWtUnits(*conf.units);
        if (conf.notify) c.SetWtNotification(*conf.notify);
        entry.scale.Container().SubscribeScaleComm([this, &entry] { OnEvent(entry); });
        entry.scale.SubscribeOpenFailure(
            [this, &entry](const posix::OpenFailure& f) { OnOpenFailure(entry, f); });
        entry.scale.Container().SubscribeErrors([name = conf.name](const AutomationError& err) {
            std::fprintf(stderr, "varnel serve: scale %s: error %d: %s\n", name.c_str(),
                         err.Number(), err.what());
        });
        entries_.push_back(std::move(e));
    }
}

Hub::~Hub() {
    *alive_ = false;
}

void Hub::Open() {
    for (auto& e : entries_) {
        std::int16_t open = kTrue;
        try {
            e->framed = false;
            e->Resolve();
            const bool up = e->scale->ScaleOpen(open) == 1;
            const auto& failure = e->scale.LastOpenFailure();
            SetState(*e, up ? "waiting" : "reconnecting", failure ? failure->reason : "", false);
        } catch (const AutomationError& err) {
            SetState(*e, "closed", err.what(), false);
        }
    }
}

void Hub::Close() {
    for (auto& e : entries_) {
        std::int16_t close = 0;
        try {
            e->scale->ScaleOpen(close);
        } catch (const AutomationError&) {
        }
        e->state = "closed";
    }
}

std::vector<std::string> Hub::Names() const {
    std::vector<std::string> names;
    for (const auto& e : entries_)
        names.push_back(e->conf.name);
    return names;
}

Hub::Entry* Hub::Find(std::string_view name) {
    for (auto& e : entries_)
        if (e->conf.name == name) return e.get();
    return nullptr;
}

namespace {

// Replaces the number after "key": in a line of cli::JsonLine. The first match is the key: the
// text values before it escape their quotes.
void SetNumber(std::string& line, std::string_view key, long value) {
    const auto at = line.find(key);
    if (at == std::string::npos) return;
    const auto begin = at + key.size();
    const auto end = line.find_first_of(",}", begin);
    line.replace(begin, end - begin, std::to_string(value));
}

}  // namespace

std::string Hub::StateOf(Entry& e) {
    std::string out = "{\"scale\":" + cli::JsonString(e.conf.name) + ",\"state\":\"" + e.state +
                      "\",\"reason\":" + (e.reason.empty() ? "null" : cli::JsonString(e.reason));
    // The last event's record; before the first, the control's properties as they stand.
    const Varnel& c = e.scale.Control();
    std::string record;
    if (e.last) {
        record = cli::JsonLine(*e.last);
        // A client reads back what it has set even when no event has followed.
        if (e.last->netWtUnits != c.NetWtUnits())
            SetNumber(record, "\"NetWtUnits\":", c.NetWtUnits());
        if (e.last->wtNotification != c.WtNotification())
            SetNumber(record, "\"WtNotification\":", c.WtNotification());
    } else {
        cli::EventRecord r = cli::EventRecord::From(c, e.device);
        r.time.clear();
        record = cli::JsonLine(r);
    }
    out += ',';
    out.append(record, 1, std::string::npos);
    return out;
}

std::string Hub::StateAt(Entry& e, const cli::EventRecord& r) {
    std::optional<cli::EventRecord> saved = std::move(e.last);
    e.last = r;
    std::string state = StateOf(e);
    e.last = std::move(saved);
    return state;
}

std::optional<std::string> Hub::State(std::string_view name) {
    Entry* e = Find(name);
    if (!e) return std::nullopt;
    return StateOf(*e);
}

std::string Hub::States() {
    std::string out = "{\"scales\":[";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (i) out += ',';
        out += StateOf(*entries_[i]);
    }
    return out + "]}";
}

std::optional<std::string> Hub::SetUnits(std::string_view name, VN_UOM_ENUM units) {
    Entry* e = Find(name);
    if (!e) return std::nullopt;
    try {
        e->scale->SetNetWtUnits(units);  // under vnChanged this raises OnScaleComm at once
    } catch (const AutomationError& err) {
        // The units are stored; the conversion of the last weight failed.
        std::fprintf(stderr, "varnel serve: scale %s: error %d: %s\n", e->conf.name.c_str(),
                     err.Number(), err.what());
    }
    return "{\"scale\":" + cli::JsonString(e->conf.name) +
           ",\"NetWtUnits\":" + std::to_string(e->scale->NetWtUnits()) + "}";
}

std::optional<std::string> Hub::SetNotify(std::string_view name, VN_NOTIFY_ENUM notify) {
    Entry* e = Find(name);
    if (!e) return std::nullopt;
    e->scale->SetWtNotification(notify);
    return "{\"scale\":" + cli::JsonString(e->conf.name) +
           ",\"WtNotification\":" + std::to_string(e->scale->WtNotification()) + "}";
}

std::optional<VN_NOTIFY_ENUM> Hub::Notify(std::string_view name) {
    Entry* e = Find(name);
    if (!e) return std::nullopt;
    return e->scale->WtNotification();
}

void Hub::OnEvent(Entry& e) {
    Varnel& c = e.scale.Control();
    if (c.ScaleCommEvent() == scale_event::kCommRestored) e.Resolve();
    e.last = cli::EventRecord::From(c, e.device);
    const cli::EventRecord& r = *e.last;
    switch (r.scaleCommEvent) {
        case scale_event::kNewWeight:
        case scale_event::kStatusChanged:
            e.framed = true;
            SetState(e, r.scaleStatus == 0 ? "stable" : "motion", "", false);
            break;
        case scale_event::kCommLost:
            e.framed = false;
            SetState(e, "lost", "", false);
            break;
        case scale_event::kCommRestored:
            SetState(e, "waiting", "", false);
            break;
        default:
            break;
    }
    Publish(e, std::make_shared<const std::string>(StateOf(e)));

    for (auto it = e.reads.begin(); it != e.reads.end();) {
        PendingRead& read = *it->second;
        read.watcher.Add(r);
        if (!read.watcher.Result()) {
            ++it;
            continue;
        }
        ReadOutcome outcome{StateAt(e, *read.watcher.Result()), ""};
        auto done = std::move(read.done);
        it = e.reads.erase(it);
        done(std::move(outcome));
    }
}

void Hub::OnOpenFailure(Entry& e, const posix::OpenFailure& f) {
    for (auto& [id, read] : e.reads)
        read->watcher.Failure(f);
    if (f.kind == posix::OpenFailure::Kind::Port) e.device = f.device;
    SetState(e, "reconnecting", f.reason, true);
}

void Hub::SetState(Entry& e, std::string state, std::string reason, bool announce) {
    if (e.state == state && e.reason == reason) return;
    e.state = std::move(state);
    e.reason = std::move(reason);
    if (announce) Publish(e, std::make_shared<const std::string>(StateOf(e)));
}

void Hub::Publish(const Entry& e, const Message& m) {
    // By id rather than by iterator: a listener may unsubscribe anyone.
    for (std::uint64_t id = 0;;) {
        auto it = subscriptions_.lower_bound(id);
        if (it == subscriptions_.end()) break;
        id = it->first + 1;
        if (it->second.scale.empty() || it->second.scale == e.conf.name) it->second.listener(m);
    }
}

std::uint64_t Hub::Subscribe(std::string scale, Listener listener) {
    const std::uint64_t id = nextId_++;
    subscriptions_.emplace(id, Subscription{std::move(scale), std::move(listener)});
    return id;
}

void Hub::Unsubscribe(std::uint64_t id) {
    subscriptions_.erase(id);
}

std::vector<Message> Hub::Snapshot(std::string_view scale) {
    std::vector<Message> out;
    for (const auto& e : entries_) {
        if (scale.empty() || e->conf.name == scale) {
            out.push_back(std::make_shared<const std::string>(StateOf(*e)));
        }
    }
    return out;
}

std::uint64_t Hub::Read(std::string_view name, int stable, std::chrono::milliseconds timeout,
                        ReadDone done) {
    Entry* e = Find(name);
    if (!e) return 0;
    auto read = std::make_unique<PendingRead>(loop_.Context(), stable);
    const Varnel& c = e->scale.Control();
    const bool online = e->state == "stable" || e->state == "motion";
    if (c.WtNotification() != vnEverytime && online && e->framed && e->last) {
        // Every frame since the last event has carried the control's weight and status.
        cli::EventRecord now = cli::EventRecord::From(c, e->device);
        now.scaleCommEvent = scale_event::kNewWeight;
        now.valid = cli::IsValidWeight(now.scaleCommEvent, now.scaleStatus, now.rawWtUnits);
        now.time = e->last->time;
        read->watcher.Add(now);
        if (read->watcher.Result()) {
            done(ReadOutcome{StateAt(*e, *read->watcher.Result()), ""});
            return 0;
        }
    }
    const std::uint64_t id = nextId_++;
    read->done = std::move(done);
    read->timer.expires_after(timeout);
    read->timer.async_wait(
        [e, id, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code&) {
            if (alive.expired()) return;
            auto it = e->reads.find(id);
            if (it == e->reads.end()) return;
            auto r = std::move(it->second);
            e->reads.erase(it);
            r->done(ReadOutcome{std::nullopt, r->watcher.WhatWasSeen()});
        });
    e->reads.emplace(id, std::move(read));
    return id;
}

void Hub::CancelRead(std::uint64_t id) {
    for (auto& e : entries_)
        e->reads.erase(id);
}

Hub::Kilograms Hub::WeightInKilograms(std::string_view name) {
    Entry* e = Find(name);
    if (!e) return {0.0f, "no scale"};
    if (e->state == "closed" || e->state == "lost" || e->state == "reconnecting") {
        return {0.0f, "scale offline" + (e->reason.empty() ? "" : ": " + e->reason)};
    }
    if (!e->framed) return {0.0f, "no reading yet"};
    Varnel& c = e->scale.Control();
    if (c.ScaleStatus() != 0) {
        return {0.0f, "weight not stable (scale status " + std::to_string(c.ScaleStatus()) + ")"};
    }
    if (!frame::FormatRawWt(c.RawWtUnits(), c.RawWt())) {
        return {0.0f, "the scale sends weights in an unknown layout"};
    }
    try {
        return {frame::ConvertWeights(c.RawWtUnits(), c.RawWt()).kilograms, "ok"};
    } catch (const AutomationError&) {
        return {0.0f, "unreadable weight " + c.RawWt()};
    }
}

}  // namespace varnel::serve
