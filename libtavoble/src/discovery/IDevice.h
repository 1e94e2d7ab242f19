#pragma once

#include "tavoble.h"

namespace Tavo::BLE {

// One connected amplifier session. Destroying it unsubscribes, disconnects
// and frees its buffers.
class IDevice {
  public:
    virtual ~IDevice() = default;
    virtual TAVOBLE_DEVICE_INFORMATION GetDeviceInformation() = 0;
    // Non-null starts the delivery of scans, null stops it.
    virtual void RegisterDataAvailableCallback(DataAvailableCallback callback) = 0;
};

}  // namespace Tavo::BLE
