#pragma once

#include "tavoble.h"

namespace Tavo::BLE {

// The host's Bluetooth adapter and its scan for amplifiers.
class IAdapter {
  public:
    virtual ~IAdapter() = default;
    virtual void StartScanning() = 0;
    virtual void StopScanning() = 0;
    virtual bool IsScanning() = 0;
    // Null means no discovered callback.
    virtual void RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) = 0;
};

}  // namespace Tavo::BLE
