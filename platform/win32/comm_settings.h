// The serial-port component's line settings and line errors in Win32 terms: what can be set, the
// device control block that sets it, and the CE_ error flags of ClearCommError as OnComm event
// codes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "serial/line_settings.h"

namespace varnel::win32 {

// The rates the serial-port component offers, and 1.5 stop bits (with 5 data bits).
extern const comm::LineCapabilities kLineCapabilities;

// Handshaking values of the serial-port component.
using enum comm::Handshake;

struct LineControl {
    int handshaking = kHandshakeNone;
    bool dtr = false;
    bool rts = false;
};

// Fills dcb (read from the device first) for a binary, receive-and-send line: the settings,
// handshaking, DTR and RTS, no error abort, no character replacement.
void FillDcb(DCB& dcb, const comm::LineSettings& settings, const LineControl& lines);

// The OnComm event codes for the CE_ flags of one ClearCommError call, in a fixed order.
std::vector<std::int16_t> LineErrorEvents(DWORD errors);

}  // namespace varnel::win32
