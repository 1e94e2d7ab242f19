#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "ApiException.h"
#include "LastError.h"

namespace Tavo::BLE {

// The one place where exceptions become a result code and a last-error text.
// Runs `work`; then `tail`, whatever the outcome. Nothing escapes.
template <typename Work, typename Tail>
int32_t RunInFrame(Work&& work, Tail&& tail) noexcept {
    int32_t result = ErrorCode::Success;
    try {
        std::forward<Work>(work)();
    } catch (const ApiException& e) {
        SetLastErrorText(e.what());
        result = e.ErrorCode();
    } catch (const std::exception& e) {
        SetLastErrorText(e.what());
        result = ErrorCode::InvalidArgument;
    } catch (...) {
        SetLastErrorText("An unknown error appeared.");
        result = ErrorCode::InvalidArgument;
    }
    try {
        std::forward<Tail>(tail)();
    } catch (...) {
    }
    return result;
}

template <typename Work>
int32_t RunInFrame(Work&& work) noexcept {
    return RunInFrame(std::forward<Work>(work), [] {});
}

}  // namespace Tavo::BLE
