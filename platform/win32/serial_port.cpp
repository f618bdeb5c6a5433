#include "platform/win32/serial_port.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "control/errors.h"
#include "platform/win32/win32_system.h"

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

}  // namespace

// What the reader thread shares with the component. The queue holds received bytes (0-255) and
// line events (their CommEvent code, negated).
struct SerialPort::Reader {
    using Entry = std::int16_t;
    enum class Outcome { Data, Nothing, Stopped, Failed };

    HANDLE port;
    HWND window;
    UINT_PTR id;
    HANDLE stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::mutex mutex;  // guards the queue, and keeps flushes out of a read in progress
    std::deque<Entry> queue;
    std::size_t chars = 0;
    bool posted = false;  // a notice is on its way to the window
    std::thread thread;

    Reader(HANDLE p, HWND w, UINT_PTR i) : port(p), window(w), id(i) {}
    ~Reader() {
        if (stop) ::CloseHandle(stop);
    }

    void Push(Entry e) {
        if (e >= 0) {
            if (chars >= kQueueLimit) {
                if (queue.empty() || queue.back() != -comm::kEventRxOver) {
                    queue.push_back(static_cast<Entry>(-comm::kEventRxOver));
                }
                return;
            }
            ++chars;
        }
        queue.push_back(e);
    }

    void PushErrors(DWORD errors) {
        for (const std::int16_t event : LineErrorEvents(errors))
            Push(static_cast<Entry>(-event));
    }

    void Notify() {
        if (!posted && !queue.empty()) {
            posted = ::PostMessageA(window, kCommMessage, id, 0) != FALSE;
        }
    }

    void Clear() {
        queue.clear();
        chars = 0;
    }

    // One overlapped read of up to size bytes, waiting until it ends or stop is set.
    Outcome Read(OVERLAPPED& ov, unsigned char* buffer, DWORD size, DWORD& got) {
        got = 0;
        ::ResetEvent(ov.hEvent);
        if (!::ReadFile(port, buffer, size, nullptr, &ov)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return Classify(error);
            const HANDLE events[2] = {ov.hEvent, stop};
            if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                ::CancelIo(port);
                ::GetOverlappedResult(port, &ov, &got, TRUE);
                return Outcome::Stopped;
            }
        }
        if (!::GetOverlappedResult(port, &ov, &got, FALSE)) return Classify(::GetLastError());
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
            Push(buffer[0]);
            DWORD errors = 0;
            COMSTAT status{};
            if (::ClearCommError(port, &errors, &status)) {
                PushErrors(errors);
                if (status.cbInQue > 0) {
                    const DWORD want =
                        status.cbInQue < sizeof buffer ? status.cbInQue : DWORD{sizeof buffer};
                    outcome = Read(ov, buffer, want, got);
                    for (DWORD i = 0; i < got; ++i)
                        Push(buffer[i]);
                }
            }
            Notify();
        }
        // Stopped, or the device is gone: no more reads, and so no busy loop on a dead handle.
        ::CloseHandle(ov.hEvent);
    }
};

SerialPort::SerialPort(std::shared_ptr<MessageWindow> window)
    : window_(std::move(window)), id_(window_->Add(*this)) {}

SerialPort::~SerialPort() {
    alive_.reset();
    if (PortOpen()) Close();
    window_->Remove(id_);
}

std::int32_t SerialPort::CommID() {
    return PortOpen() ? static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(handle_))
                      : commId_;
}

void SerialPort::SetCommPort(std::int16_t value) {
    if (PortOpen())
        Raise(comm::kErrPortAlreadyOpen, "Port already open: close it to change the port");
    if (value < 1)
        Raise(comm::kErrInvalidPortNumber, "Invalid port number " + std::to_string(value));
    port_ = value;
}

void SerialPort::SetDTREnable(bool value) {
    dtr_ = value;
    if (PortOpen()) SetModemLine(value ? SETDTR : CLRDTR);
}

