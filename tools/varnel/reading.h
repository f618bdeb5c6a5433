// Waiting for one weight: the events of a read in, the weight that ends it out, and what was seen
// when none did.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "platform/posix/open_failure.h"
#include "tools/varnel/output.h"

namespace varnel::cli {

class ReadWatcher {
  public:
    // `stable`: how many consecutive valid frames must carry the same raw weight (at least 1).
    explicit ReadWatcher(int stable);

    void Add(const EventRecord& r);
    // A failed attempt to open the port; it stands until data arrives or the link is restored.
    void Failure(const posix::OpenFailure& f);

    // The valid weight event that ended the read, once there is one.
    std::optional<EventRecord> Result() const { return result_; }

    // What arrived so far, as one sentence for a timeout message: "no data at all", "only frames
    // without a valid weight (status 1)", "cannot open the port (error 8002): /dev/ttyUSB0: ...",
    // ...
    std::string WhatWasSeen() const;

  private:
    int stable_;
    std::optional<EventRecord> result_;
    std::optional<EventRecord> runStart_;  // the first frame of the current run of equal weights
    int run_ = 0;
    int longestRun_ = 0;
    int valid_ = 0;
    int withStatus_ = 0;  // weight events of frames whose status nibble is not 0
    int noLayout_ = 0;    // weight events of frames with status 0 and no known layout
    int statusEvents_ = 0;
    int losses_ = 0;
    std::set<int> statuses_;  // the non-zero status nibbles seen
    std::optional<posix::OpenFailure> failure_;
};

}  // namespace varnel::cli
