#include "CallbackScope.h"

namespace Tavo::BLE {
namespace {
thread_local int callbackDepth = 0;
}

CallbackScope::CallbackScope() noexcept {
    ++callbackDepth;
}
CallbackScope::~CallbackScope() {
    --callbackDepth;
}
bool CallbackScope::Active() noexcept {
    return callbackDepth > 0;
}

}  // namespace Tavo::BLE
