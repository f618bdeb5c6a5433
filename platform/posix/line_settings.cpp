#include "platform/posix/line_settings.h"

#include <array>

namespace varnel::posix {

namespace {

struct Speed {
    unsigned baud;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr auto kBauds = [] {
    std::array<unsigned, std::size(kSpeeds)> bauds{};
    for (std::size_t i = 0; i < bauds.size(); ++i)
        bauds[i] = kSpeeds[i].baud;
    return bauds;
}();

speed_t SpeedCode(unsigned baud) {
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) return s.code;
    }
    return B9600;  // not reached: the settings were parsed against kSpeeds
}

}  // namespace

constinit const comm::LineCapabilities kLineCapabilities{kBauds, false};

void ApplyLineSettings(termios& tio, const comm::LineSettings& s, int handshake) {
    // Framing and parity errors and breaks arrive as \377 \0 x, a data \377 as \377 \377. INPCK
    // whatever the parity: without it drivers and the line discipline pass a character with a
    // framing error on as plain data. IGNPAR, IGNBRK and BRKINT stay off.
    tio.c_iflag = PARMRK | INPCK;
    if (comm::UsesXonXoff(handshake)) tio.c_iflag |= IXON | IXOFF;
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
    if (s.stopBits == comm::StopBits::Two) tio.c_cflag |= CSTOPB;
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
    if (comm::UsesRtsCts(handshake)) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 1;  // with O_NONBLOCK: no data is EAGAIN, and 0 bytes means hang-up
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedCode(s.baud);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
}

}  // namespace varnel::posix
