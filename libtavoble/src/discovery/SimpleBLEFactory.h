#pragma once

#include "BLEFactory.h"

namespace Tavo::BLE {

// Binds the backend interfaces to the SimpleBLE-based adapter and device.
class SimpleBLEFactory final : public BLEFactory {
  public:
    IAdapter* GetAdapter() override;
    IDevice* CreateDevice(const std::string& serialNumber) override;
    void EndCreations() noexcept override;
};

}  // namespace Tavo::BLE
