// Construction, public properties and the internal setters of the read-only properties.
#include "control/varnel.h"

#include <stdexcept>

#include "control/errors.h"
#include "datapath/frame.h"
#include "pages/about_dialog.h"

namespace varnel {

Varnel::Varnel(Container& container, System& system, HostedComponents hosted)
    : container_(container),
      system_(system),
      hosted_(std::move(hosted)),
      MSComm1(hosted_.comm ? *hosted_.comm : throw std::invalid_argument("no comm component")),
      timReconnect(hosted_.reconnect ? *hosted_.reconnect
                                     : throw std::invalid_argument("no reconnect timer")),
      timCommTimeout(hosted_.commTimeout ? *hosted_.commTimeout
                                         : throw std::invalid_argument("no watchdog timer")) {
    m_Frame.reserve(frame::kLength + 2);
    timReconnect.SetEnabled(false);
    timReconnect.SetInterval(kReconnectInterval);
    timCommTimeout.SetEnabled(false);
    timCommTimeout.SetInterval(kCommTimeoutInterval);
    MSComm1.SetOnComm([this] { MSComm1_OnComm(); });
    timReconnect.SetOnTick([this] { timReconnect_Timer(); });
    timCommTimeout.SetOnTick([this] { timCommTimeout_Timer(); });
}

Varnel::~Varnel() {
    // No step of the control's own; only make sure no handler reaches a dead object.
    MSComm1.SetOnComm(nullptr);
    timReconnect.SetOnTick(nullptr);
    timCommTimeout.SetOnTick(nullptr);
}

// --- Public setters ---

std::int32_t Varnel::CommID() {
    return MSComm1.CommID();
}

void Varnel::SetCommID(std::int32_t New_CommID) {
    MSComm1.SetCommID(New_CommID);
    container_.PropertyChanged("CommID");
}

std::int16_t Varnel::CommPort() {
    return MSComm1.CommPort();
}

void Varnel::SetCommPort(std::int16_t New_CommPort) {
    if (MSComm1.CommPort() == New_CommPort) return;
    MSComm1.SetCommPort(New_CommPort);
    container_.PropertyChanged("CommPort");
}

void Varnel::SetWtNotification(VN_NOTIFY_ENUM New_WtNotification) {
    m_WtNotification = New_WtNotification;
    container_.PropertyChanged("WtNotification");
}

void Varnel::SetNetWtUnits(VN_UOM_ENUM New_NetWtUnits) {
    const bool userMode = container_.UserMode();
    m_NetWtUnits = New_NetWtUnits;
    container_.PropertyChanged("NetWtUnits");
    if (userMode && m_WtNotification == vnChanged) {
        ConvertRawWt();
        SelectNetWt();
        SetScaleCommEvent(scale_event::kNewWeight);
        RaiseOnScaleComm();
    }
}

// --- Internal setters: only in run mode, and every store is announced ---

void Varnel::SetScaleCommEvent(std::int16_t value) {
    if (!container_.UserMode()) return;
    m_ScaleCommEvent = value;
    container_.PropertyChanged("ScaleCommEvent");
}

void Varnel::SetRawWtUnits(std::int16_t value) {
    if (!container_.UserMode()) return;
    m_RawWtUnits = value;
    container_.PropertyChanged("RawWtUnits");
}

void Varnel::SetRawWt(std::string_view value) {
    if (!container_.UserMode()) return;
    m_RawWt.assign(value);
    container_.PropertyChanged("RawWt");
}

void Varnel::SetFormattedWt(std::string_view value) {
    if (!container_.UserMode()) return;
    m_FormattedWt.assign(value);
    container_.PropertyChanged("FormattedWt");
}

void Varnel::SetScaleStatus(std::int16_t value) {
    if (!container_.UserMode()) return;
    m_ScaleStatus = value;
    container_.PropertyChanged("ScaleStatus");
}

void Varnel::SetNetWt(const Variant& value) {
    if (!container_.UserMode()) return;
    m_NetWt = value.ToR4();
    container_.PropertyChanged("NetWt");
}

void Varnel::SetConnectStatus(std::int16_t value) {
    if (!container_.UserMode()) return;
    m_ConnectStatus = value;
    container_.PropertyChanged("ConnectStatus");
}

void Varnel::RaiseOnScaleComm() {
    container_.RaiseOnScaleComm();
}

}  // namespace varnel
