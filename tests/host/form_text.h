// Form-file text for tests, and the error a form operation raises.
#pragma once

#include <functional>
#include <string>

#include "host/form_error.h"

namespace varnel::testing {

// A form file holding the given members of "properties".
inline std::string Form(const std::string& properties) {
    return R"({"format": "varnel-form", "version": 1, "properties": {)" + properties + "}}";
}

// The FormError `call` raises; one saying "no error" when it raises none.
inline host::FormError FormErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const host::FormError& e) {
        return e;
    }
    return host::FormError("no error");
}

}  // namespace varnel::testing
