#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "BLEFactory.h"

namespace Tavo::BLE::Testing {

// A device that is "connected" as soon as it is constructed.
class FakeDevice : public IDevice {
  public:
    explicit FakeDevice(const std::string& serialNumber);
    ~FakeDevice() override;
    TAVOBLE_DEVICE_INFORMATION GetDeviceInformation() override { return info_; }
    // Like a real session, a registered callback starts a "delivery thread"
    // that delivers scans with the handle given until destruction.
    void RegisterDataAvailableCallback(TAVOBLE_HANDLE handle,
                                       DataAvailableCallback callback) override;
    DataAvailableCallback Callback() const { return callback_; }

  private:
    void Stream();

    TAVOBLE_DEVICE_INFORMATION info_{};
    std::atomic<DataAvailableCallback> callback_{nullptr};
    std::atomic<TAVOBLE_HANDLE> handle_{0};
    std::atomic<bool> stop_{false};
    std::mutex startMutex_;
    std::thread notifications_;
};

struct FakeAdapter : IAdapter {
    void StartScanning() override {
        scanning = true;
        ++starts;
    }
    void StopScanning() override {
        scanning = false;
        ++stops;
    }
    bool IsScanning() override { return scanning; }
    void RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback cb) override { callback = cb; }
    std::atomic<bool> scanning{false};
    std::atomic<int> starts{0}, stops{0};
    std::atomic<DeviceDiscoveredCallback> callback{nullptr};
};

// What GetFactory() hands out in these tests; tests set its behaviour.
struct FakeFactory : BLEFactory {
    IAdapter* GetAdapter() override;
    IDevice* CreateDevice(const std::string& serialNumber) override;
    void Reset();

    FakeAdapter adapter;
    std::atomic<bool> adapterFails{false};
    std::atomic<int> created{0}, destroyed{0};
    // Runs inside CreateDevice before the device exists; may throw.
    std::function<void(const std::string&)> beforeCreate;
    // The Device Information serial of a device found by a name; the name
    // itself when unset.
    std::function<std::string(const std::string&)> reportedSerial;
    // Runs inside a device's destructor, with the device.
    std::function<void(FakeDevice*)> onDestroy;
    std::mutex hooks;
};

FakeFactory& Fake();

}  // namespace Tavo::BLE::Testing
