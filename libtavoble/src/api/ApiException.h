#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tavoble.h"

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

// Result codes of the C interface, as the public header names them.
namespace ErrorCode {
constexpr int32_t Success = TAVOBLE_RESULT_SUCCESS;
constexpr int32_t InvalidArgument = TAVOBLE_RESULT_INVALID_ARGUMENT;
constexpr int32_t Handle = TAVOBLE_RESULT_HANDLE;
constexpr int32_t Adapter = TAVOBLE_RESULT_ADAPTER;
constexpr int32_t Session = TAVOBLE_RESULT_SESSION;
constexpr int32_t PayloadSize = TAVOBLE_RESULT_PAYLOAD_SIZE;
}  // namespace ErrorCode

}  // namespace Tavo::BLE
