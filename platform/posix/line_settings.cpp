#include "platform/posix/line_settings.h"

#include <charconv>
#include <vector>

namespace varnel::posix {

namespace {

struct Speed {
    int baud;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

std::optional<speed_t> SpeedCode(int baud) {
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) return s.code;
    }
    return std::nullopt;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<int> ToInt(std::string_view s) {
    int v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

std::nullopt_t Fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return std::nullopt;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(std::string_view text, std::string* error) {
    std::vector<std::string_view> f;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        f.push_back(Trim(text.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (f.size() != 4) {
        return Fail(error, "settings must read \"baud,parity,data,stop\", e.g. \"2400,N,8,2\"");
    }
    LineSettings s;
    auto baud = ToInt(f[0]);
    if (!baud || !SpeedCode(*baud))
        return Fail(error, "unsupported baud rate \"" + std::string(f[0]) + "\"");
    s.baud = *baud;
    if (f[1].size() != 1) return Fail(error, "parity must be one of N, E, O, M, S");
    char p = f[1][0];
    if (p >= 'a' && p <= 'z') p = static_cast<char>(p - 'a' + 'A');
    if (p != 'N' && p != 'E' && p != 'O' && p != 'M' && p != 'S') {
        return Fail(error, "parity must be one of N, E, O, M, S");
    }
    s.parity = p;
    auto data = ToInt(f[2]);
    if (!data || *data < 5 || *data > 8) return Fail(error, "data bits must be 5, 6, 7 or 8");
    s.dataBits = *data;
    if (f[3] == "1.5") return Fail(error, "1.5 stop bits cannot be set on this system");
    auto stop = ToInt(f[3]);
    if (!stop || (*stop != 1 && *stop != 2)) return Fail(error, "stop bits must be 1 or 2");
    s.stopBits = *stop;
    return s;
}

void ApplyLineSettings(termios& tio, const LineSettings& s, int handshake) {
    // Framing and parity errors and breaks arrive as \377 \0 x, a data \377 as \377 \377. INPCK
    // whatever the parity: without it drivers and the line discipline pass a character with a
    // framing error on as plain data. IGNPAR, IGNBRK and BRKINT stay off.
    tio.c_iflag = PARMRK | INPCK;
    if (handshake == kHandshakeXonXoff || handshake == kHandshakeBoth) tio.c_iflag |= IXON | IXOFF;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = CREAD | CLOCAL;
    switch (s.dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    if (s.stopBits == 2) tio.c_cflag |= CSTOPB;
    switch (s.parity) {
        case 'E':
            tio.c_cflag |= PARENB;
            break;
        case 'O':
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 'M':
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 'S':
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (handshake == kHandshakeRtsCts || handshake == kHandshakeBoth) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 1;  // with O_NONBLOCK: no data is EAGAIN, and 0 bytes means hang-up
    tio.c_cc[VTIME] = 0;
    const speed_t speed = *SpeedCode(s.baud);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
}

}  // namespace varnel::posix
