// The serial line's settings text: what a system's capabilities let through, and why the rest is
// refused.
#include <gtest/gtest.h>

#include <string>

#include "serial/line_settings.h"

namespace varnel::testing {
namespace {

using comm::StopBits;

TEST(LineSettingsTest, ParsesWhatTheSystemCanSetAndSaysWhyItRefusesTheRest) {
    constexpr unsigned kBauds[] = {300, 1200, 2400, 9600, 115200};
    // Rows for Either hold with and without 1.5 stop bits.
    enum Can { Either, OneAndHalf, NoOneAndHalf };
    const char* const kShape = "settings must read \"baud,parity,data,stop\", e.g. \"2400,N,8,2\"";
    const char* const kParity = "parity must be one of N, E, O, M, S";
    const char* const kData = "data bits must be 5, 6, 7 or 8";
    struct Case {
        const char* text;
        Can can;
        const char* refused;  // why, or nullptr for settings that are taken
        unsigned baud = 0;
        char parity = 0;
        int data = 0;
        StopBits stop = StopBits::One;
    };
    const Case cases[] = {
        {"2400,N,8,2", Either, nullptr, 2400, 'N', 8, StopBits::Two},
        {" 9600 , e , 7 , 1 ", Either, nullptr, 9600, 'E', 7, StopBits::One},
        {"115200,O,5,1", Either, nullptr, 115200, 'O', 5, StopBits::One},
        {"300,m,6,1", Either, nullptr, 300, 'M', 6, StopBits::One},
        {"300,s,8,2", Either, nullptr, 300, 'S', 8, StopBits::Two},
        {"1200,o,5,1.5", OneAndHalf, nullptr, 1200, 'O', 5, StopBits::OneAndHalf},
        {"1200,N,8,1.5", OneAndHalf, "1.5 stop bits go with 5 data bits only"},
        {"2400,N,5,1.5", NoOneAndHalf, "1.5 stop bits cannot be set on this system"},
        {"2400,N,8,3", OneAndHalf, "stop bits must be 1, 1.5 or 2"},
        {"2400,N,8,3", NoOneAndHalf, "stop bits must be 1 or 2"},
        {"2400,N,8", Either, kShape},
        {"2400,N,8,2,1", Either, kShape},
        {"2400,N,8,2,", Either, kShape},
        {"", Either, kShape},
        {"2401,N,8,2", Either, "unsupported baud rate \"2401\""},
        {"-2400,N,8,1", Either, "unsupported baud rate \"-2400\""},
        {" fast ,N,8,2", Either, "unsupported baud rate \"fast\""},
        {"2400,X,8,2", Either, kParity},
        {"2400,NN,8,2", Either, kParity},
        {"2400,N,9,2", Either, kData},
        {"2400,N,4,2", Either, kData},
    };
    for (const auto& c : cases) {
        for (const bool oneAndHalf : {false, true}) {
            if (c.can == (oneAndHalf ? NoOneAndHalf : OneAndHalf)) continue;
            SCOPED_TRACE(std::string(c.text) + (oneAndHalf ? " with" : " without") + " 1.5");
            std::string why;
            const auto s = comm::ParseLineSettings(c.text, {kBauds, oneAndHalf}, &why);
            ASSERT_EQ(s.has_value(), c.refused == nullptr);
            if (!s) {
                EXPECT_EQ(why, c.refused);
                continue;
            }
            EXPECT_EQ(s->baud, c.baud);
            EXPECT_EQ(s->parity, c.parity);
            EXPECT_EQ(s->dataBits, c.data);
            EXPECT_EQ(s->stopBits, c.stop);
        }
    }
}

}  // namespace
}  // namespace varnel::testing
