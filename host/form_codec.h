// The text of a form file, the saved settings of one control, and the values it holds:
//
//   {
//     "format": "varnel-form",
//     "version": 1,
//     "properties": {
//       "CommPort": {"type": "Integer", "value": 3},
//       "NetWt": {"type": "Single", "value": 1.25},
//       "RawWt": {"type": "String", "value": "00125"}
//     }
//   }
//
// Each property keeps its Variant type: "Empty" (no value), "Integer" (16-bit), "Long" (32-bit),
// "Single", "Double", "Boolean" (true/false) or "String". A String holds single-byte text: each
// character U+0000..U+00FF stands for the byte of the same value; so do the characters of a
// name. Properties keep their order; key names are compared exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/variant.h"
#include "host/form_error.h"

namespace varnel::host {

inline constexpr std::size_t kMaxFormFileBytes = 1 << 20;
inline constexpr const char* kFormFormat = "varnel-form";
inline constexpr std::int64_t kFormVersion = 1;

// A form's properties in file order.
using FormEntries = std::vector<std::pair<std::string, Variant>>;

// The properties of the form in `text` (at most kMaxFormFileBytes). Errors name `source`, the
// position of a syntax error and the property of a malformed value; a key that appears twice in
// one object is an error too.
FormEntries ParseForm(std::string_view text, const std::string& source = "form");

// The form's text, laid out as above with every member on a line of its own; a Single is
// written with the shortest decimal that reads back as the same float.
std::string SerializeForm(const FormEntries& entries);

}  // namespace varnel::host
