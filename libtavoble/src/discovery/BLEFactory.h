#pragma once

#include <string>

#include "IAdapter.h"
#include "IDevice.h"

namespace Tavo::BLE {

// Hands out the process-wide adapter and creates connected device sessions.
class BLEFactory {
  public:
    // The one adapter of the process; callers never delete it.
    virtual IAdapter* GetAdapter() = 0;
    // A new, connected and configured session; the caller owns it.
    virtual IDevice* CreateDevice(const std::string& serialNumber) = 0;
    // The process is ending: the creations under way give up soon (leaving
    // nothing connected), and any started later give up at once.
    virtual void EndCreations() noexcept {}
    virtual ~BLEFactory() = default;
};

// The process-wide factory, created on first use.
BLEFactory& GetFactory();

}  // namespace Tavo::BLE
