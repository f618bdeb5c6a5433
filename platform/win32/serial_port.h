// The serial-port component over a Win32 comm device, \\.\COMn for port n.
//
// Opening takes the port exclusively (a second opener fails with 8005, also where the driver
// would let it in, as Wine's does), applies the Settings text, handshaking, DTR and RTS in one
// device control block, and discards what the driver had received before. A reader thread waits
// on overlapped reads, collects the characters and the line errors that ClearCommError reports
// into a receive queue, and posts a notice to the runtime's message window; on the window's
// thread the queue is delivered as one OnComm event with code 2 per character, and line errors
// as their own events, in the order they were read. A failed read (a hang-up, a removed USB
// adapter) ends the reader: the port goes silent and the control's watchdog reports the loss.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32/comm_settings.h"
#include "platform/win32/message_window.h"
#include "serial/comm_component.h"

namespace varnel::win32 {

class SerialPort : public CommComponent, private MessageWindow::Target {
  public:
    // Characters kept at most; past this further ones are dropped and event 1008 is raised.
    static constexpr std::size_t kQueueLimit = 65536;

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

  private:
    struct Reader;

    void Open();
    void Close();
    bool ApplyDcb(const CommSettings& settings, int handshaking);
    void SetModemLine(DWORD function);
    COMSTAT PollStatus();
    void RequireOpen(const char* what) const;
    std::string Name() const { return "COM" + std::to_string(port_); }
    void OnWindowMessage(UINT message) override;
    void Deliver();

    std::shared_ptr<MessageWindow> window_;
    UINT_PTR id_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE inUse_ = nullptr;  // the named object that marks the port taken
    std::unique_ptr<Reader> reader_;
    std::uint64_t generation_ = 0;  // one per opening and closing
    std::uint64_t removals_ = 0;    // characters and events taken off the queue, and flushes
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
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace varnel::win32
