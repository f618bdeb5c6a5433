// Varnel: the scale control. One object per placed control, driven entirely by calls: receive
// events of its serial-port component, ticks of its two timers, and the host's property and
// method calls. It never blocks on I/O, sleeps, starts a thread or reads a clock.
//
// Names: the original control's names that the debug log and the control's documentation quote
// (MSComm1, timCommTimeout, m_RxState, New_CommPort) are kept as written, and so are event
// handlers in its widget_Event form (MSComm1_OnComm, UserControl_Resize); every other name is
// modern (CamelCase types and functions, camelCase variables, other private members ending in an
// underscore, constants starting with k).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/container.h"
#include "control/property_bag.h"
#include "control/system.h"
#include "control/variant.h"
#include "serial/comm_component.h"
#include "serial/timer.h"

namespace varnel {

namespace pages {
class AboutDialog;
}

// Units of the net weight. Any 32-bit value is stored; only these select a weight.
enum VN_UOM_ENUM : std::int32_t { vnPounds = 0, vnKilograms = 1, vnGrams = 2, vnOunces = 3 };
// Notification policy. Any value other than vnEverytime filters as vnChanged does.
enum VN_NOTIFY_ENUM : std::int32_t { vnEverytime = 0, vnChanged = 1 };

// ScaleCommEvent codes.
namespace scale_event {
inline constexpr std::int16_t kNone = 0;
inline constexpr std::int16_t kNewWeight = 1;
inline constexpr std::int16_t kStatusChanged = 2;
inline constexpr std::int16_t kCommLost = 3;
inline constexpr std::int16_t kCommRestored = 4;
}  // namespace scale_event

inline constexpr std::int32_t kCommTimeoutInterval = 1000;
inline constexpr std::int32_t kReconnectInterval = 3000;
inline constexpr std::uint32_t kDefaultPortInitTimeoutMs = 10000;
inline constexpr const char* kLineSettings = "2400,N,8,2";
inline constexpr const char* kPortInitProgram = "PORTIN16.EXE";
inline constexpr const char* kDebugMarkerFile = "LOGK880S.TMP";
inline constexpr const char* kDebugLogFile = "BDXK880S.LOG";

// The components the control owns for its whole life.
struct HostedComponents {
    std::unique_ptr<CommComponent> comm;
    std::unique_ptr<Timer> reconnect;
    std::unique_ptr<Timer> commTimeout;
};

class Varnel {
  public:
    // The container and the system outlive the control. The hosted components are set up as a
    // new control has them: timers disabled with their fixed intervals, handlers bound.
    Varnel(Container& container, System& system, HostedComponents hosted);
    ~Varnel();
    Varnel(const Varnel&) = delete;
    Varnel& operator=(const Varnel&) = delete;

    // --- Methods ---
    // -1 opens (or reopens) the link, any other value closes it. Returns 1 when the link is up
    // afterwards, 0 when it is down. connectassert is not changed.
    std::int16_t ScaleOpen(std::int16_t& connectassert);
    // "(major.minor)" of the component's version: (3.0).
    std::string ControlVersion();
    // Shows the About dialog modally through the container; every call, nested ones included,
    // shows a fresh dialog of its own.
    void AboutBox();

    // --- Read-write properties ---
    std::int32_t CommID();
    void SetCommID(std::int32_t New_CommID);
    std::int16_t CommPort();
    void SetCommPort(std::int16_t New_CommPort);
    VN_NOTIFY_ENUM WtNotification() const { return m_WtNotification; }
    void SetWtNotification(VN_NOTIFY_ENUM New_WtNotification);
    VN_UOM_ENUM NetWtUnits() const { return m_NetWtUnits; }
    void SetNetWtUnits(VN_UOM_ENUM New_NetWtUnits);

