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
#include <memory>
#include <string>

#include "platform/win32/comm_settings.h"
#include "platform/win32/message_window.h"
#include "serial/serial_port_base.h"

namespace varnel::win32 {

struct SerialLine;

class SerialPort : public comm::SerialPortBase, private MessageWindow::Target {
  public:
    static constexpr DWORD kStopWaitMs = 2000;

    explicit SerialPort(std::shared_ptr<MessageWindow> window);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool PortOpen() override { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    void Open() override;
    void Close() override;
    std::int32_t DeviceId() override;
    void ApplySettings(const std::string& text, const comm::LineSettings& line) override;
    void ApplyHandshaking(std::int32_t handshaking) override;
    void ApplyModemLine(ModemLine line, bool on) override;
    std::size_t PendingInput() override { return PollStatus().cbInQue; }
    std::size_t PendingOutput() override { return PollStatus().cbOutQue; }
    void FlushInput() override;
    void FlushOutput() override;
    std::string ReadInput(std::size_t inputLen) override;
    comm::ReceiveQueue& Queue() override;
    std::unique_lock<std::mutex> LockQueue() override;

    bool ApplyDcb(const comm::LineSettings& settings, int handshaking);
    // Sets the line, or puts the line of the properties back: 0, or the error of the refusal.
    DWORD ApplyOrRestore(const comm::LineSettings& settings, int handshaking);
    COMSTAT PollStatus();
    std::string Name() { return "COM" + std::to_string(CommPort()); }
    void OnWindowMessage(UINT message) override;

    std::shared_ptr<MessageWindow> window_;
    UINT_PTR id_;
    std::shared_ptr<SerialLine> line_;      // while open
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // line_'s device
};

// For tests: how a stopping reader waits for the read it has cancelled to end. nullptr restores
// the default, which waits as long as the driver takes.
using CancelledReadWait = BOOL (*)(HANDLE device, OVERLAPPED* overlapped, DWORD* got);
void SetCancelledReadWait(CancelledReadWait wait);

}  // namespace varnel::win32