void SerialPort::SetRTSEnable(bool value) {
    rts_ = value;
    // With RTS/CTS handshaking the driver owns the line.
    if (PortOpen() && handshaking_ != kHandshakeRtsCts && handshaking_ != kHandshakeBoth) {
        SetModemLine(value ? SETRTS : CLRRTS);
    }
}

void SerialPort::SetModemLine(DWORD function) {
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

void SerialPort::SetHandshaking(std::int32_t value) {
    if (value < kHandshakeNone || value > kHandshakeBoth) {
        Raise(comm::kErrInvalidSettings, "Invalid property value: handshaking must be 0 to 3");
    }
    if (PortOpen() && !ApplyDcb(*ParseCommSettings(settings_), value)) {
        const DWORD error = ::GetLastError();
        ApplyDcb(*ParseCommSettings(settings_), handshaking_);
        Raise(comm::kErrSetCommState, "Could not set comm state (" + ErrorText(error) + ")");
    }
    handshaking_ = value;
}

void SerialPort::SetSettings(const std::string& value) {
    std::string why;
    const auto parsed = ParseCommSettings(value, &why);
    if (!parsed) Raise(comm::kErrInvalidSettings, "Invalid property value: " + why);
    if (PortOpen() && !ApplyDcb(*parsed, handshaking_)) {
        const DWORD error = ::GetLastError();
        ApplyDcb(*ParseCommSettings(settings_), handshaking_);
        Raise(comm::kErrInvalidSettings, "Invalid property value: " + Name() +
                                             " cannot be set to \"" + value + "\" (" +
                                             ErrorText(error) + ")");
    }
    settings_ = value;
}

bool SerialPort::ApplyDcb(const CommSettings& settings, int handshaking) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) return false;
    FillDcb(dcb, settings, LineControl{handshaking, dtr_, rts_});
    return ::SetCommState(handle_, &dcb) != FALSE;
}

void SerialPort::SetInputLen(std::int16_t value) {
    if (value < 0) Raise(comm::kErrInvalidSettings, "Invalid property value: InputLen below 0");
    inputLen_ = value;
}

void SerialPort::RequireOpen(const char* what) const {
    if (handle_ == INVALID_HANDLE_VALUE) {
        Raise(comm::kErrPortOpenOnly,
              std::string("Operation valid only when the port is open (") + what + ")");
    }
}

COMSTAT SerialPort::PollStatus() {
    // ClearCommError also clears the driver's error flags: what it reports joins the queue.
    std::lock_guard<std::mutex> lock(reader_->mutex);
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_, &errors, &status)) return COMSTAT{};
    reader_->PushErrors(errors);
    reader_->Notify();
    status.cbInQue += static_cast<DWORD>(reader_->chars);
    return status;
}

std::int16_t SerialPort::InBufferCount() {
    RequireOpen("InBufferCount");
    const DWORD n = PollStatus().cbInQue;
    return static_cast<std::int16_t>(n > 32767 ? 32767 : n);
}

void SerialPort::SetInBufferCount(std::int16_t value) {
    RequireOpen("InBufferCount");
    if (value != 0)
        Raise(comm::kErrInvalidSettings,
              "Invalid property value: InBufferCount can only be set to 0");
    {
        std::lock_guard<std::mutex> lock(reader_->mutex);
        reader_->Clear();
        ::PurgeComm(handle_, PURGE_RXCLEAR);  // a gone device has nothing left to discard
    }
    ++removals_;
}

std::int16_t SerialPort::OutBufferCount() {
    RequireOpen("OutBufferCount");
    const DWORD n = PollStatus().cbOutQue;
    return static_cast<std::int16_t>(n > 32767 ? 32767 : n);
}

void SerialPort::SetOutBufferCount(std::int16_t value) {
    RequireOpen("OutBufferCount");
    if (value != 0)
        Raise(comm::kErrInvalidSettings,
              "Invalid property value: OutBufferCount can only be set to 0");
    ::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
}

void SerialPort::SetPortOpen(bool value) {
    if (value) {
        if (PortOpen()) Raise(comm::kErrPortAlreadyOpen, "Port already open");
        Open();
    } else if (PortOpen()) {
        Close();
    }
}

