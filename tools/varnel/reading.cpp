#include "tools/varnel/reading.h"

#include <algorithm>

#include "control/varnel.h"

namespace varnel::cli {

namespace {

std::string Count(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

ReadWatcher::ReadWatcher(int stable) : stable_(std::max(stable, 1)) {}

void ReadWatcher::Failure(const posix::OpenFailure& f) {
    if (!result_) failure_ = f;
}

void ReadWatcher::Add(const EventRecord& r) {
    if (result_) return;
    if (r.scaleCommEvent != scale_event::kCommLost) failure_.reset();
    switch (r.scaleCommEvent) {
        case scale_event::kNewWeight:
            if (r.valid) {
                ++valid_;
                if (run_ > 0 && runStart_ && runStart_->rawWt == r.rawWt &&
                    runStart_->rawWtUnits == r.rawWtUnits) {
                    ++run_;
                } else {
                    runStart_ = r;
                    run_ = 1;
                }
                longestRun_ = std::max(longestRun_, run_);
                if (run_ >= stable_) result_ = r;
                return;
            }
            if (r.scaleStatus != 0) {
                ++withStatus_;
                statuses_.insert(r.scaleStatus);
            } else {
                ++noLayout_;
            }
            run_ = 0;
            return;
        case scale_event::kStatusChanged:
            ++statusEvents_;
            if (r.scaleStatus != 0) statuses_.insert(r.scaleStatus);
            return;
        case scale_event::kCommLost:
            ++losses_;
            run_ = 0;
            return;
        default:
            return;
    }
}

std::string ReadWatcher::WhatWasSeen() const {
    std::string statuses;
    for (int s : statuses_) {
        statuses += (statuses.empty() ? "status " : ", ") + std::to_string(s);
    }
    std::string seen;
    auto part = [&seen](const std::string& text) { seen += (seen.empty() ? "" : "; ") + text; };
    if (valid_ == 0 && withStatus_ == 0 && noLayout_ == 0) {
        if (statusEvents_ > 0 && !statuses.empty()) {
            part("only frames without a valid weight (" + statuses + ")");
        } else if (statusEvents_ > 0) {
            part("only status changes");
        } else if (!failure_ || losses_ > 0) {
            part("no data at all");
        }
    } else if (valid_ == 0 && noLayout_ == 0) {
        part("only frames without a valid weight (" + statuses + ")");
    } else if (valid_ == 0 && withStatus_ == 0) {
        part("only frames with no known weight layout (RawWtUnits 0)");
    } else {
        if (valid_ > 0) {
            part(Count(valid_, "valid weight", "valid weights") +
                 (stable_ > 1 ? ", at most " + std::to_string(longestRun_) + " of " +
                                    std::to_string(stable_) + " in a row the same"
                              : std::string()));
        }
        if (withStatus_ > 0) {
            part(Count(withStatus_, "frame", "frames") + " without a valid weight (" + statuses +
                 ")");
        }
        if (noLayout_ > 0) {
            part(Count(noLayout_, "frame", "frames") +
                 " with no known weight layout (RawWtUnits 0)");
        }
    }
    if (losses_ > 0) {
        part(losses_ == 1 ? "the link was lost once"
                          : "the link was lost " + std::to_string(losses_) + " times");
    }
    if (failure_) part(OpenErrorText(*failure_));
    return seen;
}

}  // namespace varnel::cli
