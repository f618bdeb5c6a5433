// Debug log: switched on by a marker file in the system directory, one line per call.
#include <string>

#include "control/varnel.h"

namespace varnel {

namespace {

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

}  // namespace

void Varnel::CheckDebugMarker() {
    const auto found = system_.FindFile(m_LogDir + kDebugMarkerFile);
    m_DebugOn = found && UpperAscii(*found) == kDebugMarkerFile ? kTrue : kFalse;
}

void Varnel::WriteLog(std::string_view line) {
    if (m_DebugOn != kTrue) return;
    std::string text;
    text.reserve(line.size() + 2);
    text.append(line).append("\r\n");
    try {
        system_.AppendToFile(m_LogDir + kDebugLogFile, text);
    } catch (const std::exception&) {
        // A log that cannot be written never stops the routine that wrote the line.
    }
}

}  // namespace varnel
