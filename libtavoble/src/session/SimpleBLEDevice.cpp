#include "SimpleBLEDevice.h"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ApiException.h"
#include "DeviceRegistry.h"
#include "GattProfile.h"
#include "SimpleBLEAdapter.h"

namespace Tavo::BLE {
namespace {

constexpr auto kSearchPass = std::chrono::milliseconds(100);
constexpr double kSearchLimitMs = 10000.0;
// One reconnect attempt searches this long; the scan runs throughout, so an
// amplifier that comes back is seen within a pass or two.
constexpr double kReconnectSearchLimitMs = 5000.0;
// Without a disconnection notice (a stack that misses one), the link is
// looked at this often.
constexpr auto kLinkCheck = std::chrono::milliseconds(500);
// Pauses between failed attempts: 0.5 s, doubling, capped at 5 s.
// How often a connect in progress looks whether the device is being closed.
constexpr auto kClosingCheck = std::chrono::milliseconds(50);
constexpr auto kFirstBackOff = std::chrono::milliseconds(500);
constexpr auto kMaxBackOff = std::chrono::milliseconds(5000);

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
    : serialNumber_(std::move(serialNumber)), stream_(std::make_shared<Stream>()) {
    Connect(serialNumber_);
    keeper_ = std::thread([this] { KeepLink(); });
}

SimpleBLEDevice::~SimpleBLEDevice() {
    Close();
}

TAVOBLE_DEVICE_INFORMATION SimpleBLEDevice::GetDeviceInformation() {
    ThrowIfUnusable();
    return deviceInformation_;
}

void SimpleBLEDevice::ThrowIfUnusable() const {
    if (configurationChanged_) {
        throw ApiException("The amplifier's configuration changed; close and open it again.",
                           ErrorCode::Session);
    }
}

template <typename Handler>
std::function<void(SimpleBLE::ByteArray)> SimpleBLEDevice::Bind(
    const std::shared_ptr<Stream>& stream, Handler handler) {
    return [weak = std::weak_ptr<Stream>(stream), handler](SimpleBLE::ByteArray value) {
        if (std::shared_ptr<Stream> held = weak.lock()) {
            handler(*held, value);
        }
    };
}

namespace {

#ifdef SIMPLEBLE_NOTIFY_THREAD_PER_SUBSCRIPTION
// Each device's notifications arrive on threads of its own: its scans are
// delivered there, with no hand-off to another thread.
constexpr ScanDelivery::Mode kDeliveryMode = ScanDelivery::Mode::NotificationThread;
#else
// One thread for every device's notifications: each device delivers on its own.
constexpr ScanDelivery::Mode kDeliveryMode = ScanDelivery::Mode::OwnThread;
#endif

// A link the Bluetooth service keeps up (its client was killed, say) leaves
// the amplifier connected and silent: it never advertises again until the
// link ends, so the search takes such peers from the service as well.
void AddConnectedPeripherals(SimpleBLEAdapter& adapter, std::vector<SimpleBLE::Peripheral>& seen) {
    std::vector<SimpleBLE::Peripheral> connected;
    try {
        connected = adapter.GetConnectedPeripherals();
    } catch (...) {
        return;  // the advertisers alone, as a stack without the list offers
    }
    for (SimpleBLE::Peripheral& peripheral : connected) {
        const std::string address = peripheral.address();
        bool listed = false;
        for (SimpleBLE::Peripheral& known : seen) {
            listed = listed || known.address() == address;
        }
        if (!listed) {
            seen.push_back(peripheral);
        }
    }
}

}  // namespace

std::vector<SimpleBLE::Peripheral> SimpleBLEDevice::FindPeripheral(const std::string& serialNumber,
                                                                   double limitMs,
                                                                   bool endsApplicationScan) {
    SimpleBLEAdapter* adapter = SimpleBLEAdapter::GetInstance();
    const auto start = std::chrono::steady_clock::now();
    std::vector<SimpleBLE::Peripheral> seen;
    double elapsedMs = 0.0;
    bool found = false;
    std::vector<SimpleBLE::Peripheral> matches;
    // An open ends any scan when its search is over, the application's too;
    // the link keeper's search leaves the application's scan alone.
    SimpleBLEAdapter::Search search(*adapter, endsApplicationScan);
    do {
        // Scanning before the list is read: a list left from an earlier
        // scan may name device objects the stack has dropped since.
        search.KeepScanning();
        seen = adapter->GetPeripherals();
        AddConnectedPeripherals(*adapter, seen);
        std::this_thread::sleep_for(kSearchPass);
        elapsedMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        // Every peer under that name: another device may advertise it too
        // and refuse connections, which must not hide the amplifier.
        for (SimpleBLE::Peripheral& peripheral : seen) {
            if (peripheral.identifier() == serialNumber) {
                matches.push_back(peripheral);
                found = true;
            }
        }
    } while (!found && elapsedMs < limitMs && !Closing());

    if (seen.empty() || !found || elapsedMs >= limitMs) {
        throw ApiException("Could not find device with the specified serial number.",
                           ErrorCode::Session);
    }
    std::vector<SimpleBLE::Peripheral> connectable;
    for (SimpleBLE::Peripheral& peripheral : matches) {
        if (peripheral.is_connectable()) {
            connectable.push_back(peripheral);
        }
    }
    if (connectable.empty()) {
        throw ApiException("'" + serialNumber + "' is not connectable.", ErrorCode::Session);
    }
    return connectable;
}

void SimpleBLEDevice::Connect(const std::string& serialNumber) {
    try {
        ConnectLink(serialNumber, link_, stream_, deviceInformation_, kSearchLimitMs);
        stream_->assembler = std::make_unique<ScanAssembler>(stream_->configuration);
        const uint16_t width = stream_->assembler->ValuesPerScan();
        stream_->delivery = std::make_shared<ScanDelivery>(
            width, ScanQueue::CapacityFor(deviceInformation_.samplingRate, width),
            stream_->assembler->CounterColumn(), kDeliveryMode);
        linkUp_ = true;
    } catch (...) {
        Close();
        throw;
    }
}

void SimpleBLEDevice::ConnectLink(const std::string& serialNumber, Link& link,
                                  const std::shared_ptr<Stream>& stream,
                                  TAVOBLE_DEVICE_INFORMATION& information, double searchLimitMs) {
    // Only an open's search (the longer one) ends the application's scan.
    const std::vector<SimpleBLE::Peripheral> candidates =
        FindPeripheral(serialNumber, searchLimitMs, searchLimitMs >= kSearchLimitMs);
    // A refused or timed-out link (also one whose services never resolved) is
    // a failure to connect, whatever the Bluetooth stack called it; the next
    // peer of that name is tried, and a refused one is left disconnected.
    bool linked = false;
    for (const SimpleBLE::Peripheral& candidate : candidates) {
        link.peripheral = candidate;
        {
            std::lock_guard<std::mutex> lock(attemptMutex_);
            attempt_ = link.peripheral;
        }
        if (Closing()) {
            break;
        }
        if (ConnectPeripheral(link.peripheral) && link.peripheral.is_connected()) {
            linked = true;
            break;
        }
        try {
            link.peripheral.disconnect();
        } catch (...) {
        }
    }
    try {
        if (!linked) {
            throw ApiException("Could not connect to device.", ErrorCode::Session);
        }
        link.services = link.peripheral.services();
        link.amplifierService = FindService(link.services, Gatt::AmplifierService);
        link.dataCharacteristic =
            FindCharacteristic(link.amplifierService, Gatt::DataCharacteristic);
        link.batteryService = FindService(link.services, Gatt::BatteryService);
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

bool SimpleBLEDevice::ConnectPeripheral(const SimpleBLE::Peripheral& peripheral) {
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
        if (!outcome->finished && Closing()) {
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

bool SimpleBLEDevice::Closing() {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    return watch_->closing;
}

bool SimpleBLEDevice::WaitClosing(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(watch_->mutex);
    return watch_->changed.wait_for(lock, duration, [this] { return watch_->closing; });
}

void SimpleBLEDevice::KeepLink() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(watch_->mutex);
            watch_->changed.wait_for(lock, kLinkCheck,
                                     [this] { return watch_->closing || watch_->lost; });
            if (watch_->closing) {
                return;
            }
            watch_->lost = false;
        }
        bool up = false;
        try {
            up = link_.peripheral.is_connected();
        } catch (...) {
        }
        if (up) {
            continue;
        }
        {
            // The subscriptions went with the link.
            std::lock_guard<std::mutex> lock(subscriptionMutex_);
            linkUp_ = false;
            dataSubscribed_ = false;
            batterySubscribed_ = false;
        }
        auto backOff = kFirstBackOff;
        while (!Reconnect()) {
            if (configurationChanged_ || WaitClosing(backOff)) {
                return;
            }
            backOff = std::min(backOff * 2, kMaxBackOff);
        }
    }
}

bool SimpleBLEDevice::Reconnect() {
    if (Closing()) {
        return false;
    }
    Link link;
    auto fresh = std::make_shared<Stream>();
    TAVOBLE_DEVICE_INFORMATION information{};
    try {
        ConnectLink(serialNumber_, link, fresh, information, kReconnectSearchLimitMs);
    } catch (...) {
        return false;
    }
    // Scans of another layout, rate or amplifier must not reach a callback
    // that was set up for this one.
    const bool same =
        std::memcmp(information.serialNumber, deviceInformation_.serialNumber,
                    sizeof information.serialNumber) == 0 &&
        std::memcmp(information.channelTypes, deviceInformation_.channelTypes,
                    sizeof information.channelTypes) == 0 &&
        information.numberOfAcquiredChannels == deviceInformation_.numberOfAcquiredChannels &&
        information.samplingRate == deviceInformation_.samplingRate &&
        fresh->configuration.Frames() == stream_->configuration.Frames();
    if (!same || Closing()) {
        try {
            link.peripheral.disconnect();
        } catch (...) {
        }
        if (!same) {
            configurationChanged_ = true;
        }
        return false;
    }
    std::lock_guard<std::mutex> lock(subscriptionMutex_);
    link_ = std::move(link);
    linkUp_ = true;
    stream_->batteryLevel = fresh->batteryLevel.load();
    try {
        if (HasCallback()) {
            Subscribe();
        }
    } catch (...) {
        // The link went again while subscribing; the next round retries.
        linkUp_ = false;
        dataSubscribed_ = false;
        batterySubscribed_ = false;
        return false;
    }
    return true;
}

void SimpleBLEDevice::Subscribe() {
    // Subscribing again while subscribed would only swap the same handler.
    if (!dataSubscribed_) {
        link_.peripheral.notify(link_.amplifierService.uuid(), link_.dataCharacteristic.uuid(),
                                Bind(stream_, [](Stream& held, const SimpleBLE::ByteArray& value) {
                                    held.OnData(value);
                                }));
        dataSubscribed_ = true;
    }
    if (!batterySubscribed_) {
        link_.peripheral.notify(link_.batteryService.uuid(),
                                link_.batteryLevelCharacteristic.uuid(),
                                Bind(stream_, [](Stream& held, const SimpleBLE::ByteArray& value) {
                                    held.OnBatteryLevel(value);
                                }));
        batterySubscribed_ = true;
    }
}

bool SimpleBLEDevice::HasCallback() const {
    return stream_->delivery != nullptr && stream_->delivery->Callback() != nullptr;
}

void SimpleBLEDevice::RegisterDataAvailableCallback(DataAvailableCallback callback) {
    if (!stream_->closed) {
        ThrowIfUnusable();
    }
    ScanDelivery* const delivery = stream_->delivery.get();
    if (delivery == nullptr) {
        return;  // never connected: nothing to deliver or subscribe
    }
    if (callback != nullptr && delivery->Handle() == 0) {
        // Looked up once, while the device is certainly in the table: the
        // delivery thread never looks it up, so it cannot meet a handle that
        // was reused for another device.
        delivery->SetHandle(DeviceRegistry::Instance().GetHandle(this));
    }
    {
        // Stored and matched under one lock: whichever registration takes it
        // last decides both the callback and the subscription. Nothing here
        // waits for the callback (the notification handlers only queue), so a
        // callback may register from inside itself.
        std::lock_guard<std::mutex> lock(subscriptionMutex_);
        const DataAvailableCallback previous = delivery->Callback();
        delivery->SetCallback(callback);
        try {
            MatchSubscription();
        } catch (...) {
            // Not subscribed: the callback that was stored before stays.
            if (previous == nullptr) {
                delivery->SetCallback(nullptr);
            }
            throw;
        }
    }
    if (callback == nullptr) {
        // A callback that returns promptly has returned when this does.
        delivery->WaitForCallback();
    }
}

void SimpleBLEDevice::MatchSubscription() {
    if (!linkUp_) {
        // Outage: the stored callback is what the link keeper subscribes for.
        return;
    }
    if (HasCallback()) {
        Subscribe();
        return;
    }
    if (dataSubscribed_) {
        dataSubscribed_ = false;
        Unsubscribe(link_.amplifierService, link_.dataCharacteristic);
    }
    if (batterySubscribed_) {
        batterySubscribed_ = false;
        Unsubscribe(link_.batteryService, link_.batteryLevelCharacteristic);
    }
}

void SimpleBLEDevice::Unsubscribe(SimpleBLE::Service& service,
                                  SimpleBLE::Characteristic& characteristic) {
    // An amplifier that dropped the link has no subscription left to end.
    if (!link_.peripheral.is_connected()) {
        return;
    }
    link_.peripheral.unsubscribe(service.uuid(), characteristic.uuid());
}

void SimpleBLEDevice::Close() noexcept {
    stream_->closed = true;
    {
        std::lock_guard<std::mutex> lock(watch_->mutex);
        watch_->closing = true;
        watch_->changed.notify_all();
    }
    {
        // A connect in progress is cut short rather than waited for.
        std::lock_guard<std::mutex> lock(attemptMutex_);
        try {
            if (attempt_.initialized()) {
                attempt_.disconnect();
            }
        } catch (...) {
        }
    }
    if (keeper_.joinable()) {
        if (keeper_.get_id() == std::this_thread::get_id()) {
            keeper_.detach();
        } else {
            keeper_.join();
        }
    }
    if (stream_->delivery != nullptr) {
        // No scan is queued or delivered from here on; a callback still
        // running keeps the delivery's memory until it returns.
        stream_->delivery->Stop();
    }
    try {
        std::lock_guard<std::mutex> lock(subscriptionMutex_);
        MatchSubscription();
    } catch (...) {
    }
    try {
        if (link_.peripheral.initialized() && link_.peripheral.is_connected()) {
            link_.peripheral.disconnect();
        }
    } catch (...) {
    }
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

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
__attribute__((no_sanitize("null"))) void SimpleBLEDevice::Stream::OnData(
    const SimpleBLE::ByteArray& value) {
    try {
        if (assembler != nullptr && delivery != nullptr && !closed) {
            {
                std::lock_guard<std::mutex> lock(assemblyMutex);
                assembler->OnData(value.data(), value.size(), batteryLevel.load(), *this);
            }
            delivery->Wake();
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
    delivery->Push(scan, count);
}

}  // namespace Tavo::BLE
