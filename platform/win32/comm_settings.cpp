#include "platform/win32/comm_settings.h"

#include <charconv>

#include "serial/comm_component.h"

namespace varnel::win32 {

namespace {

// The rates the serial-port component offers.
constexpr DWORD kBauds[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                            19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<unsigned> ToNumber(std::string_view s) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

std::nullopt_t Fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return std::nullopt;
}

}  // namespace

std::optional<CommSettings> ParseCommSettings(std::string_view text, std::string* error) {
    std::vector<std::string_view> f;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        f.push_back(Trim(text.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (f.size() != 4) {
        return Fail(error, "settings must read \"baud,parity,data,stop\", e.g. \"2400,N,8,2\"");
    }
    CommSettings s;
    const auto baud = ToNumber(f[0]);
    bool known = false;
    for (const DWORD b : kBauds)
        known = known || (baud && *baud == b);
    if (!known) return Fail(error, "unsupported baud rate \"" + std::string(f[0]) + "\"");
    s.baud = *baud;

    const char p = f[1].size() == 1 ? f[1][0] : '?';
    switch (p) {
        case 'N':
        case 'n':
            s.parity = NOPARITY;
            break;
        case 'E':
        case 'e':
            s.parity = EVENPARITY;
            break;
        case 'O':
        case 'o':
            s.parity = ODDPARITY;
            break;
        case 'M':
        case 'm':
            s.parity = MARKPARITY;
            break;
        case 'S':
        case 's':
            s.parity = SPACEPARITY;
            break;
        default:
            return Fail(error, "parity must be one of N, E, O, M, S");
    }

    const auto data = ToNumber(f[2]);
    if (!data || *data < 5 || *data > 8) return Fail(error, "data bits must be 5, 6, 7 or 8");
    s.dataBits = static_cast<BYTE>(*data);

    if (f[3] == "1") {
        s.stopBits = ONESTOPBIT;
    } else if (f[3] == "2") {
        s.stopBits = TWOSTOPBITS;
    } else if (f[3] == "1.5") {
        if (s.dataBits != 5) return Fail(error, "1.5 stop bits go with 5 data bits only");
        s.stopBits = ONE5STOPBITS;
    } else {
        return Fail(error, "stop bits must be 1, 1.5 or 2");
    }
    return s;
}

void FillDcb(DCB& dcb, const CommSettings& settings, const LineControl& lines) {
    const bool xonxoff =
        lines.handshaking == kHandshakeXonXoff || lines.handshaking == kHandshakeBoth;
    const bool rtscts =
        lines.handshaking == kHandshakeRtsCts || lines.handshaking == kHandshakeBoth;
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != NOPARITY;
    dcb.fOutxCtsFlow = rtscts;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = lines.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = xonxoff;
    dcb.fInX = xonxoff;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl =
        rtscts ? RTS_CONTROL_HANDSHAKE : (lines.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    dcb.fAbortOnError = FALSE;  // a line error must not stop the reads
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
}

std::vector<std::int16_t> LineErrorEvents(DWORD errors) {
    static constexpr struct {
        DWORD flag;
        std::int16_t event;
    } kMap[] = {
        {CE_BREAK, comm::kEventBreak},       {CE_FRAME, comm::kEventFrame},
        {CE_OVERRUN, comm::kEventOverrun},   {CE_RXOVER, comm::kEventRxOver},
        {CE_RXPARITY, comm::kEventRxParity}, {CE_TXFULL, comm::kEventTxFull},
        {CE_MODE, comm::kEventDCB},
    };
    std::vector<std::int16_t> events;
    for (const auto& m : kMap) {
        if (errors & m.flag) events.push_back(m.event);
    }
    return events;
}

}  // namespace varnel::win32
