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
#include <memory>
#include <string>

#include "platform/posix/event_loop.h"
#include "platform/posix/open_failure.h"
#include "platform/posix/port_resolver.h"
#include "serial/receive_queue.h"
#include "serial/serial_port_base.h"

namespace varnel::posix {

class SerialPort : public comm::SerialPortBase {
  public:
    SerialPort(EventLoop& loop, const PortResolver& resolver);
    ~SerialPort() override;

    bool PortOpen() override { return fd_ >= 0; }

    // Told of every opening: why it failed (before the error is raised), or that it succeeded.
    void SetOpenListener(OpenListener listener) { listener_ = std::move(listener); }

  private:
    void Open() override;
    void Close() override;
    std::int32_t DeviceId() override { return fd_; }
    void ApplySettings(const std::string& text, const comm::LineSettings& line) override;
    void ApplyHandshaking(std::int32_t handshaking) override;
    void ApplyModemLine(ModemLine line, bool on) override;
    std::size_t PendingInput() override;
    std::size_t PendingOutput() override;
    void FlushInput() override;
    void FlushOutput() override;
    std::string ReadInput(std::size_t inputLen) override;
    comm::ReceiveQueue& Queue() override { return queue_; }
    std::unique_lock<std::mutex> LockQueue() override { return {}; }

    void ApplyTermios(const comm::LineSettings& line, std::int32_t handshaking);
    void ApplyModemLines(std::int32_t handshaking);
    void StartWait();
    void OnReadable(std::uint64_t generation);
    // Reads what the driver has without blocking; false when the line is gone.
    bool ReadAvailable();
    void Parse(const unsigned char* data, std::size_t size);

    const PortResolver& resolver_;
    boost::asio::posix::stream_descriptor descriptor_;
    int fd_ = -1;
    bool silent_ = false;
    comm::ReceiveQueue queue_;
    int markState_ = 0;  // position inside a \377 \0 x mark
    OpenListener listener_;
};

}  // namespace varnel::posix
