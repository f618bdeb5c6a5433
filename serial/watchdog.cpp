// Watchdog and reconnect, and the boundary where errors leave the control's event handlers.
#include "control/errors.h"
#include "control/varnel.h"

namespace varnel {

void Varnel::HandleCommError() {
    WriteLog("Scale communications error!");
    std::int16_t close = kFalse;
    (void)ScaleOpen(close);
    timReconnect.SetEnabled(true);
    SetScaleCommEvent(scale_event::kCommLost);
    RaiseOnScaleComm();
}

void Varnel::timCommTimeout_Timer() {
    try {
        HandleCommError();
    } catch (const std::exception& e) {
        RecoverFromEventError(e);
    }
}

void Varnel::timReconnect_Timer() {
    try {
        if (m_ConnectStatus != 0) return;
        std::int16_t open = kTrue;
        if (ScaleOpen(open) == 1) {
            SetScaleCommEvent(scale_event::kCommRestored);
            RaiseOnScaleComm();
        }
    } catch (const std::exception& e) {
        RecoverFromEventError(e);
    }
}

void Varnel::MSComm1_OnComm() {
    try {
        HandleCommEvent();
    } catch (const AutomationError& e) {
        container_.EventError(e);
    } catch (const std::exception& e) {
        container_.EventError(AutomationError(err::kInternal, e.what()));
    }
}

// An error escaped a timer tick: tell the host and treat it as a failed attempt, so the retry
// cycle goes on.
void Varnel::RecoverFromEventError(const std::exception& error) {
    if (auto* automation = dynamic_cast<const AutomationError*>(&error)) {
        container_.EventError(*automation);
    } else {
        container_.EventError(AutomationError(err::kInternal, error.what()));
    }
    try {
        timCommTimeout.SetEnabled(false);
        timReconnect.SetEnabled(true);
        if (m_ConnectStatus != 0) SetConnectStatus(0);
    } catch (const std::exception&) {
        // Nothing more can be done from here; the reconnect timer is on when it could be set.
    }
}

}  // namespace varnel
