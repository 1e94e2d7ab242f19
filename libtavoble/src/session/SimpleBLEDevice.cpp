#include "SimpleBLEDevice.h"

#include <cxxabi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ApiException.h"
#include "CallbackScope.h"
#include "DeviceRegistry.h"
#include "GattProfile.h"
#include "SimpleBLEAdapter.h"

namespace Tavo::BLE {
namespace {

constexpr auto kSearchPass = std::chrono::milliseconds(100);
constexpr double kSearchLimitMs = 10000.0;

std::string ToString(const SimpleBLE::ByteArray& value) {
    return std::string(reinterpret_cast<const char*>(value.data()), value.size());
}

// Bounded copy of a Device Information string: up to its first NUL, at most
// 254 characters, always terminated.
void CopyText(char (&field)[TAVOBLE_STRING_LENGTH_MAX], const std::string& text) {
    const std::size_t length = strnlen(text.c_str(), TAVOBLE_STRING_LENGTH_MAX - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

}  // namespace

SimpleBLEDevice::SimpleBLEDevice(std::string serialNumber)
    : stream_(std::make_shared<Stream>(this)) {
    Connect(serialNumber);
}

SimpleBLEDevice::~SimpleBLEDevice() {
    Close();
}

TAVOBLE_DEVICE_INFORMATION SimpleBLEDevice::GetDeviceInformation() {
    return deviceInformation_;
}

template <typename Handler>
std::function<void(SimpleBLE::ByteArray)> SimpleBLEDevice::Bind(Handler handler) {
    return [weak = std::weak_ptr<Stream>(stream_), handler](SimpleBLE::ByteArray value) {
        if (std::shared_ptr<Stream> stream = weak.lock()) {
            handler(*stream, value);
        }
    };
}

SimpleBLE::Peripheral SimpleBLEDevice::FindPeripheral(const std::string& serialNumber) {
    SimpleBLEAdapter* adapter = SimpleBLEAdapter::GetInstance();
    const auto start = std::chrono::steady_clock::now();
    std::vector<SimpleBLE::Peripheral> seen;
    double elapsedMs = 0.0;
    bool found = false;
    SimpleBLE::Peripheral match;
    do {
        seen = adapter->GetPeripherals();
        if (!adapter->IsScanning()) {
            adapter->StartScanning();
        }
        std::this_thread::sleep_for(kSearchPass);
        elapsedMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        for (SimpleBLE::Peripheral& peripheral : seen) {
            if (peripheral.identifier() == serialNumber) {
                match = peripheral;
                found = true;
                break;
            }
        }
    } while (!found && elapsedMs < kSearchLimitMs);

    // Ends the scan also when the application had started it.
    if (adapter->IsScanning()) {
        adapter->StopScanning();
    }
    if (seen.empty() || !found || elapsedMs >= kSearchLimitMs) {
        throw ApiException("Could not find device with the specified serial number.",
                           ErrorCode::Session);
    }
    if (!match.is_connectable()) {
        throw ApiException("'" + serialNumber + "' is not connectable.", ErrorCode::Session);
    }
    return match;
}

void SimpleBLEDevice::Connect(const std::string& serialNumber) {
    try {
        peripheral_ = FindPeripheral(serialNumber);
        // A refused or timed-out link (also one whose services never
        // resolved) is this amplifier's failure to connect, whatever the
        // Bluetooth stack called it; Close() drops a half-made link.
        bool linked = true;
        try {
            peripheral_.connect();
        } catch (const std::exception&) {
            linked = false;
        }
        if (!linked || !peripheral_.is_connected()) {
            throw ApiException("Could not connect to device.", ErrorCode::Session);
        }
        services_ = peripheral_.services();
        amplifierService_ = FindService(services_, Gatt::AmplifierService);
        dataCharacteristic_ = FindCharacteristic(amplifierService_, Gatt::DataCharacteristic);
        batteryService_ = FindService(services_, Gatt::BatteryService);
        batteryLevelCharacteristic_ =
            FindCharacteristic(batteryService_, Gatt::BatteryLevelCharacteristic);
        ReadDeviceInformation();

        DeviceConfiguration& configuration = stream_->configuration;
        configuration.SetAmplifierConfiguration(ToString(ReadCharacteristic(
            Gatt::AmplifierService, Gatt::AmplifierConfigurationCharacteristic)));
        const AmplifierConfiguration amplifier = configuration.Amplifier();

        std::unique_lock<std::mutex> lock(configuration.Mutex());
        configuration.ClearReceived();
        CollectStream(lock, amplifier.channelConfigurationCount,
                      Gatt::ChannelConfigurationCharacteristic, channelConfigurationCharacteristic_,
                      &DeviceConfiguration::OnChannelConfiguration,
                      "Could not read channel configuration.");
        CollectStream(lock, amplifier.payloadConfigurationCount,
                      Gatt::PayloadConfigurationCharacteristic, payloadConfigurationCharacteristic_,
                      &DeviceConfiguration::OnPayloadConfiguration,
                      "Could not read payload configuration.");
        CollectStream(lock, amplifier.filterConfigurationCount,
                      Gatt::FilterConfigurationCharacteristic, filterConfigurationCharacteristic_,
                      &DeviceConfiguration::OnFilterConfiguration,
                      "Could not read filter configuration.");

        const SimpleBLE::ByteArray battery =
            ReadCharacteristic(Gatt::BatteryService, Gatt::BatteryLevelCharacteristic);
        stream_->batteryLevel = battery.empty() ? 0 : battery[0];

        configuration.Derive(deviceInformation_);
        stream_->assembler = std::make_unique<ScanAssembler>(configuration);
    } catch (...) {
        Close();
        throw;
    }
}

void SimpleBLEDevice::CollectStream(std::unique_lock<std::mutex>& lock, uint16_t count,
                                    const char* characteristicUuid,
                                    SimpleBLE::Characteristic& characteristic,
                                    void (DeviceConfiguration::*handler)(const std::string&),
                                    const char* failure) {
    if (count == 0) {
        return;
    }
    characteristic = FindCharacteristic(amplifierService_, characteristicUuid);
    peripheral_.notify(amplifierService_.uuid(), characteristic.uuid(),
                       Bind([handler](Stream& stream, const SimpleBLE::ByteArray& value) {
                           (stream.configuration.*handler)(ToString(value));
                       }));
    const bool received = stream_->configuration.WaitReceived(lock);
    peripheral_.unsubscribe(amplifierService_.uuid(), characteristic.uuid());
    if (!received) {
        throw ApiException(failure, ErrorCode::Session);
    }
    stream_->configuration.ClearReceived();
}

void SimpleBLEDevice::ReadDeviceInformation() {
    const char* const uuids[] = {Gatt::ModelNumberCharacteristic, Gatt::SerialNumberCharacteristic,
                                 Gatt::FirmwareRevisionCharacteristic,
                                 Gatt::HardwareRevisionCharacteristic,
                                 Gatt::ManufacturerNameCharacteristic};
    std::string values[5];
    for (std::size_t i = 0; i < 5; ++i) {
        values[i] = ToString(ReadCharacteristic(Gatt::DeviceInformationService, uuids[i]));
    }
    CopyText(deviceInformation_.modelNumber, values[0]);
    CopyText(deviceInformation_.serialNumber, values[1]);
    CopyText(deviceInformation_.firmwareRevision, values[2]);
    CopyText(deviceInformation_.hardwareRevision, values[3]);
    CopyText(deviceInformation_.manufacturerName, values[4]);
}

void SimpleBLEDevice::RegisterDataAvailableCallback(DataAvailableCallback callback) {
    // Stored first: a null callback stops delivery at once, even before the
    // unsubscribe below has reached the amplifier.
    stream_->callback = callback;

    std::unique_lock<std::mutex> lock(subscriptionMutex_, std::defer_lock);
    if (CallbackScope::Active()) {
        // From inside a callback, another thread may hold the lock while it
        // waits for this very callback to return; the callback is stored,
        // which is all that must happen now.
        if (!lock.try_lock()) {
            return;
        }
    } else {
        lock.lock();
    }
    if (callback != nullptr) {
        // Subscribing again while subscribed would only swap the same handler.
        if (!dataSubscribed_) {
            peripheral_.notify(amplifierService_.uuid(), dataCharacteristic_.uuid(),
                               Bind([](Stream& stream, const SimpleBLE::ByteArray& value) {
                                   stream.OnData(value);
                               }));
            dataSubscribed_ = true;
        }
        if (!batterySubscribed_) {
            peripheral_.notify(batteryService_.uuid(), batteryLevelCharacteristic_.uuid(),
                               Bind([](Stream& stream, const SimpleBLE::ByteArray& value) {
                                   stream.OnBatteryLevel(value);
                               }));
            batterySubscribed_ = true;
        }
        return;
    }
    if (dataSubscribed_) {
        dataSubscribed_ = false;
        Unsubscribe(amplifierService_, dataCharacteristic_);
    }
    if (batterySubscribed_) {
        batterySubscribed_ = false;
        Unsubscribe(batteryService_, batteryLevelCharacteristic_);
    }
}

void SimpleBLEDevice::Unsubscribe(SimpleBLE::Service& service,
                                  SimpleBLE::Characteristic& characteristic) {
    // An amplifier that dropped the link has no subscription left to end.
    if (!peripheral_.is_connected()) {
        return;
    }
    peripheral_.unsubscribe(service.uuid(), characteristic.uuid());
}

void SimpleBLEDevice::Close() noexcept {
    stream_->closed = true;
    try {
        RegisterDataAvailableCallback(nullptr);
    } catch (...) {
    }
    try {
        if (peripheral_.initialized() && peripheral_.is_connected()) {
            peripheral_.disconnect();
        }
    } catch (...) {
    }
    // Buffers go with the last holder of the stream: now, or when a handler
    // running on this thread returns.
    stream_->callback = nullptr;
}

SimpleBLE::Service SimpleBLEDevice::FindService(std::vector<SimpleBLE::Service> services,
                                                const char* uuid) {
    return Tavo::BLE::FindService(std::move(services), uuid);
}

SimpleBLE::Characteristic SimpleBLEDevice::FindCharacteristic(SimpleBLE::Service service,
                                                              const char* uuid) {
    return Tavo::BLE::FindCharacteristic(std::move(service), uuid);
}

SimpleBLE::ByteArray SimpleBLEDevice::ReadCharacteristic(const char* serviceUuid,
                                                         const char* characteristicUuid) {
    SimpleBLE::Service service = FindService(peripheral_.services(), serviceUuid);
    SimpleBLE::Characteristic characteristic = FindCharacteristic(service, characteristicUuid);
    return peripheral_.read(service.uuid(), characteristic.uuid());
}

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
__attribute__((no_sanitize("null"))) void SimpleBLEDevice::Stream::OnData(
    const SimpleBLE::ByteArray& value) {
    try {
        if (assembler != nullptr && !closed) {
            assembler->OnData(value.data(), value.size(), batteryLevel.load(), *this);
        }
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended (e.g. by an interpreter shutting down)
    } catch (...) {
        // The scans of this notification are lost; the stream goes on.
    }
}

void SimpleBLEDevice::Stream::OnBatteryLevel(const SimpleBLE::ByteArray& value) noexcept {
    batteryLevel = value.empty() ? 0 : value[0];
}

void SimpleBLEDevice::Stream::DeliverScan(const float* scan, uint32_t count) {
    // Read afresh for every scan, so removing the callback stops delivery at once.
    const DataAvailableCallback deliver = callback.load();
    if (deliver == nullptr || closed) {
        return;
    }
    const TAVOBLE_HANDLE handle = DeviceRegistry::Instance().GetHandle(owner);
    CallbackScope scope;
    deliver(handle, scan, count);
}

}  // namespace Tavo::BLE
