// The property values a host reads, for comparing whole controls.
#pragma once

#include <cstdint>
#include <string>

#include "control/varnel.h"

namespace varnel::testing {

struct State {
    std::int16_t port, event, rawUnits, status, connect;
    std::string rawWt, formatted;
    std::int32_t notify, units;
    float netWt;
    bool operator==(const State&) const = default;
};

inline State StateOf(Varnel& c) {
    return State{c.CommPort(),      c.ScaleCommEvent(), c.RawWtUnits(),  c.ScaleStatus(),
                 c.ConnectStatus(), c.RawWt(),          c.FormattedWt(), c.WtNotification(),
                 c.NetWtUnits(),    *c.NetWt().R4()};
}

}  // namespace varnel::testing
