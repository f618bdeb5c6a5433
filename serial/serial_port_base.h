// What the serial-port components of both runtimes share: the stored properties, their checks and
// errors, opening and closing, and the delivery of the receive queue as OnComm events. A runtime's
// port gives PortOpen and the hooks below, its device's I/O and the lock around its queue.
//
// Settings and Handshaking keep their old values when the open device refuses new ones. Hooks
// other than Open run only while the port is open. A port closes its device in its own destructor:
// this one cannot call the hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "serial/comm_component.h"
#include "serial/held_traffic.h"
#include "serial/line_settings.h"
#include "serial/receive_queue.h"

namespace varnel::comm {

class SerialPortBase : public CommComponent {
  public:
    std::int32_t CommID() final;
    void SetCommID(std::int32_t value) final { commId_ = value; }
    std::int16_t CommPort() final { return port_; }
    void SetCommPort(std::int16_t value) final;
    bool DTREnable() final { return dtr_; }
    void SetDTREnable(bool value) final;
    std::int32_t Handshaking() final { return handshaking_; }
    void SetHandshaking(std::int32_t value) final;
    std::int16_t InBufferCount() final;
    void SetInBufferCount(std::int16_t value) final;
    std::int16_t InputLen() final { return inputLen_; }
    void SetInputLen(std::int16_t value) final;
    std::int16_t OutBufferCount() final;
    void SetOutBufferCount(std::int16_t value) final;
    void SetPortOpen(bool value) final;
    bool RTSEnable() final { return rts_; }
    void SetRTSEnable(bool value) final;
    std::string Settings() final { return settings_; }
    void SetSettings(const std::string& value) final;
    std::string Input() final;
    std::int16_t CommEvent() final { return event_; }
    void SetOnComm(std::function<void()> handler) final { handler_ = std::move(handler); }

    // When characters came while a handler held their delivery back, for the receive watchdog.
    std::shared_ptr<const HeldTraffic> Traffic() const { return traffic_; }

  protected:
    enum class ModemLine { Dtr, Rts };

    // can: the line settings the system can set.
    explicit SerialPortBase(const LineCapabilities& can) : can_(can) {}

    // Settings as parsed.
    const LineSettings& Line() const { return line_; }
    // Changes at every opening and closing.
    std::uint64_t Generation() const { return generation_; }
    // Expires with the component.
    std::weak_ptr<const void> Alive() const { return alive_; }
    HeldTraffic& Held() { return *traffic_; }

    // Delivers what the queue holds: one OnComm event per entry, until a handler leaves a
    // character unread or closes the port. False when a handler destroyed the component.
    bool Deliver();

    // Takes the device and applies the properties; raises AutomationError when it cannot.
    virtual void Open() = 0;
    virtual void Close() = 0;
    // CommID while open.
    virtual std::int32_t DeviceId() = 0;
    // Set the device's line to new settings (text as given, and parsed) or new handshaking, with
    // the other from the properties. When the device refuses, it keeps its line and the hook
    // raises the error.
    virtual void ApplySettings(const std::string& text, const LineSettings& line) = 0;
    virtual void ApplyHandshaking(std::int32_t handshaking) = 0;
    // RTS only while handshaking leaves it to the component.
    virtual void ApplyModemLine(ModemLine line, bool on) = 0;
    // Characters received and not read, queued or still in the driver; characters not yet sent.
    virtual std::size_t PendingInput() = 0;
    virtual std::size_t PendingOutput() = 0;
    // Discard the received characters (with the queue) or those not yet sent.
    virtual void FlushInput() = 0;
    virtual void FlushOutput() = 0;
    // Takes what Input returns from the queue, inputLen characters at most (0: all).
    virtual std::string ReadInput(std::size_t inputLen) = 0;
    // The receive queue, while open, and the lock that guards it (none where one thread uses it).
    virtual ReceiveQueue& Queue() = 0;
    virtual std::unique_lock<std::mutex> LockQueue() = 0;

  private:
    std::uint64_t Removals();

    const LineCapabilities can_;
    std::int32_t commId_ = 0;
    std::int16_t port_ = 1;
    bool dtr_ = false;
    bool rts_ = false;
    std::int32_t handshaking_ = kHandshakeNone;
    std::int16_t inputLen_ = 0;
    std::string settings_ = "9600,N,8,1";
    LineSettings line_;  // settings_ parsed
    std::int16_t event_ = 0;

    std::function<void()> handler_;
    std::uint64_t generation_ = 0;
    bool delivering_ = false;
    std::shared_ptr<HeldTraffic> traffic_ = std::make_shared<HeldTraffic>();
    std::shared_ptr<const int> alive_ = std::make_shared<const int>(0);
};

}  // namespace varnel::comm
