// Values between the control and COM: text as BSTR, Variant as VARIANT.
//
// The control's text is single-byte: each character stands for the byte of that value (the
// scale's characters as received). Towards COM a byte becomes the character U+0000 to U+00FF
// of that value, and back; characters above U+00FF have no byte and become '?'.
#pragma once

#include <oaidl.h>

#include <string>
#include <string_view>

#include "control/variant.h"

namespace varnel::ocx {

std::wstring WideText(std::string_view bytes);
std::string ByteText(const wchar_t* text, std::size_t length);
// A new BSTR; raises std::bad_alloc when none can be allocated.
BSTR NewBstr(std::string_view bytes);
std::string FromBstr(BSTR text);

// Fills out (which must be empty or cleared) with the value.
void ToVariant(const Variant& value, VARIANT& out);
// Empty, the integer, floating-point, Boolean and text subtypes and references to them; other
// integers through 32-bit or double, currency, dates and decimals as doubles. Anything else (an
// object, an array, Null) raises type mismatch (13).
Variant FromVariant(const VARIANT& value);

}  // namespace varnel::ocx
