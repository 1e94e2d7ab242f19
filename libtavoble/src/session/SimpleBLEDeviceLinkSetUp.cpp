// SimpleBLEDevice: making one link, for open and reconnect alike: connect,
// resolve the GATT profile, read Device Information, configuration, battery.

#include "SimpleBLEDevice.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "ApiException.h"
#include "GattProfile.h"
#include "LinkedPeripherals.h"

namespace Tavo::BLE {
namespace {

// How often a connect in progress looks whether the device is being closed.
constexpr auto kClosingCheck = std::chrono::milliseconds(50);
// BlueZ may publish the battery (its Battery1 interface, which SimpleBLE
// shows as the '180F' service) a while after the services resolved.
constexpr auto kBatteryWait = std::chrono::seconds(1);
constexpr auto kBatteryPoll = std::chrono::milliseconds(50);

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

bool SimpleBLEDevice::Claim(SimpleBLE::Peripheral& peripheral,
                            std::unique_ptr<AmplifierClaim>& claim, std::string& refusal) {
    std::string address;
    try {
        address = peripheral.address();
    } catch (...) {
        return true;  // no address to claim by: as without claims
    }
    if (claim_ != nullptr && claim_->Address() == address) {
        return true;  // this device's own amplifier, come back
    }
    try {
        claim = AmplifierClaim::Take(address);
        return true;
    } catch (const ApiException& e) {
        refusal = e.what();
        return false;
    }
}

void SimpleBLEDevice::ConnectLink(const std::string& serialNumber, Link& link,
                                  const std::shared_ptr<Stream>& stream,
                                  TAVOBLE_DEVICE_INFORMATION& information, double searchLimitMs,
                                  bool opening) {
    using Clock = std::chrono::steady_clock;
    const auto giveUpAt =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double, std::milli>(searchLimitMs));
    // A refused or timed-out link (also one whose services never resolved) is
    // a failure to connect, whatever the Bluetooth stack called it; the next
    // peer of that name is tried, and a refused one is left disconnected.
    // A peer that another running program has claimed is not touched: its
    // link (which the Bluetooth service would hand over) stays that program's.
    // The peripheral of the amplifier's last link, which no scan reported,
    // is tried once within the search time; one out of reach fails as an
    // amplifier never seen, when the search ends.
    bool linked = false;
    std::string refusal;
    bool mayRemember = true;
    for (;;) {
        const double leftMs =
            std::chrono::duration<double, std::milli>(giveUpAt - Clock::now()).count();
        // Only an open's search ends the application's scan, as an open always has.
        const Found found = FindPeripheral(serialNumber, leftMs, opening, mayRemember);
        mayRemember = false;
        const auto connectUntil = found.remembered ? giveUpAt : Clock::time_point::max();
        linked = ConnectCandidate(found.peers, link, refusal, connectUntil);
        if (linked || !found.remembered || Closing()) {
            break;
        }
    }
    if (!linked) {
        // Every peer tried is left disconnected; one that another program
        // holds was not touched and must stay connected.
        link.peripheral = SimpleBLE::Peripheral();
    }
    try {
        if (!linked) {
            throw ApiException(refusal.empty() ? "Could not connect to device." : refusal,
                               ErrorCode::Session);
        }
        link.services = link.peripheral.services();
        link.amplifierService = FindService(link.services, Gatt::AmplifierService);
        link.dataCharacteristic =
            FindCharacteristic(link.amplifierService, Gatt::DataCharacteristic);
        link.batteryService = FindBatteryService(link);
        link.batteryLevelCharacteristic =
            FindCharacteristic(link.batteryService, Gatt::BatteryLevelCharacteristic);
        ReadDeviceInformation(link, information);

        DeviceConfiguration& configuration = stream->configuration;
        configuration.SetAmplifierConfiguration(ToString(ReadCharacteristic(
            link, Gatt::AmplifierService, Gatt::AmplifierConfigurationCharacteristic)));
        const AmplifierConfiguration amplifier = configuration.Amplifier();

        std::unique_lock<std::mutex> lock(configuration.Mutex());
        configuration.ClearReceived();
        CollectStream(
            link, stream, lock, amplifier.channelConfigurationCount,
            Gatt::ChannelConfigurationCharacteristic, link.channelConfigurationCharacteristic,
            &DeviceConfiguration::OnChannelConfiguration, "Could not read channel configuration.");
        CollectStream(
            link, stream, lock, amplifier.payloadConfigurationCount,
            Gatt::PayloadConfigurationCharacteristic, link.payloadConfigurationCharacteristic,
            &DeviceConfiguration::OnPayloadConfiguration, "Could not read payload configuration.");
        CollectStream(
            link, stream, lock, amplifier.filterConfigurationCount,
            Gatt::FilterConfigurationCharacteristic, link.filterConfigurationCharacteristic,
            &DeviceConfiguration::OnFilterConfiguration, "Could not read filter configuration.");

        const SimpleBLE::ByteArray battery =
            ReadCharacteristic(link, Gatt::BatteryService, Gatt::BatteryLevelCharacteristic);
        stream->batteryLevel = battery.empty() ? 0 : battery[0];

        configuration.Derive(information);
        WatchLink(link.peripheral);
        LinkedPeripherals::Instance().Remember(serialNumber, link.peripheral);
    } catch (...) {
        // Whatever the stack thinks of the link, nothing may stay connected.
        try {
            link.peripheral.disconnect();
        } catch (...) {
        }
        {
            std::lock_guard<std::mutex> lock(attemptMutex_);
            attempt_ = SimpleBLE::Peripheral();
        }
        throw;
    }
    std::lock_guard<std::mutex> lock(attemptMutex_);
    attempt_ = SimpleBLE::Peripheral();
}

bool SimpleBLEDevice::ConnectCandidate(const std::vector<SimpleBLE::Peripheral>& candidates,
                                       Link& link, std::string& refusal,
                                       std::chrono::steady_clock::time_point giveUpAt) {
    for (SimpleBLE::Peripheral candidate : candidates) {
        if (Closing()) {
            break;
        }
        std::unique_ptr<AmplifierClaim> claim;
        if (!Claim(candidate, claim, refusal)) {
            continue;
        }
        link.peripheral = candidate;
        {
            std::lock_guard<std::mutex> lock(attemptMutex_);
            attempt_ = link.peripheral;
        }
        if (ConnectPeripheral(link.peripheral, giveUpAt) && link.peripheral.is_connected()) {
            if (claim != nullptr) {
                claim_ = std::move(claim);
            }
            return true;
        }
        try {
            link.peripheral.disconnect();
        } catch (...) {
        }
    }
    return false;
}

SimpleBLE::Service SimpleBLEDevice::FindBatteryService(Link& link) {
    const auto giveUpAt = std::chrono::steady_clock::now() + kBatteryWait;
    for (;;) {
        try {
            return FindService(link.services, Gatt::BatteryService);
        } catch (const ApiException&) {
            if (std::chrono::steady_clock::now() >= giveUpAt || Closing()) {
                throw;
            }
        }
        std::this_thread::sleep_for(kBatteryPoll);
        link.services = link.peripheral.services();
    }
}

bool SimpleBLEDevice::ConnectPeripheral(const SimpleBLE::Peripheral& peripheral,
                                        std::chrono::steady_clock::time_point giveUpAt) {
    // A connect to an amplifier that is out of reach takes the stack's whole
    // timeout. It runs on a helper that holds only shared handles, so closing
    // the device can walk away from it; an abandoned link is dropped when the
    // connect finally returns.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool linked = false;
        bool abandoned = false;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([link = peripheral, outcome]() mutable {
        bool linked = true;
        try {
            link.connect();
        } catch (...) {
            linked = false;
        }
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->finished = true;
        outcome->linked = linked;
        if (outcome->abandoned) {
            try {
                link.disconnect();
            } catch (...) {
            }
        }
        outcome->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(outcome->mutex);
    while (!outcome->finished) {
        outcome->done.wait_for(lock, kClosingCheck);
        // At the process's end a connect is waited for, not walked away from:
        // its helper would drop the link only after the process is gone.
        if (!outcome->finished && (Closed() || std::chrono::steady_clock::now() >= giveUpAt)) {
            outcome->abandoned = true;
            return false;
        }
    }
    return outcome->linked;
}

void SimpleBLEDevice::WatchLink(SimpleBLE::Peripheral& peripheral) {
    // The notice arrives on a central thread and may come after this object
    // is gone; it holds the watch only weakly.
    peripheral.set_callback_on_disconnected([weak = std::weak_ptr<LinkWatch>(watch_)] {
        if (std::shared_ptr<LinkWatch> watch = weak.lock()) {
            std::lock_guard<std::mutex> lock(watch->mutex);
            watch->lost = true;
            watch->changed.notify_all();
        }
    });
}

void SimpleBLEDevice::CollectStream(Link& link, const std::shared_ptr<Stream>& stream,
                                    std::unique_lock<std::mutex>& lock, uint16_t count,
                                    const char* characteristicUuid,
                                    SimpleBLE::Characteristic& characteristic,
                                    void (DeviceConfiguration::*handler)(const std::string&),
                                    const char* failure) {
    if (count == 0) {
        return;
    }
    characteristic = FindCharacteristic(link.amplifierService, characteristicUuid);
    link.peripheral.notify(link.amplifierService.uuid(), characteristic.uuid(),
                           Bind(stream, [handler](Stream& held, const SimpleBLE::ByteArray& value) {
                               (held.configuration.*handler)(ToString(value));
                           }));
    const bool received = stream->configuration.WaitReceived(lock);
    link.peripheral.unsubscribe(link.amplifierService.uuid(), characteristic.uuid());
    if (!received) {
        throw ApiException(failure, ErrorCode::Session);
    }
    stream->configuration.ClearReceived();
}

void SimpleBLEDevice::ReadDeviceInformation(Link& link, TAVOBLE_DEVICE_INFORMATION& information) {
    const char* const uuids[] = {Gatt::ModelNumberCharacteristic, Gatt::SerialNumberCharacteristic,
                                 Gatt::FirmwareRevisionCharacteristic,
                                 Gatt::HardwareRevisionCharacteristic,
                                 Gatt::ManufacturerNameCharacteristic};
    std::string values[5];
    for (std::size_t i = 0; i < 5; ++i) {
        values[i] = ToString(ReadCharacteristic(link, Gatt::DeviceInformationService, uuids[i]));
    }
    CopyText(information.modelNumber, values[0]);
    CopyText(information.serialNumber, values[1]);
    CopyText(information.firmwareRevision, values[2]);
    CopyText(information.hardwareRevision, values[3]);
    CopyText(information.manufacturerName, values[4]);
}

SimpleBLE::Service SimpleBLEDevice::FindService(std::vector<SimpleBLE::Service> services,
                                                const char* uuid) {
    return Tavo::BLE::FindService(std::move(services), uuid);
}

SimpleBLE::Characteristic SimpleBLEDevice::FindCharacteristic(SimpleBLE::Service service,
                                                              const char* uuid) {
    return Tavo::BLE::FindCharacteristic(std::move(service), uuid);
}

SimpleBLE::ByteArray SimpleBLEDevice::ReadCharacteristic(Link& link, const char* serviceUuid,
                                                         const char* characteristicUuid) {
    if (Closing()) {
        throw ApiException("Could not connect to device.", ErrorCode::Session);
    }
    SimpleBLE::Service service = FindService(link.peripheral.services(), serviceUuid);
    SimpleBLE::Characteristic characteristic = FindCharacteristic(service, characteristicUuid);
    return link.peripheral.read(service.uuid(), characteristic.uuid());
}

}  // namespace Tavo::BLE
