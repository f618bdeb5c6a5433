// The serial-port component the control hosts as MSComm1: the property set the control uses and
// one OnComm callback. Accesses may raise AutomationError.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace varnel {

// CommEvent codes.
namespace comm {
inline constexpr std::int16_t kEvSend = 1;
inline constexpr std::int16_t kEvReceive = 2;
inline constexpr std::int16_t kEvCTS = 3;
inline constexpr std::int16_t kEvDSR = 4;
inline constexpr std::int16_t kEvCD = 5;
inline constexpr std::int16_t kEvRing = 6;
inline constexpr std::int16_t kEvEOF = 7;
inline constexpr std::int16_t kEventBreak = 1001;
inline constexpr std::int16_t kEventCTSTO = 1002;
inline constexpr std::int16_t kEventDSRTO = 1003;
inline constexpr std::int16_t kEventFrame = 1004;
inline constexpr std::int16_t kEventOverrun = 1006;
inline constexpr std::int16_t kEventCDTO = 1007;
inline constexpr std::int16_t kEventRxOver = 1008;
inline constexpr std::int16_t kEventRxParity = 1009;
inline constexpr std::int16_t kEventTxFull = 1010;
inline constexpr std::int16_t kEventDCB = 1011;

// Error numbers the component raises.
inline constexpr std::int32_t kErrInvalidPortNumber = 8002;
inline constexpr std::int32_t kErrPortAlreadyOpen = 8005;
inline constexpr std::int32_t kErrPortNotOpen = 8012;
inline constexpr std::int32_t kErrDeviceUnavailable = 8010;
inline constexpr std::int32_t kErrSetCommState = 8015;
inline constexpr std::int32_t kErrPortOpenOnly = 8018;
inline constexpr std::int32_t kErrInvalidSettings = 380;
}  // namespace comm

class CommComponent {
  public:
    virtual ~CommComponent() = default;

    virtual std::int32_t CommID() = 0;
    virtual void SetCommID(std::int32_t value) = 0;
    virtual std::int16_t CommPort() = 0;
    virtual void SetCommPort(std::int16_t value) = 0;
    virtual bool DTREnable() = 0;
    virtual void SetDTREnable(bool value) = 0;
    virtual std::int32_t Handshaking() = 0;
    virtual void SetHandshaking(std::int32_t value) = 0;
    virtual std::int16_t InBufferCount() = 0;
    // 0 discards every received character not yet read.
    virtual void SetInBufferCount(std::int16_t value) = 0;
    virtual std::int16_t InputLen() = 0;
    virtual void SetInputLen(std::int16_t value) = 0;
    virtual std::int16_t OutBufferCount() = 0;
    virtual void SetOutBufferCount(std::int16_t value) = 0;
    virtual bool PortOpen() = 0;
    virtual void SetPortOpen(bool value) = 0;
    virtual bool RTSEnable() = 0;
    virtual void SetRTSEnable(bool value) = 0;
    virtual std::string Settings() = 0;
    virtual void SetSettings(const std::string& value) = 0;
    // Removes and returns up to InputLen characters (all waiting ones for 0).
    virtual std::string Input() = 0;
    // Code of the event being handled.
    virtual std::int16_t CommEvent() = 0;

    // Raised once per event; for received characters whenever any are waiting, and again while
    // unread ones remain after a read.
    virtual void SetOnComm(std::function<void()> handler) = 0;
};

}  // namespace varnel
