// Small helpers shared by the test suites.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "control/errors.h"

namespace varnel::testing {

// A 10-character frame: STX, status byte, two filler characters, weight field, CR.
inline std::string Frame(char status, std::string_view weight, std::string_view filler = "  ") {
    std::string f(1, '\x02');
    f += status;
    f += filler;
    f += weight;
    f += '\r';
    return f;
}

// The number of the AutomationError that f raises, or 0 when it raises none.
inline std::int32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const AutomationError& e) {
        return e.Number();
    }
    return 0;
}

inline void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace varnel::testing
