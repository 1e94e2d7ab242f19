#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include <simpleble/SimpleBLE.h>

#include "IAdapter.h"

namespace Tavo::BLE {

// The host's single Bluetooth adapter, its scan, and the list of amplifiers
// currently advertising.
class SimpleBLEAdapter final : public IAdapter {
  public:
    // Built on first use; a failed build (code 2) is retried on the next call.
    static SimpleBLEAdapter* GetInstance();

    void StartScanning() override;
    void StopScanning() override;
    bool IsScanning() override;
    void RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) override;

    // A copy of the amplifiers seen since the last start, in first-seen order.
    std::vector<SimpleBLE::Peripheral> GetPeripherals();

    // Handler of every advertisement report, found or updated.
    static void OnScanFound(SimpleBLE::Peripheral peripheral);

    // Serial-number shape: first 'U' at 0, first '-' at 2, first '.' at 7.
    static bool IsRecognisedName(const std::string& name);

  private:
    explicit SimpleBLEAdapter(SimpleBLE::Adapter adapter);
    ~SimpleBLEAdapter() override = default;
    static SimpleBLEAdapter* Build();
    void OnAdvertisement(SimpleBLE::Peripheral& peripheral);

    SimpleBLE::Adapter adapter_;
    // Guards the two lists, which the scan thread changes while application
    // threads copy or clear them. Never held while calling the application.
    std::mutex mutex_;
    std::vector<SimpleBLE::Peripheral> peripherals_;
    std::vector<std::string> names_;  // identifier() of each peripheral, read once
    std::vector<std::chrono::steady_clock::time_point> lastSeen_;
    std::atomic<DeviceDiscoveredCallback> callback_{nullptr};
};

}  // namespace Tavo::BLE
