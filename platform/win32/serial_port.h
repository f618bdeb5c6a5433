// The serial-port component over a Win32 comm device, \\.\COMn for port n.
//
// Opening takes the port exclusively (a second opener fails with 8005, also where the driver
// would let it in, as Wine's does), applies the Settings text, handshaking, DTR and RTS in one
// device control block, and discards what the driver had received before. A reader thread waits
// on overlapped reads, collects the characters and the line errors that ClearCommError reports
// into the receive queue (serial/receive_queue.h), and posts a notice to the runtime's message
// window; on the window's thread the queue is delivered as one OnComm event with code 2 per
// character, and line errors as their own events, in the order they were read. A failed read (a
// hang-up, a removed USB adapter) ends the reader: the port goes silent and the control's watchdog
// reports the loss.
//
// Closing waits at most kStopWaitMs for the reader to stop. A driver that does not end a cancelled
// read (some USB and Bluetooth serial drivers) leaves the reader waiting for it: closing then
// returns without it, says so on the debugger output (OutputDebugString), and the reader, which
// owns the device and what it shares with the component, closes them when its read ends at last.
// Until then the port stays in use.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32/comm_settings.h"
#include "platform/win32/message_window.h"
#include "serial/comm_component.h"
#include "serial/held_traffic.h"

namespace varnel::win32 {

struct SerialLine;

class SerialPort : public CommComponent, private MessageWindow::Target {
  public:
    static constexpr DWORD kStopWaitMs = 2000;

    explicit SerialPort(std::shared_ptr<MessageWindow> window);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

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
    bool PortOpen() override { return handle_ != INVALID_HANDLE_VALUE; }
    void SetPortOpen(bool value) override;
    bool RTSEnable() override { return rts_; }
    void SetRTSEnable(bool value) override;
    std::string Settings() override { return settings_; }
    void SetSettings(const std::string& value) override;
    std::string Input() override;
    std::int16_t CommEvent() override { return event_; }
    void SetOnComm(std::function<void()> handler) override { handler_ = std::move(handler); }

    // When characters came while a handler held their delivery back, for the receive watchdog.
    std::shared_ptr<const comm::HeldTraffic> Traffic() const { return traffic_; }

  private:
    void Open();
    void Close();
    bool ApplyDcb(const CommSettings& settings, int handshaking);
    void SetModemLine(DWORD function);
    COMSTAT PollStatus();
    std::uint64_t Removals();
    std::string Name() const { return "COM" + std::to_string(port_); }
    void OnWindowMessage(UINT message) override;
    void Deliver();

    std::shared_ptr<MessageWindow> window_;
    UINT_PTR id_;
    std::shared_ptr<SerialLine> line_;      // while open
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // line_'s device
    std::uint64_t generation_ = 0;          // one per opening and closing
    bool delivering_ = false;

    std::int32_t commId_ = 0;
    std::int16_t port_ = 1;
    bool dtr_ = false;
    bool rts_ = false;
    std::int32_t handshaking_ = kHandshakeNone;
    std::int16_t inputLen_ = 0;
    std::string settings_ = "9600,N,8,1";
    std::int16_t event_ = 0;

    std::function<void()> handler_;
    std::shared_ptr<comm::HeldTraffic> traffic_ = std::make_shared<comm::HeldTraffic>();
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// For tests: how a stopping reader waits for the read it has cancelled to end. nullptr restores
// the default, which waits as long as the driver takes.
using CancelledReadWait = BOOL (*)(HANDLE device, OVERLAPPED* overlapped, DWORD* got);
void SetCancelledReadWait(CancelledReadWait wait);

}  // namespace varnel::win32
