// The serial-port component's line settings and line errors in Win32 terms: the "baud,parity,
// data,stop" Settings text, the device control block built from it, and the CE_ error flags of
// ClearCommError as OnComm event codes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/line_settings.h"

namespace varnel::win32 {

struct CommSettings {
    DWORD baud = 9600;
    BYTE parity = NOPARITY;      // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    BYTE dataBits = 8;           // 5 to 8
    BYTE stopBits = ONESTOPBIT;  // ONESTOPBIT, ONE5STOPBITS (5 data bits only), TWOSTOPBITS
};

// Parses the settings text, e.g. "2400,N,8,2". Blanks around the fields are allowed, the parity
// letter may be lower case. nullopt when any field cannot be set, with the reason in *error.
std::optional<CommSettings> ParseCommSettings(std::string_view text, std::string* error = nullptr);

// Handshaking values of the serial-port component.
using enum comm::Handshake;

struct LineControl {
    int handshaking = kHandshakeNone;
    bool dtr = false;
    bool rts = false;
};

// Fills dcb (read from the device first) for a binary, receive-and-send line: the settings,
// handshaking, DTR and RTS, no error abort, no character replacement.
void FillDcb(DCB& dcb, const CommSettings& settings, const LineControl& lines);

// The OnComm event codes for the CE_ flags of one ClearCommError call, in a fixed order.
std::vector<std::int16_t> LineErrorEvents(DWORD errors);

}  // namespace varnel::win32
