#include "platform/win32/serial_port.h"

#include <atomic>
#include <mutex>

#include "control/errors.h"
#include "platform/win32/win32_system.h"
#include "serial/port_checks.h"
#include "serial/receive_queue.h"

namespace varnel::win32 {

namespace {

// Reads wait at most this long for their first character, then start again: a bound on every
// wait that behaves alike on Windows (success, no data) and Wine (ERROR_TIMEOUT).
constexpr DWORD kReadTimeoutMs = 1000;

[[noreturn]] void Raise(std::int32_t number, const std::string& text) {
    throw AutomationError(number, text);
}

[[noreturn]] void RaiseOpenError(DWORD error, const std::string& name) {
    const std::string why = name + ": " + ErrorText(error);
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            Raise(comm::kErrInvalidPortNumber, "Invalid port number (" + why + ")");
        case ERROR_ACCESS_DENIED:  // what a Windows driver answers a second opener
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            Raise(comm::kErrPortAlreadyOpen, "Port already open (" + why + ")");
        default:
            Raise(comm::kErrDeviceUnavailable, "The device is not available (" + why + ")");
    }
}

BOOL WaitForCancelledRead(HANDLE device, OVERLAPPED* overlapped, DWORD* got) {
    return ::GetOverlappedResult(device, overlapped, got, TRUE);
}

std::atomic<CancelledReadWait> cancelledReadWait{&WaitForCancelledRead};

}  // namespace

void SetCancelledReadWait(CancelledReadWait wait) {
    cancelledReadWait = wait ? wait : &WaitForCancelledRead;
}

// The open device and what its reader thread shares with the component. Whoever lets go of it
// last, the component or a reader that outlived the closing, closes its handles.
struct SerialLine {
    enum class Outcome { Data, Nothing, Stopped, Failed };

    HWND window;
    UINT_PTR id;
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE inUse = nullptr;  // the named object that marks the port taken
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
    std::atomic<bool> closed{false};  // the component has let go: no more notices
    std::mutex mutex;  // guards the queue, and keeps flushes out of a read in progress
    comm::ReceiveQueue queue;
    bool posted = false;  // a notice is on its way to the window

    SerialLine(HWND w, UINT_PTR i) : window(w), id(i) {}
    ~SerialLine() {
        if (device != INVALID_HANDLE_VALUE) ::CloseHandle(device);
        for (const HANDLE h : {inUse, stop, thread})
            if (h) ::CloseHandle(h);
    }
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    void PushErrors(DWORD errors) {
        for (const std::int16_t event : LineErrorEvents(errors))
            queue.PushEvent(event);
    }

    void Notify() {
        if (!closed && !posted && !queue.Empty()) {
            posted = ::PostMessageA(window, kCommMessage, id, 0) != FALSE;
        }
    }

