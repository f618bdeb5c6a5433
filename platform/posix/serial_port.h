// The serial-port component over a termios device on the event loop.
//
// Opening takes the device exclusively (a second opener fails as on Windows) and applies the
// Settings text, handshaking, DTR and RTS (modem lines are ignored where the device has none, as
// on a pseudo-terminal). Received characters are read without blocking into the receive queue
// (serial/receive_queue.h) and delivered as one OnComm event with code 2 per character, on the
// loop. Framing and parity errors and breaks arrive as their own events, in stream order. A read
// error or hang-up stops reading: the port goes silent and the control's watchdog reports the
// loss.
#pragma once

#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/posix/event_loop.h"
#include "platform/posix/open_failure.h"
#include "platform/posix/port_resolver.h"
#include "serial/comm_component.h"
#include "serial/held_traffic.h"
#include "serial/receive_queue.h"

namespace varnel::posix {

class SerialPort : public CommComponent {
  public:
    SerialPort(EventLoop& loop, const PortResolver& resolver);
    ~SerialPort() override;

    std::int32_t CommID() override;
    void SetCommID(std::int32_t value) override { commId_ = value; }
    std::int16_t CommPort() override { return port_; }
    void SetCommPort(std::int16_t value) override;
    bool DTREnable() override { return dtr_; }
    void SetDTREnable(bool value) override;
    std::int32_t Handshaking() override { return handshaking_; }
    void SetHandshaking(std::int32_t value) override;
    std::int16_t InBufferCount() override;
    void SetInBufferCount(std::int16_t value) override;
    std::int16_t InputLen() override { return inputLen_; }
    void SetInputLen(std::int16_t value) override;
    std::int16_t OutBufferCount() override;
    void SetOutBufferCount(std::int16_t value) override;
    bool PortOpen() override { return fd_ >= 0; }
    void SetPortOpen(bool value) override;
    bool RTSEnable() override { return rts_; }
    void SetRTSEnable(bool value) override;
    std::string Settings() override { return settings_; }
    void SetSettings(const std::string& value) override;
    std::string Input() override;
    std::int16_t CommEvent() override { return event_; }
    void SetOnComm(std::function<void()> handler) override { handler_ = std::move(handler); }

    // Told of every opening: why it failed (before the error is raised), or that it succeeded.
    void SetOpenListener(OpenListener listener) { listener_ = std::move(listener); }
    // When characters came while a handler held their delivery back, for the receive watchdog.
    std::shared_ptr<const comm::HeldTraffic> Traffic() const { return traffic_; }

  private:
    void Open();
    void Close();
    void ApplyTermios();
    void ApplyModemLines();
    void StartWait();
    void OnReadable(std::uint64_t generation);
    // Reads what the driver has without blocking; false when the line is gone.
    bool ReadAvailable();
    void Parse(const unsigned char* data, std::size_t size);
    void Deliver(std::uint64_t generation);

    const PortResolver& resolver_;
    boost::asio::posix::stream_descriptor descriptor_;
    int fd_ = -1;
    std::uint64_t generation_ = 0;  // one per opening
    bool silent_ = false;
    bool delivering_ = false;

    std::int32_t commId_ = 0;
    std::int16_t port_ = 1;
    bool dtr_ = false;
    bool rts_ = false;
    std::int32_t handshaking_ = 0;
    std::int16_t inputLen_ = 0;
    std::string settings_ = "9600,N,8,1";
    std::int16_t event_ = 0;

    comm::ReceiveQueue queue_;
    std::shared_ptr<comm::HeldTraffic> traffic_ = std::make_shared<comm::HeldTraffic>();
    int markState_ = 0;  // position inside a \377 \0 x mark
    std::function<void()> handler_;
    OpenListener listener_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace varnel::posix
