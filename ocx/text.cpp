#include "ocx/text.h"

#include <windows.h>

namespace varnel::ocx {

std::wstring WideOfBytes(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::string BytesOfWide(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t c : text)
        out += c <= 0xFF ? static_cast<char>(c) : '?';
    return out;
}

std::wstring WideOfAnsi(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), length, out.data(), n);
    return out;
}

}  // namespace varnel::ocx
