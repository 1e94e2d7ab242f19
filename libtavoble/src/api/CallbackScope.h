#pragma once

namespace Tavo::BLE {

// Marks the current thread as running an application callback while an
// instance lives, so calls that would block or deadlock from there can refuse.
class CallbackScope {
  public:
    CallbackScope() noexcept;
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    static bool Active() noexcept;
};

}  // namespace Tavo::BLE
