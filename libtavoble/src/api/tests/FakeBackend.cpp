// Links in place of the SimpleBLE backend: GetFactory() is the seam.
#include "FakeBackend.h"

#include <cstdio>

#include "ApiException.h"
#include "DeviceRegistry.h"

namespace Tavo::BLE {
namespace Testing {

FakeDevice::FakeDevice(const std::string& serialNumber) {
    std::snprintf(info_.serialNumber, sizeof info_.serialNumber, "%s", serialNumber.c_str());
    info_.numberOfAcquiredChannels = 10;
    info_.samplingRate = 250;
    ++Fake().created;
}

FakeDevice::~FakeDevice() {
    stop_ = true;
    if (notifications_.joinable()) {
        notifications_.join();
    }
    std::function<void(FakeDevice*)> hook;
    {
        std::lock_guard<std::mutex> lock(Fake().hooks);
        hook = Fake().onDestroy;
    }
    if (hook) {
        hook(this);
    }
    ++Fake().destroyed;
}

void FakeDevice::RegisterDataAvailableCallback(TAVOBLE_HANDLE handle,
                                               DataAvailableCallback callback) {
    handle_ = handle;
    callback_ = callback;
    std::lock_guard<std::mutex> lock(startMutex_);
    if (callback != nullptr && !notifications_.joinable()) {
        notifications_ = std::thread([this] { Stream(); });
    }
}

void FakeDevice::Stream() {
    float scan[10] = {0, 0, 0, 0, 0, 0, 0, 1, 100, 1};
    while (!stop_) {
        DataAvailableCallback callback = callback_;
        if (callback != nullptr) {
            callback(handle_.load(), scan, 10);
        }
        std::this_thread::yield();
    }
}

IAdapter* FakeFactory::GetAdapter() {
    if (adapterFails) {
        throw ApiException("Bluetooth adapter not enabled.", ErrorCode::Adapter);
    }
    return &adapter;
}

IDevice* FakeFactory::CreateDevice(const std::string& serialNumber) {
    std::function<void(const std::string&)> hook;
    std::function<std::string(const std::string&)> serial;
    {
        std::lock_guard<std::mutex> lock(hooks);
        hook = beforeCreate;
        serial = reportedSerial;
    }
    if (hook) {
        hook(serialNumber);
    }
    return new FakeDevice(serial ? serial(serialNumber) : serialNumber);
}

void FakeFactory::Reset() {
    std::lock_guard<std::mutex> lock(hooks);
    beforeCreate = nullptr;
    onDestroy = nullptr;
    reportedSerial = nullptr;
    adapterFails = false;
}

FakeFactory& Fake() {
    // Never destroyed, as the real factory: threads busy at exit use it.
    static FakeFactory* factory = new FakeFactory;
    return *factory;
}

}  // namespace Testing

BLEFactory& GetFactory() {
    return Testing::Fake();
}

}  // namespace Tavo::BLE
