// The serial line's "baud,parity,data,stop" settings text, as both runtimes read it, and the
// handshaking values of the serial-port component.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace varnel::comm {

enum class StopBits { One, OneAndHalf, Two };

struct LineSettings {
    unsigned baud = 9600;
    char parity = 'N';  // N, E, O, M (mark) or S (space)
    int dataBits = 8;   // 5 to 8
    StopBits stopBits = StopBits::One;
};

// What a system can set: its baud rates, and whether it has 1.5 stop bits (with 5 data bits).
struct LineCapabilities {
    std::span<const unsigned> bauds;
    bool oneAndHalfStopBits = false;
};

// Parses the settings text, e.g. "2400,N,8,2". Blanks around the fields are allowed, the parity
// letter may be lower case (it is returned upper case). nullopt when any field cannot be set on
// the system, with the reason in *error.
std::optional<LineSettings> ParseLineSettings(std::string_view text, const LineCapabilities& can,
                                              std::string* error = nullptr);

enum Handshake {
    kHandshakeNone = 0,
    kHandshakeXonXoff = 1,
    kHandshakeRtsCts = 2,
    kHandshakeBoth = 3
};

// Whether handshaking has the driver work RTS and CTS, or XON and XOFF.
constexpr bool UsesRtsCts(int handshaking) {
    return handshaking == kHandshakeRtsCts || handshaking == kHandshakeBoth;
}
constexpr bool UsesXonXoff(int handshaking) {
    return handshaking == kHandshakeXonXoff || handshaking == kHandshakeBoth;
}

}  // namespace varnel::comm
