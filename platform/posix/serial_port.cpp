#include "platform/posix/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control/errors.h"
#include "platform/posix/line_settings.h"
#include "serial/port_checks.h"

namespace varnel::posix {

namespace {

[[noreturn]] void Raise(std::int32_t number, const std::string& text) {
    throw AutomationError(number, text);
}

// The error for an open() that failed with errno `error`: its number, a reason for people
// and the error's description.
struct OpenError {
    std::int32_t number;
    std::string reason;
    std::string description;
};

OpenError DescribeOpenError(int error, const std::string& path) {
    const std::string why = path + ": " + std::strerror(error);
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return {comm::kErrInvalidPortNumber, why, "Invalid port number (" + why + ")"};
        case EBUSY:
            return {comm::kErrPortAlreadyOpen, why, "Port already open (" + why + ")"};
        case EACCES:
        case EPERM: {
            const std::string reason = why + "; is the user in the dialout group?";
            return {comm::kErrDeviceUnavailable, reason,
                    "The device is not available (" + reason + ")"};
        }
        default:
            return {comm::kErrDeviceUnavailable, why, "The device is not available (" + why + ")"};
    }
}

// Tells the listener why opening path failed, then raises the error.
[[noreturn]] void FailOpen(const OpenListener& listener, const std::string& path, OpenError e) {
    if (listener) {
        const OpenFailure failure{OpenFailure::Kind::Port, path, e.number, e.reason};
        listener(&failure);
    }
    Raise(e.number, e.description);
}

}  // namespace

SerialPort::SerialPort(EventLoop& loop, const PortResolver& resolver)
    : SerialPortBase(kLineCapabilities), resolver_(resolver), descriptor_(loop.Context()) {}

SerialPort::~SerialPort() {
    if (fd_ >= 0) Close();
}

void SerialPort::ApplySettings(const std::string&, const comm::LineSettings& line) {
    ApplyTermios(line, Handshaking());
}

void SerialPort::ApplyHandshaking(std::int32_t handshaking) {
    ApplyTermios(Line(), handshaking);
    ApplyModemLines(handshaking);
}

std::size_t SerialPort::PendingInput() {
    int pending = 0;
    if (!silent_ && ::ioctl(fd_, FIONREAD, &pending) != 0) pending = 0;
    return queue_.Chars() + static_cast<std::size_t>(pending);
}

void SerialPort::FlushInput() {
    queue_.Clear();
    markState_ = 0;
    if (!silent_) ::tcflush(fd_, TCIFLUSH);
}

std::size_t SerialPort::PendingOutput() {
    int pending = 0;
    if (::ioctl(fd_, TIOCOUTQ, &pending) != 0) pending = 0;
    return static_cast<std::size_t>(pending);
}

void SerialPort::FlushOutput() {
    if (!silent_) ::tcflush(fd_, TCOFLUSH);
}

void SerialPort::Open() {
    const std::string path = resolver_.Resolve(CommPort());
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) FailOpen(listener_, path, DescribeOpenError(errno, path));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        FailOpen(listener_, path,
                 {comm::kErrPortAlreadyOpen, path + ": in use by another program",
                  "Port already open (" + path + " is in use)"});
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        FailOpen(listener_, path,
                 {comm::kErrInvalidPortNumber, path + ": not a serial device",
                  "Invalid port number (" + path + " is not a serial device)"});
    }
    (void)::ioctl(fd, TIOCEXCL);  // other programs cannot open it while we hold it

    fd_ = fd;
    silent_ = false;
    queue_.Clear();
    markState_ = 0;
    descriptor_.assign(fd);
    try {
        ApplyTermios(Line(), Handshaking());
    } catch (const AutomationError& e) {
        Close();
        FailOpen(listener_, path, {e.Number(), path + ": " + e.what(), e.what()});
    }
    ApplyModemLines(Handshaking());
    StartWait();
    if (listener_) listener_(nullptr);
}

void SerialPort::Close() {
    (void)::ioctl(fd_, TIOCNXCL);
    boost::system::error_code ignored;
    descriptor_.close(ignored);  // closes the device and ends the pending wait
    fd_ = -1;
    silent_ = false;
    queue_.Clear();
    markState_ = 0;
}

void SerialPort::ApplyTermios(const comm::LineSettings& line, std::int32_t handshaking) {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
        Raise(comm::kErrSetCommState,
              std::string("Could not set comm state: ") + std::strerror(errno));
    }
    ApplyLineSettings(tio, line, handshaking);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        Raise(comm::kErrSetCommState,
              std::string("Could not set comm state: ") + std::strerror(errno));
    }
}

void SerialPort::ApplyModemLine(ModemLine line, bool on) {
    // Devices without modem lines (pseudo-terminals) reject this; that is not an error here.
    int bit = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
    (void)::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void SerialPort::ApplyModemLines(std::int32_t handshaking) {
    ApplyModemLine(ModemLine::Dtr, DTREnable());
    if (!comm::UsesRtsCts(handshaking)) ApplyModemLine(ModemLine::Rts, RTSEnable());
}

void SerialPort::StartWait() {
    const std::weak_ptr<const void> alive = Alive();
    const std::uint64_t generation = Generation();
    descriptor_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                           [this, alive, generation](const boost::system::error_code& ec) {
                               if (ec || alive.expired()) return;
                               OnReadable(generation);
                           });
}

void SerialPort::OnReadable(std::uint64_t generation) {
    if (generation != Generation() || fd_ < 0) return;
    ReadAvailable();
    if (!Deliver()) return;
    if (generation == Generation() && fd_ >= 0 && !silent_) StartWait();
}

bool SerialPort::ReadAvailable() {
    if (silent_) return false;
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            Parse(buf, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // End of file, hang-up or a device error: stop reading and let the line go quiet.
        silent_ = true;
        boost::system::error_code ignored;
        descriptor_.cancel(ignored);
        return false;
    }
}

void SerialPort::Parse(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = data[i];
        switch (markState_) {
            case 0: {
                if (c == 0xFF) {
                    markState_ = 1;
                    break;
                }
                // The bytes up to the next \377 go in at once.
                std::size_t end = i + 1;
                while (end < size && data[end] != 0xFF)
                    ++end;
                queue_.Push(data + i, end - i);
                i = end - 1;
                break;
            }
            case 1:  // after \377: \377 is a data byte, \0 starts a mark
                markState_ = c == 0x00 ? 2 : 0;
                if (c != 0x00) queue_.Push(0xFF);
                if (c != 0x00 && c != 0xFF) queue_.Push(c);
                break;
            default: {  // \377 \0 x: x = \0 is a break, anything else a bad character
                markState_ = 0;
                const bool parity = Line().parity != 'N';
                queue_.PushEvent(c == 0x00 ? comm::kEventBreak
                                 : parity  ? comm::kEventRxParity
                                           : comm::kEventFrame);
                break;
            }
        }
    }
}

std::string SerialPort::ReadInput(std::size_t inputLen) {
    // The flush read, and a read of an empty queue, take what the driver has first.
    if (inputLen == 0 || queue_.Chars() == 0) ReadAvailable();
    return queue_.Take(inputLen);
}

}  // namespace varnel::posix