void SerialPort::Open() {
    const std::string name = Name();
    // Windows drivers admit one opener; Wine's do not, so a named object marks the port taken.
    const HANDLE inUse =
        ::CreateMutexA(nullptr, FALSE, ("Local\\Varnel.SerialPort." + name).c_str());
    if (!inUse) RaiseOpenError(::GetLastError(), name);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(inUse);
        Raise(comm::kErrPortAlreadyOpen, "Port already open (" + name + " is in use)");
    }
    const HANDLE handle = ::CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(inUse);
        RaiseOpenError(error, name);
    }
    handle_ = handle;
    inUse_ = inUse;
    ++generation_;
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (!::GetCommState(handle_, &probe)) {
        Close();
        Raise(comm::kErrInvalidPortNumber,
              "Invalid port number (" + name + " is not a serial port)");
    }
    COMMTIMEOUTS timeouts{0, 0, kReadTimeoutMs, 0, 0};
    if (!ApplyDcb(*ParseCommSettings(settings_), handshaking_) ||
        !::SetCommTimeouts(handle_, &timeouts)) {
        const DWORD error = ::GetLastError();
        Close();
        Raise(comm::kErrSetCommState, "Could not set comm state (" + ErrorText(error) + ")");
    }
    ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);  // nothing from before the opening
    try {
        reader_ = std::make_unique<Reader>(handle_, window_->Handle(), id_);
        if (!reader_->stop)
            throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
        reader_->thread = std::thread([reader = reader_.get()] { reader->Run(); });
    } catch (const std::exception& e) {
        Close();
        Raise(comm::kErrDeviceUnavailable,
              "The device is not available (" + name + ": " + e.what() + ")");
    }
}

void SerialPort::Close() {
    if (reader_) {
        ::SetEvent(reader_->stop);
        if (reader_->thread.joinable()) reader_->thread.join();
        reader_.reset();
    }
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    ::CloseHandle(inUse_);
    inUse_ = nullptr;
    ++generation_;
}

void SerialPort::OnWindowMessage(UINT) {
    if (!reader_) return;  // a notice from before the closing
    {
        std::lock_guard<std::mutex> lock(reader_->mutex);
        reader_->posted = false;
    }
    Deliver();
}

void SerialPort::Deliver() {
    if (delivering_) return;  // a handler that runs a message loop inside an event
    delivering_ = true;
    std::weak_ptr<int> alive = alive_;
    const std::uint64_t generation = generation_;
    for (;;) {
        Reader::Entry head = 0;
        {
            std::lock_guard<std::mutex> lock(reader_->mutex);
            if (reader_->queue.empty()) break;
            head = reader_->queue.front();
            if (!handler_) {
                reader_->Clear();
                break;
            }
            if (head < 0) reader_->queue.pop_front();
        }
        event_ = head < 0 ? static_cast<std::int16_t>(-head) : comm::kEvReceive;
        const std::uint64_t removals = removals_;
        handler_();
        if (alive.expired()) return;                    // the handler destroyed the component
        if (generation != generation_) break;           // it closed (or reopened) the port
        if (head >= 0 && removals_ == removals) break;  // it left the character: wait for more
    }
    delivering_ = false;
}

std::string SerialPort::Input() {
    RequireOpen("Input");
    std::string out;
    bool removed = false;
    {
        std::lock_guard<std::mutex> lock(reader_->mutex);
        auto& queue = reader_->queue;
        const std::size_t limit =
            inputLen_ == 0 ? queue.size() : static_cast<std::size_t>(inputLen_);
        while (!queue.empty() && out.size() < limit) {
            const Reader::Entry e = queue.front();
            if (e < 0 && inputLen_ != 0) break;  // a line event is delivered on its own
            queue.pop_front();
            removed = true;
            if (e < 0) continue;
            out += static_cast<char>(e);
            --reader_->chars;
        }
    }
    if (removed) ++removals_;
    return out;
}

}  // namespace varnel::win32
