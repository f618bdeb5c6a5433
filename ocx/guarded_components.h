// The hosted components as the control sees them: each forwards to the runtime's component, and
// runs the control's handlers inside an Activity of the control, so that a host that releases
// the control from its event handler does not pull the control out from under the handler.
// Once the host has released the control, no further handler runs.
#pragma once

#include "control/varnel.h"

namespace varnel::ocx {

class VarnelControl;

HostedComponents Guard(VarnelControl& control, HostedComponents hosted);

}  // namespace varnel::ocx
