// Automation errors: the one error type that leaves the control's routines.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace varnel {

// Error numbers the control and its components raise.
namespace err {
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kInvalidProcedureCall = 5;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathNotFound = 76;
inline constexpr std::int32_t kInternal = 51;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kObjectNotSet = 91;
inline constexpr std::int32_t kNoSuchControlArrayElement = 340;
// Late-binding failures carry the platform's HRESULT as their number, so that the COM shell hands
// them on unchanged: DISP_E_MEMBERNOTFOUND (no such member, or a put on a property without a
// setter), DISP_E_UNKNOWNNAME, DISP_E_BADPARAMCOUNT.
inline constexpr std::int32_t kMemberNotFound = static_cast<std::int32_t>(0x80020003u);
inline constexpr std::int32_t kUnknownName = static_cast<std::int32_t>(0x80020006u);
inline constexpr std::int32_t kBadParamCount = static_cast<std::int32_t>(0x8002000Eu);
}  // namespace err

class AutomationError : public std::runtime_error {
  public:
    AutomationError(std::int32_t number, const std::string& description)
        : std::runtime_error(description), number_(number) {}

    std::int32_t Number() const noexcept { return number_; }
    std::string Description() const { return what(); }

  private:
    std::int32_t number_;
};

[[noreturn]] void ThrowOverflow();
[[noreturn]] void ThrowTypeMismatch();

}  // namespace varnel
