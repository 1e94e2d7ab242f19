#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <simpleble/SimpleBLE.h>

#include "DeviceConfiguration.h"
#include "IDevice.h"
#include "ScanAssembler.h"

namespace Tavo::BLE {

// The connection to one amplifier: found by its serial number, connected and
// configured by the constructor, streaming while a data callback is set.
class SimpleBLEDevice final : public IDevice {
  public:
    explicit SimpleBLEDevice(std::string serialNumber);
    // Unsubscribes, disconnects, and waits for no handler of this device to be
    // running before its buffers go (except on the handler's own thread, whose
    // buffers then go when it returns).
    ~SimpleBLEDevice() override;

    TAVOBLE_DEVICE_INFORMATION GetDeviceInformation() override;
    void RegisterDataAvailableCallback(DataAvailableCallback callback) override;

  private:
    // What the notification handlers use. Handlers hold it by weak pointer and
    // keep it alive while they run, so a handler never meets freed memory,
    // even when the application closes the device from inside its callback.
    struct Stream final : ScanSink {
        explicit Stream(const IDevice* device) : owner(device) {}
        void OnData(const SimpleBLE::ByteArray& value);
        void OnBatteryLevel(const SimpleBLE::ByteArray& value) noexcept;
        void DeliverScan(const float* scan, uint32_t count) override;

        const IDevice* owner;  // only compared, to find the handle
        DeviceConfiguration configuration;
        std::unique_ptr<ScanAssembler> assembler;
        std::atomic<DataAvailableCallback> callback{nullptr};
        std::atomic<uint8_t> batteryLevel{100};
        std::atomic<bool> closed{false};
    };

    SimpleBLE::Peripheral FindPeripheral(const std::string& serialNumber);
    void Connect(const std::string& serialNumber);
    void CollectStream(std::unique_lock<std::mutex>& lock, uint16_t count,
                       const char* characteristicUuid, SimpleBLE::Characteristic& characteristic,
                       void (DeviceConfiguration::*handler)(const std::string&),
                       const char* failure);
    void ReadDeviceInformation();
    void Close() noexcept;
    void Unsubscribe(SimpleBLE::Service& service, SimpleBLE::Characteristic& characteristic);

    SimpleBLE::Service FindService(std::vector<SimpleBLE::Service> services, const char* uuid);
    SimpleBLE::Characteristic FindCharacteristic(SimpleBLE::Service service, const char* uuid);
    SimpleBLE::ByteArray ReadCharacteristic(const char* serviceUuid,
                                            const char* characteristicUuid);

    template <typename Handler>
    std::function<void(SimpleBLE::ByteArray)> Bind(Handler handler);

    SimpleBLE::Peripheral peripheral_;
    TAVOBLE_DEVICE_INFORMATION deviceInformation_{};
    std::vector<SimpleBLE::Service> services_;
    SimpleBLE::Service amplifierService_;
    SimpleBLE::Service batteryService_;
    SimpleBLE::Characteristic dataCharacteristic_;
    SimpleBLE::Characteristic batteryLevelCharacteristic_;
    SimpleBLE::Characteristic channelConfigurationCharacteristic_;
    SimpleBLE::Characteristic payloadConfigurationCharacteristic_;
    SimpleBLE::Characteristic filterConfigurationCharacteristic_;
    std::shared_ptr<Stream> stream_;
    // Serialises subscribing and unsubscribing; see RegisterDataAvailableCallback.
    std::mutex subscriptionMutex_;
    bool dataSubscribed_ = false;
    bool batterySubscribed_ = false;
};

}  // namespace Tavo::BLE
