#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <utility>

#include "ApiException.h"
#include "LastError.h"

namespace Tavo::BLE {

// The one place where exceptions become a result code and a last-error text.
// Runs `work`; then `tail`, whatever the outcome. Nothing escapes but the
// forced unwind of a thread that is cancelled or calls pthread_exit inside the
// call: swallowing it would abort the process, so it runs the tail and goes
// on; the work's own destructors have released what it held.
// (The forced unwind has no exception object; the undefined-behaviour
// sanitizer would take binding the handler's reference for a null one.)
template <typename Work, typename Tail>
__attribute__((no_sanitize("null"))) int32_t RunInFrame(Work&& work, Tail&& tail) {
    int32_t result = ErrorCode::Success;
    try {
        std::forward<Work>(work)();
    } catch (abi::__forced_unwind&) {
        try {
            std::forward<Tail>(tail)();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
        }
        throw;
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
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    return result;
}

template <typename Work>
int32_t RunInFrame(Work&& work) {
    return RunInFrame(std::forward<Work>(work), [] {});
}

}  // namespace Tavo::BLE
