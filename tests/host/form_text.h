// Form-file text for tests.
#pragma once

#include <string>

namespace varnel::testing {

// A form file holding the given members of "properties".
inline std::string Form(const std::string& properties) {
    return R"({"format": "varnel-form", "version": 1, "properties": {)" + properties + "}}";
}

}  // namespace varnel::testing