    // One overlapped read of up to size bytes, waiting until it ends or stop is set.
    Outcome Read(OVERLAPPED& ov, unsigned char* buffer, DWORD size, DWORD& got) {
        got = 0;
        ::ResetEvent(ov.hEvent);
        if (!::ReadFile(device, buffer, size, nullptr, &ov)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return Classify(error);
            const HANDLE events[2] = {ov.hEvent, stop};
            if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                // The buffer and ov are the driver's until the read has ended.
                ::CancelIo(device);
                cancelledReadWait.load()(device, &ov, &got);
                return Outcome::Stopped;
            }
        }
        if (!::GetOverlappedResult(device, &ov, &got, FALSE)) return Classify(::GetLastError());
        return got > 0 ? Outcome::Data : Outcome::Nothing;
    }

    static Outcome Classify(DWORD error) {
        // A read that timed out without data: success with no bytes on Windows, ERROR_TIMEOUT
        // on Wine.
        return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT ? Outcome::Nothing
                                                                    : Outcome::Failed;
    }

    void Run() {
        OVERLAPPED ov{};
        ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!ov.hEvent) return;
        unsigned char buffer[4096];
        Outcome outcome = Outcome::Nothing;
        while (outcome == Outcome::Data || outcome == Outcome::Nothing) {
            DWORD got = 0;
            const DWORD began = ::GetTickCount();
            outcome = Read(ov, buffer, 1, got);
            if (outcome == Outcome::Nothing) {
                // A driver that ends reads early without data is not polled faster than the
                // timeout.
                const DWORD spent = ::GetTickCount() - began;
                if (spent < kReadTimeoutMs / 2 &&
                    ::WaitForSingleObject(stop, kReadTimeoutMs - spent) != WAIT_TIMEOUT) {
                    outcome = Outcome::Stopped;
                }
            }
            if (outcome != Outcome::Data) continue;
            // The first character woke us; take what else is waiting, and the errors the driver
            // saw meanwhile, without a flush coming in between.
            std::lock_guard<std::mutex> lock(mutex);
            queue.Push(buffer[0]);
            DWORD errors = 0;
            COMSTAT status{};
            if (::ClearCommError(device, &errors, &status)) {
                PushErrors(errors);
                if (status.cbInQue > 0) {
                    const DWORD want =
                        status.cbInQue < sizeof buffer ? status.cbInQue : DWORD{sizeof buffer};
                    outcome = Read(ov, buffer, want, got);
                    queue.Push(buffer, got);
                }
            }
            Notify();
        }
        // Stopped, or the device is gone: no more reads, and so no busy loop on a dead handle.
        ::CloseHandle(ov.hEvent);
    }
};

namespace {

struct ReaderStart {
    std::shared_ptr<SerialLine> line;
    HMODULE module;  // held for the thread, so that its code stays loaded while it runs
};

DWORD WINAPI ReaderMain(void* param) {
    HMODULE module = nullptr;
    {
        const std::unique_ptr<ReaderStart> start(static_cast<ReaderStart*>(param));
        module = start->module;
        try {
            start->line->Run();
        } catch (const std::exception&) {
            // Out of memory for the queue: the port goes silent, as on a failed read.
        }
    }
    if (module) ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

SerialPort::SerialPort(std::shared_ptr<MessageWindow> window)
    : SerialPortBase(kLineCapabilities), window_(std::move(window)), id_(window_->Add(*this)) {}

SerialPort::~SerialPort() {
    if (PortOpen()) Close();
    window_->Remove(id_);
}

std::int32_t SerialPort::DeviceId() {
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(handle_));
}

void SerialPort::ApplyModemLine(ModemLine line, bool on) {
    const DWORD function = line == ModemLine::Dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    if (::EscapeCommFunction(handle_, function)) return;
    const DWORD error = ::GetLastError();
    // A device without modem lines (a virtual port, a pseudo-terminal under Wine) is no error.
    if (error == 0 || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
        error == ERROR_INVALID_PARAMETER) {
        return;
    }
    Raise(comm::kErrDeviceUnavailable,
          "The device is not available (" + Name() + ": " + ErrorText(error) + ")");
}

void SerialPort::ApplyHandshaking(std::int32_t handshaking) {
    if (const DWORD error = ApplyOrRestore(Line(), handshaking)) {
        Raise(comm::kErrSetCommState, "Could not set comm state (" + ErrorText(error) + ")");
    }
}

void SerialPort::ApplySettings(const std::string& text, const comm::LineSettings& line) {
    if (const DWORD error = ApplyOrRestore(line, Handshaking())) {
        comm::RaiseInvalidSettings(Name() + " cannot be set to \"" + text + "\" (" +
                                   ErrorText(error) + ")");
    }
}

DWORD SerialPort::ApplyOrRestore(const comm::LineSettings& settings, int handshaking) {
    if (ApplyDcb(settings, handshaking)) return 0;
    const DWORD error = ::GetLastError();
    ApplyDcb(Line(), Handshaking());
    return error;
}

bool SerialPort::ApplyDcb(const comm::LineSettings& settings, int handshaking) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) return false;
    FillDcb(dcb, settings, LineControl{handshaking, DTREnable(), RTSEnable()});
    return ::SetCommState(handle_, &dcb) != FALSE;
}

