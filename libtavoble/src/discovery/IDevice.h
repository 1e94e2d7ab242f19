#pragma once

#include "tavoble.h"

namespace Tavo::BLE {

// One connected amplifier session. Destroying it unsubscribes, disconnects
// and frees its buffers.
class IDevice {
  public:
    virtual ~IDevice() = default;
    virtual TAVOBLE_DEVICE_INFORMATION GetDeviceInformation() = 0;
    // Non-null starts the delivery of scans, null stops it. `handle` is this
    // device's handle, which the callback is given with every scan.
    virtual void RegisterDataAvailableCallback(TAVOBLE_HANDLE handle,
                                               DataAvailableCallback callback) = 0;
};

}  // namespace Tavo::BLE
