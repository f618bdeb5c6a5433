// The serial line's "baud,parity,data,stop" settings text and its termios form.
#pragma once

#include <termios.h>

#include <optional>
#include <string>
#include <string_view>

#include "serial/line_settings.h"

namespace varnel::posix {

struct LineSettings {
    int baud = 9600;
    char parity = 'N';  // N, E, O, M (mark) or S (space)
    int dataBits = 8;   // 5 to 8
    int stopBits = 1;   // 1 or 2
};

// Parses the settings text, e.g. "2400,N,8,2". Blanks around the fields are allowed, the parity
// letter may be lower case. nullopt when any field cannot be set on this system, with the reason
// in *error.
std::optional<LineSettings> ParseLineSettings(std::string_view text, std::string* error = nullptr);

// Handshaking values of the serial-port component.
using enum comm::Handshake;

// Fills a raw-mode termios: no echo or line editing, receiver on, modem lines ignored, parity and
// framing errors marked in the input stream (so they can be told apart from data).
void ApplyLineSettings(termios& tio, const LineSettings& s, int handshake);

}  // namespace varnel::posix
