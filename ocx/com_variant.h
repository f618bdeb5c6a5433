// Values between the control and COM: text as BSTR (one character per byte, WideOfBytes in
// ocx/text.h), Variant as VARIANT.
#pragma once

#include <oaidl.h>

#include <string>
#include <string_view>

#include "control/variant.h"

namespace varnel::ocx {

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