COMSTAT SerialPort::PollStatus() {
    // ClearCommError also clears the driver's error flags: what it reports joins the queue. A
    // gone device holds nothing; what was read from it stays in the queue.
    std::lock_guard<std::mutex> lock(line_->mutex);
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(handle_, &errors, &status)) {
        line_->PushErrors(errors);
        line_->Notify();
    } else {
        status = COMSTAT{};
    }
    status.cbInQue += static_cast<DWORD>(line_->queue.Chars());
    return status;
}

void SerialPort::FlushInput() {
    std::lock_guard<std::mutex> lock(line_->mutex);
    line_->queue.Clear();
    ::PurgeComm(handle_, PURGE_RXCLEAR);  // a gone device has nothing left to discard
}

void SerialPort::FlushOutput() {
    ::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
}

void SerialPort::Open() {
    const std::string name = Name();
    auto line = std::make_shared<SerialLine>(window_->Handle(), id_);
    // Windows drivers admit one opener; Wine's do not, so a named object marks the port taken.
    line->inUse = ::CreateMutexA(nullptr, FALSE, ("Local\\Varnel.SerialPort." + name).c_str());
    if (!line->inUse) RaiseOpenError(::GetLastError(), name);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        Raise(comm::kErrPortAlreadyOpen, "Port already open (" + name + " is in use)");
    }
    line->device = ::CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (line->device == INVALID_HANDLE_VALUE) RaiseOpenError(::GetLastError(), name);
    line_ = line;
    handle_ = line->device;
    Held().NewQueue();
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (!::GetCommState(handle_, &probe)) {
        Close();
        Raise(comm::kErrInvalidPortNumber,
              "Invalid port number (" + name + " is not a serial port)");
    }
    COMMTIMEOUTS timeouts{0, 0, kReadTimeoutMs, 0, 0};
    if (!ApplyDcb(Line(), Handshaking()) || !::SetCommTimeouts(handle_, &timeouts)) {
        const DWORD error = ::GetLastError();
        Close();
        Raise(comm::kErrSetCommState, "Could not set comm state (" + ErrorText(error) + ")");
    }
    ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);  // nothing from before the opening
    line->stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD error = line->stop ? 0 : ::GetLastError();
    HMODULE module = nullptr;
    if (line->stop) {
        ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCSTR>(&ReaderMain), &module);
        auto* start = new ReaderStart{line, module};
        line->thread = ::CreateThread(nullptr, 0, &ReaderMain, start, 0, nullptr);
        if (!line->thread) {
            error = ::GetLastError();
            delete start;
        }
    }
    if (!line->thread) {
        if (module) ::FreeLibrary(module);
        Close();
        Raise(comm::kErrDeviceUnavailable,
              "The device is not available (" + name + ": " + ErrorText(error) + ")");
    }
}

void SerialPort::Close() {
    const std::shared_ptr<SerialLine> line = std::move(line_);
    line_.reset();
    handle_ = INVALID_HANDLE_VALUE;
    if (!line || !line->thread) return;
    line->closed = true;
    ::SetEvent(line->stop);
    if (::WaitForSingleObject(line->thread, kStopWaitMs) != WAIT_OBJECT_0) {
        const std::string text = "Varnel: " + Name() +
                                 ": the driver has not ended a cancelled read within " +
                                 std::to_string(kStopWaitMs) +
                                 " ms; the port is closed for the control and stays in use "
                                 "until the driver ends the read\n";
        ::OutputDebugStringA(text.c_str());
    }
    // When the reader has ended, this is the line's last user and closes the device now.
}

void SerialPort::OnWindowMessage(UINT) {
    if (!line_) return;  // a notice from before the closing
    {
        std::lock_guard<std::mutex> lock(line_->mutex);
        line_->posted = false;
    }
    Deliver();
}

comm::ReceiveQueue& SerialPort::Queue() {
    return line_->queue;
}

std::unique_lock<std::mutex> SerialPort::LockQueue() {
    return std::unique_lock<std::mutex>(line_->mutex);
}

std::string SerialPort::ReadInput(std::size_t inputLen) {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->queue.Take(inputLen);
}

}  // namespace varnel::win32
