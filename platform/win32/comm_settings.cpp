#include "platform/win32/comm_settings.h"

#include "serial/comm_component.h"

namespace varnel::win32 {

namespace {

// The rates the serial-port component offers.
constexpr unsigned kBauds[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                               19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};

BYTE ParityCode(char parity) {
    switch (parity) {
        case 'E':
            return EVENPARITY;
        case 'O':
            return ODDPARITY;
        case 'M':
            return MARKPARITY;
        case 'S':
            return SPACEPARITY;
        default:
            return NOPARITY;
    }
}

}  // namespace

constinit const comm::LineCapabilities kLineCapabilities{kBauds, true};

void FillDcb(DCB& dcb, const comm::LineSettings& settings, const LineControl& lines) {
    const bool xonxoff = comm::UsesXonXoff(lines.handshaking);
    const bool rtscts = comm::UsesRtsCts(lines.handshaking);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = ParityCode(settings.parity);
    dcb.StopBits = settings.stopBits == comm::StopBits::Two          ? TWOSTOPBITS
                   : settings.stopBits == comm::StopBits::OneAndHalf ? ONE5STOPBITS
                                                                     : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = dcb.Parity != NOPARITY;
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
