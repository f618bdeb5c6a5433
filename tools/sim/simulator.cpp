#include "tools/sim/simulator.h"

#include <algorithm>
#include <stdexcept>

#include "datapath/frame.h"

namespace varnel::sim {

namespace {

using detail::Fail;

void CheckNibble(int status, std::string_view what) {
    if (status < 0 || status > 15)
        throw std::invalid_argument(std::string(what) + " " + std::to_string(status) +
                                    " is outside 0..15");
}

int ParseNibble(std::string_view token, std::string_view context) {
    const auto value = detail::ParseInteger(token, "status", context);
    if (value < 0 || value > 15)
        Fail(context, "status " + std::string(token) + " is outside 0..15");
    return static_cast<int>(value);
}

// The frame's bytes before its final CR, and whether it had one.
std::string_view Body(const std::string& bytes) {
    if (!bytes.empty() && bytes.back() == frame::kCR)
        return std::string_view(bytes).substr(0, bytes.size() - 1);
    return bytes;
}

void Reshape(const Fault& fault, std::string& bytes) {
    switch (fault.kind) {
        case FaultKind::Truncate: {
            const auto body = Body(bytes);
            bytes = std::string(body.substr(0, static_cast<std::size_t>(fault.truncateKeep)));
            bytes += frame::kCR;
            break;
        }
        case FaultKind::Overlong:
            bytes.insert(Body(bytes).size(), static_cast<std::size_t>(fault.overlongExtra), '0');
            break;
        case FaultKind::StxInside:
            if (static_cast<std::size_t>(fault.stxPosition) <= bytes.size())
                bytes[static_cast<std::size_t>(fault.stxPosition) - 1] = frame::kSTX;
            break;
        default:
            break;
    }
}

}  // namespace

int StatusSchedule::At(double seconds) const {
    for (const auto& window : windows)
        if (seconds >= window.from && seconds < window.to) return window.status;
    return base;
}

StatusSchedule ParseStatusSchedule(std::string_view option) {
    const std::string context = "status '" + std::string(option) + "'";
    StatusSchedule schedule;
    const auto items = detail::Split(option, ',');
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto at = items[i].find('@');
        if (at == std::string_view::npos) {
            if (i != 0)
                Fail(context, "only the first item may be a plain status; expected N@FROM-TO");
            schedule.base = ParseNibble(items[i], context);
            continue;
        }
        StatusWindow window;
        window.status = ParseNibble(items[i].substr(0, at), context);
        const auto range = detail::Split(items[i].substr(at + 1), '-');
        if (range.size() != 2) Fail(context, "expected N@FROM-TO, e.g. 1@3.0-4.0");
        window.from = detail::ParseReal(range[0], "start time", context);
        window.to = detail::ParseReal(range[1], "end time", context);
        if (window.from < 0.0 || window.to <= window.from)
            Fail(context, "needs 0 <= FROM < TO in " + std::string(items[i]));
        schedule.windows.push_back(window);
    }
    return schedule;
}

Simulator::Simulator(Config config) : config_(std::move(config)), random_(config_.seed) {
    if (config_.period <= std::chrono::nanoseconds::zero())
        throw std::invalid_argument("the frame period must be positive");
    if (config_.filler.size() != 2)
        throw std::invalid_argument("the filler must be two characters");
    CheckNibble(config_.status.base, "status");
    for (const auto& window : config_.status.windows)
        CheckNibble(window.status, "status");
}

std::optional<Chunk> Simulator::Next() {
    while (pending_.empty() && !ended_)
        ProduceSlot();
    if (pending_.empty()) return std::nullopt;
    Chunk chunk = std::move(pending_.front());
    pending_.pop_front();
    return chunk;
}

void Simulator::ProduceSlot() {
    const std::uint64_t n = slot_++;
    const auto due = config_.period * static_cast<std::int64_t>(n);
    const auto previous = n == 0 ? std::chrono::nanoseconds(-1) : due - config_.period;
    const double seconds = std::chrono::duration<double>(due).count();

    auto reading = config_.script.Next(seconds);
    if (!reading) {
        ended_ = true;
        return;
    }

    std::vector<const Fault*> firing;
    for (const auto& fault : config_.faults)
        if (fault.when.Fires(n, due, previous)) firing.push_back(&fault);

    for (const Fault* fault : firing) {
        if (fault->kind != FaultKind::Silence) continue;
        if (due >= silentUntil_)  // a silence that fires inside another only extends it
            pending_.push_back(Chunk{due, {}, false, n, {FaultKind::Silence}});
        silentUntil_ = std::max(silentUntil_, due + fault->silence);
    }
    if (due < silentUntil_) return;

    Chunk frameChunk{due, {}, true, n, {}};
    if (reading->raw) {
        frameChunk.bytes = std::move(*reading->raw);
    } else {
        const int status = reading->status.value_or(config_.status.At(seconds));
        frameChunk.bytes = EncodeFrame(config_.layout, status, reading->weight, config_.filler);
    }
    Chunk garbage{due + config_.period / 2, {}, false, n, {}};
    for (const Fault* fault : firing) {
        if (fault->kind == FaultKind::Silence) continue;
        if (fault->kind != FaultKind::Garbage) {
            Reshape(*fault, frameChunk.bytes);
            frameChunk.faults.push_back(fault->kind);
            continue;
        }
        for (int i = 0; i < fault->garbageBytes; ++i) {
            if (fault->garbageAnyByte) {
                garbage.bytes += static_cast<char>(random_.Below(256));
                continue;
            }
            // 254 values: every byte but STX and CR.
            auto value = random_.Below(254);
            value += value >= static_cast<unsigned char>(frame::kSTX) ? 1 : 0;
            value += value >= static_cast<unsigned char>(frame::kCR) ? 1 : 0;
            garbage.bytes += static_cast<char>(value);
        }
        garbage.faults.push_back(FaultKind::Garbage);
    }
    pending_.push_back(std::move(frameChunk));
    if (!garbage.bytes.empty()) pending_.push_back(std::move(garbage));
}

}  // namespace varnel::sim
