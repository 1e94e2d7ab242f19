#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Tavo::BLE {

// The library's own failure: a message for the last-error text and the result
// code that the C interface returns for it.
class ApiException : public std::logic_error {
  public:
    ApiException(const std::string& message, int32_t errorCode)
        : std::logic_error(message), errorCode_(errorCode) {}
    ~ApiException() override = default;

    int32_t ErrorCode() const noexcept { return errorCode_; }

  private:
    int32_t errorCode_;
};

// Result codes of the C interface.
namespace ErrorCode {
constexpr int32_t Success = 0;
constexpr int32_t InvalidArgument = -1;
constexpr int32_t Handle = 1;
constexpr int32_t Adapter = 2;
constexpr int32_t Session = 3;
constexpr int32_t PayloadSize = -2;
}  // namespace ErrorCode

}  // namespace Tavo::BLE
