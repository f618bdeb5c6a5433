// The error of the form-file layers (host/form_codec.h, host/form_file.h) and the form editor.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace varnel::host {

// A form file that cannot be read, parsed, loaded or written, or a value the form editor refuses.
class FormError : public std::runtime_error {
  public:
    explicit FormError(const std::string& message, std::string key = {},
                       std::optional<std::int32_t> number = std::nullopt)
        : std::runtime_error(message), key_(std::move(key)), number_(number) {}

    // The property concerned; empty when the error is not about one property.
    const std::string& Key() const { return key_; }
    // The automation error number when the control raised the error.
    std::optional<std::int32_t> Number() const { return number_; }

  private:
    std::string key_;
    std::optional<std::int32_t> number_;
};

// A file, property or member name as the messages quote it.
inline std::string Quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

}  // namespace varnel::host