    // --- Read-only properties ---
    std::int16_t ScaleCommEvent() const { return m_ScaleCommEvent; }
    std::int16_t RawWtUnits() const { return m_RawWtUnits; }
    std::string RawWt() const { return m_RawWt; }
    std::string FormattedWt() const { return m_FormattedWt; }
    std::int16_t ScaleStatus() const { return m_ScaleStatus; }
    Variant NetWt() const { return Variant(m_NetWt); }
    std::int16_t ConnectStatus() const { return m_ConnectStatus; }

    // --- Runtime settings not on the automation interface ---
    // Bound on the wait for the port initialiser; a longer run counts as a failed wait.
    void SetPortInitTimeout(std::uint32_t milliseconds) { portInitTimeoutMs_ = milliseconds; }

    // --- Persistence: the host calls one of the first two right after creation ---
    // A new instance: the backing fields of the public properties at their initial values.
    void InitProperties();
    // Reads the saved keys in a fixed order, straight into the fields; the port number goes to
    // MSComm1. Nothing is announced and no port is opened. An error ends the load at its key
    // (keys before it stay applied) and names the key in its description.
    void ReadProperties(PropertyBag& bag);
    // Writes every saved key with its default, in a fixed order.
    void WriteProperties(PropertyBag& bag);

    // --- Surface ---
    // The host resized the control: back to the fixed face size.
    void UserControl_Resize();

    // --- Event handlers of the hosted components ---
    // Errors that escape them are handed to the container (Container::EventError).
    void MSComm1_OnComm();
    void timCommTimeout_Timer();
    void timReconnect_Timer();

  private:
    friend class VarnelProbe;  // test access to the private state

    // Internal setters of the read-only properties: act only in run mode, always notify.
    void SetScaleCommEvent(std::int16_t value);
    void SetRawWtUnits(std::int16_t value);
    void SetRawWt(std::string_view value);
    void SetFormattedWt(std::string_view value);
    void SetScaleStatus(std::int16_t value);
    void SetNetWt(const Variant& value);
    void SetConnectStatus(std::int16_t value);
    void RaiseOnScaleComm();

    // Frame receiver.
    void HandleCommEvent();
    // Returns false when emptying the receive buffer failed (the communications-error handling
    // has then run).
    bool ResetReceiver();
    void ReceiveCharacter();

    // Frame decoding, conversion and notification.
    void ProcessFrame(const std::string& frame);
    void DecodeStatusByte(const std::string& frame);
    void ExtractRawWt(const std::string& frame);
    void ConvertRawWt();
    void SelectNetWt();

    // Connection lifecycle.
    bool ConnectToScale();
    bool OpenSerialPort();
    Variant DisconnectFromScale();
    bool ClosePort();
    std::string GetWindowsDir();
    std::int32_t vnPortInit16(const std::string& portName);

    // Watchdog and reconnect.
    void HandleCommError();
    void RecoverFromEventError(const std::exception& error);

    // Debug log.
    void CheckDebugMarker();
    void WriteLog(std::string_view line);

    Container& container_;
    System& system_;
    HostedComponents hosted_;
    CommComponent& MSComm1;
    Timer& timReconnect;
    Timer& timCommTimeout;

    std::string m_LogDir;
    std::int16_t m_RxState = 0;
    std::string m_Frame;
    std::string m_RxChar;
    std::int16_t m_LastStatus = 0;
    std::string m_LastRawWt;
    float m_Pounds = 0.0f;
    float m_Kilograms = 0.0f;
    float m_Grams = 0.0f;
    float m_Ounces = 0.0f;
    VBool m_DebugOn = kFalse;
    std::int16_t m_ConnectStatus = 0;
    float m_NetWt = 0.0f;
    VN_UOM_ENUM m_NetWtUnits = vnPounds;
    VN_NOTIFY_ENUM m_WtNotification = vnEverytime;
    std::int16_t m_ScaleStatus = 0;
    std::int16_t m_ScaleCommEvent = 0;
    std::int16_t m_RawWtUnits = 0;
    std::string m_RawWt;
    std::string m_FormattedWt;

    std::uint32_t portInitTimeoutMs_ = kDefaultPortInitTimeoutMs;

    bool resizing_ = false;
};

}  // namespace varnel
