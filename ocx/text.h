// Text between the control's single-byte strings and the UTF-16 of COM and Windows, by one of two
// rules, each chosen where it is used:
//
//   WideOfBytes, BytesOfWide   one character per byte, its code the byte's value (the bytes as
//       ISO 8859-1 code units), and back; a character above U+00FF has no byte and becomes '?'.
//       For the control's own texts, which carry what came from the serial line: RawWt,
//       FormattedWt, property values, saved keys and texts, error descriptions. Every byte comes
//       back unchanged, and a text keeps its length and positions on any code page.
//   WideOfAnsi   the system's ANSI code page, as Windows' A functions read text: for texts shown
//       in windows (captions, fonts, message boxes, a page's text box, which the page reads back
//       with GetWindowTextA), for names written to the registry and for the type library's texts.
#pragma once

#include <string>
#include <string_view>

namespace varnel::ocx {

std::wstring WideOfBytes(std::string_view bytes);
std::string BytesOfWide(std::wstring_view text);
std::wstring WideOfAnsi(std::string_view text);

}  // namespace varnel::ocx
