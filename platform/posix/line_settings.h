// The serial line's settings in termios terms: what can be set here, and the termios that sets it.
#pragma once

#include <termios.h>

#include "serial/line_settings.h"

namespace varnel::posix {

// The rates termios names; no 1.5 stop bits.
extern const comm::LineCapabilities kLineCapabilities;

// Handshaking values of the serial-port component.
using enum comm::Handshake;

// Fills a raw-mode termios: no echo or line editing, receiver on, modem lines ignored, parity and
// framing errors marked in the input stream (so they can be told apart from data).
void ApplyLineSettings(termios& tio, const comm::LineSettings& s, int handshake);

}  // namespace varnel::posix
