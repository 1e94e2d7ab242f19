// SimpleBLE's classes on BlueZ: handles, GATT lookups and the operations that
// turn into D-Bus calls of org.bluez.

#include <simpleble/SimpleBLE.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>

#include "Central.h"

namespace SimpleBLE {

using detail::CallError;
using detail::Central;
using detail::flag;
using detail::get;
using detail::Interfaces;
using detail::Objects;

namespace {

// org.bluez.Battery1 stands in for the Battery Service that BlueZ claims.
const char* const kBatteryService = "0000180f-0000-1000-8000-00805f9b34fb";
// How long a connect waits for BlueZ to publish the battery after resolving.
constexpr auto kBatteryGrace = std::chrono::milliseconds(1000);
const char* const kBatteryLevel = "00002a19-0000-1000-8000-00805f9b34fb";

Central& central() {
    return Central::instance();
}

std::string failure(const char* method, const std::string& path, const CallError& e) {
    return std::string(method) + " on " + path + " failed: " + e.text();
}

bool hasAny(const std::vector<std::string>& flags, std::initializer_list<const char*> wanted) {
    for (const auto& f : flags) {
        for (const char* w : wanted) {
            if (f == w) {
                return true;
            }
        }
    }
    return false;
}

bool readable(const std::vector<std::string>& flags) {
    return hasAny(flags, {"read", "encrypt-read", "encrypt-authenticated-read", "secure-read"});
}

bool notifiable(const std::vector<std::string>& flags) {
    return hasAny(flags, {"notify", "indicate"});
}

bool isSubPath(const std::string& path, const std::string& parent) {
    return path.size() > parent.size() + 1 && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == '/';
}

// The GATT tree of one device as BlueZ exports it, in handle order, with the
// battery of org.bluez.Battery1 added as service 180F when no GATT one is there.
std::vector<std::shared_ptr<const ServiceData>> gattTree(const std::string& device) {
    std::vector<std::shared_ptr<const ServiceData>> result;
    central().visit([&](const Objects& objects) {
        std::map<std::string, std::shared_ptr<ServiceData>> byPath;
        const std::string prefix = device + "/";
        for (auto it = objects.lower_bound(prefix);
             it != objects.end() && isSubPath(it->first, device); ++it) {
            const Interfaces& object = it->second;
            if (const std::string* uuid =
                    get<std::string>(object, detail::kServiceInterface, "UUID")) {
                auto service = std::make_shared<ServiceData>();
                service->uuid = *uuid;
                byPath[it->first] = service;
                result.push_back(service);
            } else if (const std::string* cuuid =
                           get<std::string>(object, detail::kCharacteristicInterface, "UUID")) {
                const std::string* owner =
                    get<std::string>(object, detail::kCharacteristicInterface, "Service");
                auto service = byPath.find(owner != nullptr ? *owner : std::string());
                if (service == byPath.end()) {
                    continue;
                }
                auto ch = std::make_shared<CharacteristicData>();
                ch->uuid = *cuuid;
                ch->path = it->first;
                if (const auto* flags = get<std::vector<std::string>>(
                        object, detail::kCharacteristicInterface, "Flags")) {
                    ch->flags = *flags;
                }
                service->second->characteristics.push_back(std::move(ch));
            }
        }
        auto dev = objects.find(device);
        bool gattBattery = std::any_of(result.begin(), result.end(),
                                       [](const auto& s) { return s->uuid == kBatteryService; });
        if (!gattBattery && dev != objects.end() &&
            dev->second.count(detail::kBatteryInterface) != 0) {
            auto service = std::make_shared<ServiceData>();
            service->uuid = kBatteryService;
            auto ch = std::make_shared<CharacteristicData>();
            ch->uuid = kBatteryLevel;
            ch->path = device;
            ch->flags = {"read", "notify"};
            ch->battery = true;
            service->characteristics.push_back(std::move(ch));
            result.push_back(std::move(service));
        }
    });
    return result;
}

CharacteristicData resolve(const std::string& device, const BluetoothUUID& service,
                           const BluetoothUUID& characteristic) {
    for (const auto& s : gattTree(device)) {
        if (s->uuid != service) {
            continue;
        }
        for (const auto& c : s->characteristics) {
            if (c->uuid == characteristic) {
                return *c;
            }
        }
        throw Exception::CharacteristicNotFound(characteristic);
    }
    throw Exception::ServiceNotFound(service);
}

}  // namespace

// ---- Characteristic and Service ----

Characteristic::Characteristic(std::shared_ptr<const CharacteristicData> data)
    : data_(std::move(data)) {}

BluetoothUUID Characteristic::uuid() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return data_->uuid;
}

std::vector<std::string> Characteristic::capabilities() {
    std::vector<std::string> result;
    if (can_read()) {
        result.emplace_back("read");
    }
    if (can_write_request()) {
        result.emplace_back("write_request");
    }
    if (can_write_command()) {
        result.emplace_back("write_command");
    }
    if (can_notify()) {
        result.emplace_back("notify");
    }
    if (can_indicate()) {
        result.emplace_back("indicate");
    }
    return result;
}

bool Characteristic::can_read() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return readable(data_->flags);
}

bool Characteristic::can_write_request() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return hasAny(data_->flags, {"write", "encrypt-write", "encrypt-authenticated-write",
                                 "secure-write", "reliable-write"});
}

bool Characteristic::can_write_command() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return hasAny(data_->flags, {"write-without-response", "authenticated-signed-writes"});
}

bool Characteristic::can_notify() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return hasAny(data_->flags, {"notify"});
}

bool Characteristic::can_indicate() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return hasAny(data_->flags, {"indicate"});
}

Service::Service(std::shared_ptr<const ServiceData> data) : data_(std::move(data)) {}

BluetoothUUID Service::uuid() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    return data_->uuid;
}

std::vector<Characteristic> Service::characteristics() {
    if (!data_) {
        throw Exception::NotInitialized();
    }
    std::vector<Characteristic> result;
    for (const auto& c : data_->characteristics) {
        result.emplace_back(c);
    }
    return result;
}

// ---- Adapter ----

Adapter::Adapter(std::shared_ptr<AdapterBase> internal) : internal_(std::move(internal)) {}

AdapterBase& Adapter::base() {
    if (!internal_) {
        throw Exception::NotInitialized();
    }
    return *internal_;
}

bool Adapter::bluetooth_enabled() {
    Central& c = central();
    if (!c.available()) {
        return false;
    }
    bool powered = false;
    c.visit([&](const Objects& objects) {
        for (const auto& [path, object] : objects) {
            if (flag(object, detail::kAdapterInterface, "Powered")) {
                powered = true;
            }
        }
    });
    return powered;
}

std::vector<Adapter> Adapter::get_adapters() {
    Central& c = central();
    std::vector<Adapter> result;
    if (!c.available()) {
        return result;
    }
    std::vector<std::string> paths;
    c.visit([&](const Objects& objects) {
        for (const auto& [path, object] : objects) {
            if (object.count(detail::kAdapterInterface) != 0) {
                paths.push_back(path);
            }
        }
    });
    for (const auto& path : paths) {
        result.emplace_back(c.adapter(path));
    }
    return result;
}

std::string Adapter::identifier() {
    return base().identifier();
}
BluetoothAddress Adapter::address() {
    return base().address();
}
void Adapter::scan_start() {
    base().scanStart();
}
void Adapter::scan_stop() {
    base().scanStop();
}
bool Adapter::scan_is_active() {
    return base().scanActive();
}

namespace {
template <typename F>
std::shared_ptr<const F> share(F fn) {
    return fn ? std::make_shared<const F>(std::move(fn)) : nullptr;
}
}  // namespace

void Adapter::set_callback_on_scan_start(std::function<void()> on_scan_start) {
    auto& b = base();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.onStart = share(std::move(on_scan_start));
}

void Adapter::set_callback_on_scan_stop(std::function<void()> on_scan_stop) {
    auto& b = base();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.onStop = share(std::move(on_scan_stop));
}

void Adapter::set_callback_on_scan_found(std::function<void(Peripheral)> on_scan_found) {
    auto& b = base();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.onFound = share(std::move(on_scan_found));
}

void Adapter::set_callback_on_scan_updated(std::function<void(Peripheral)> on_scan_updated) {
    auto& b = base();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.onUpdated = share(std::move(on_scan_updated));
}

std::string AdapterBase::identifier() {
    return path.substr(path.rfind('/') + 1);
}

BluetoothAddress AdapterBase::address() {
    Interfaces object = central().object(path);
    const std::string* address = get<std::string>(object, detail::kAdapterInterface, "Address");
    return address != nullptr ? *address : std::string();
}

void AdapterBase::scanStart() {
    Central& c = central();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (scanning) {
            return;
        }
    }
    if (!c.available()) {
        throw Exception::OperationFailed("the Bluetooth service is not running");
    }
    Interfaces object = c.object(path);
    if (object.count(detail::kAdapterInterface) == 0) {
        throw Exception::OperationFailed("adapter " + path + " is gone");
    }
    if (!flag(object, detail::kAdapterInterface, "Powered")) {
        return;  // as SimpleBLE: Bluetooth is off, so nothing starts
    }
    try {
        c.call(
            path, detail::kAdapterInterface, "SetDiscoveryFilter",
            [](sdbus::Message& msg) {
                // {"Transport": <"le">, "DuplicateData": <true>}, written by
                // hand: sdbus::Variant needs a static that dies at exit.
                msg.openContainer("{sv}");
                msg.openDictEntry("sv");
                msg << "Transport";
                msg.openVariant("s");
                msg << "le";
                msg.closeVariant();
                msg.closeDictEntry();
                msg.openDictEntry("sv");
                msg << "DuplicateData";
                msg.openVariant("b");
                msg << true;
                msg.closeVariant();
                msg.closeDictEntry();
                msg.closeContainer();
            },
            nullptr, detail::kCallTimeout);
    } catch (const CallError&) {
        // Without the filter BlueZ still discovers, merely more than LE.
    }
    // Scanning from before the call on, so that no early report is lost.
    {
        std::lock_guard<std::mutex> lock(mutex);
        scanning = true;
        sawDiscovering = false;
        seen.clear();
    }
    try {
        c.call(path, detail::kAdapterInterface, "StartDiscovery", nullptr, nullptr,
               detail::kCallTimeout);
    } catch (const CallError& e) {
        // InProgress: our own discovery session is already running.
        if (e.name != "org.bluez.Error.InProgress") {
            std::lock_guard<std::mutex> lock(mutex);
            scanning = false;
            throw Exception::OperationFailed(failure("StartDiscovery", path, e));
        }
    }
    c.announceScan(c.adapter(path), true);
}

void AdapterBase::scanStop() {
    Central& c = central();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!scanning) {
            return;
        }
        scanning = false;
    }
    try {
        c.call(path, detail::kAdapterInterface, "StopDiscovery", nullptr, nullptr,
               detail::kCallTimeout);
    } catch (const CallError& e) {
        // Failed: BlueZ had already ended our discovery; the adapter or the
        // service went away: nothing is scanning either.
        if (e.name != "org.bluez.Error.Failed" && e.name != "org.bluez.Error.NotReady" &&
            e.name != "org.freedesktop.DBus.Error.UnknownObject" &&
            e.name != "org.freedesktop.DBus.Error.UnknownMethod" &&
            e.name != "org.freedesktop.DBus.Error.ServiceUnknown" &&
            e.name != "org.freedesktop.DBus.Error.Disconnected") {
            throw Exception::OperationFailed(failure("StopDiscovery", path, e));
        }
    }
    c.announceScan(c.adapter(path), false);
}

bool AdapterBase::scanActive() {
    std::lock_guard<std::mutex> lock(mutex);
    return scanning;
}

// ---- Peripheral ----

Peripheral::Peripheral(std::shared_ptr<PeripheralBase> internal) : internal_(std::move(internal)) {}

PeripheralBase& Peripheral::base() {
    if (!internal_) {
        throw Exception::NotInitialized();
    }
    return *internal_;
}

std::string Peripheral::identifier() {
    auto& b = base();
    b.refresh();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.name;
}

BluetoothAddress Peripheral::address() {
    auto& b = base();
    b.refresh();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.address;
}

int16_t Peripheral::rssi() {
    auto& b = base();
    b.refresh();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.rssi;
}

bool Peripheral::is_connectable() {
    return !identifier().empty();
}
bool Peripheral::is_connected() {
    return base().connected();
}
void Peripheral::connect() {
    base().connect();
}
void Peripheral::disconnect() {
    base().disconnect();
}
std::vector<Service> Peripheral::services() {
    return base().services();
}

ByteArray Peripheral::read(BluetoothUUID const& service, BluetoothUUID const& characteristic) {
    return base().read(service, characteristic);
}

void Peripheral::notify(BluetoothUUID const& service, BluetoothUUID const& characteristic,
                        std::function<void(ByteArray payload)> callback) {
    base().notify(service, characteristic, std::move(callback));
}

void Peripheral::unsubscribe(BluetoothUUID const& service, BluetoothUUID const& characteristic) {
    base().unsubscribe(service, characteristic);
}

void Peripheral::set_callback_on_connected(std::function<void()> on_connected) {
    auto& b = base();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.onConnected = share(std::move(on_connected));
}

void Peripheral::set_callback_on_disconnected(std::function<void()> on_disconnected) {
    auto& b = base();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.onDisconnected = share(std::move(on_disconnected));
}

void PeripheralBase::refresh() {
    central().visit([this](const Objects& objects) {
        auto it = objects.find(path);
        if (it == objects.end() || it->second.count(detail::kDeviceInterface) == 0) {
            return;  // gone from BlueZ: keep what was last seen
        }
        const auto* n = get<std::string>(it->second, detail::kDeviceInterface, "Name");
        const auto* a = get<std::string>(it->second, detail::kDeviceInterface, "Address");
        const auto* r = get<int16_t>(it->second, detail::kDeviceInterface, "RSSI");
        std::lock_guard<std::mutex> lock(mutex);
        name = n != nullptr ? *n : std::string();
        if (a != nullptr) {
            address = *a;
        }
        if (r != nullptr) {
            rssi = *r;
        }
    });
}

bool PeripheralBase::connected() {
    bool result = false;
    central().visit([this, &result](const Objects& objects) {
        auto it = objects.find(path);
        result = it != objects.end() && flag(it->second, detail::kDeviceInterface, "Connected");
    });
    return result;
}

void PeripheralBase::connect() {
    Central& c = central();
    const auto deadline = std::chrono::steady_clock::now() + detail::kConnectTimeout;
    auto resolved = [this](const Objects& objects) {
        auto it = objects.find(path);
        return it != objects.end() && flag(it->second, detail::kDeviceInterface, "Connected") &&
               flag(it->second, detail::kDeviceInterface, "ServicesResolved");
    };
    // BlueZ's battery plugin claims an announced Battery Service and publishes
    // org.bluez.Battery1 a little after ServicesResolved; until then the
    // battery would be missing from services(). Give it a moment.
    auto batteryReady = [this](const Objects& objects) {
        auto it = objects.find(path);
        if (it == objects.end() || it->second.count(detail::kBatteryInterface) != 0) {
            return true;
        }
        const auto* uuids =
            get<std::vector<std::string>>(it->second, detail::kDeviceInterface, "UUIDs");
        if (uuids == nullptr ||
            std::find(uuids->begin(), uuids->end(), kBatteryService) == uuids->end()) {
            return true;
        }
        for (auto o = objects.lower_bound(path + "/");
             o != objects.end() && isSubPath(o->first, path); ++o) {
            const std::string* uuid =
                get<std::string>(o->second, detail::kServiceInterface, "UUID");
            if (uuid != nullptr && *uuid == kBatteryService) {
                return true;  // a GATT Battery Service, used as it is
            }
        }
        return false;
    };
    // Not worth failing the connect for: at most kBatteryGrace.
    auto connected = [&] {
        c.waitUntil(batteryReady, std::chrono::steady_clock::now() + kBatteryGrace);
    };
    if (c.waitUntil(resolved, std::chrono::steady_clock::now())) {
        connected();
        return;
    }
    if (c.object(path).count(detail::kDeviceInterface) == 0) {
        throw Exception::OperationFailed("device " + path + " is no longer known to BlueZ");
    }
    std::string last;
    // Real radios fail a connection attempt now and then (for example
    // le-connection-abort-by-local): retry those while time is left.
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        try {
            c.call(path, detail::kDeviceInterface, "Connect", nullptr, nullptr, left);
            last.clear();
            break;
        } catch (const CallError& e) {
            if (e.name == "org.bluez.Error.AlreadyConnected" ||
                e.name == "org.bluez.Error.InProgress") {
                last.clear();
                break;
            }
            last = e.text();
            if (e.name != "org.bluez.Error.Failed") {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    if (last.empty() && c.waitUntil(resolved, deadline)) {
        connected();
        return;
    }
    // Cancel BlueZ's own attempt, which would otherwise go on.
    try {
        c.call(path, detail::kDeviceInterface, "Disconnect", nullptr, nullptr,
               std::chrono::milliseconds(1000));
    } catch (const CallError&) {
    }
    throw Exception::OperationFailed(
        "Connect on " + path +
        " failed: " + (last.empty() ? "not connected with services resolved within 10 s" : last));
}

void PeripheralBase::disconnect() {
    Central& c = central();
    if (!connected()) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + detail::kDisconnectTimeout;
    try {
        c.call(path, detail::kDeviceInterface, "Disconnect", nullptr, nullptr,
               detail::kDisconnectTimeout);
        // BlueZ may answer just before it announces Connected false.
        c.waitUntil(
            [this](const Objects& objects) {
                auto it = objects.find(path);
                return it == objects.end() ||
                       !flag(it->second, detail::kDeviceInterface, "Connected");
            },
            deadline);
    } catch (const CallError& e) {
        // A peer that vanished is dropped by BlueZ on its own; no answer in
        // time or an object already gone means there is nothing to wait for.
        if (!connected() || e.name == "org.freedesktop.DBus.Error.NoReply" ||
            e.name == "org.freedesktop.DBus.Error.UnknownObject" ||
            e.name == "org.bluez.Error.NotConnected") {
            return;
        }
        throw Exception::OperationFailed(failure("Disconnect", path, e));
    }
}

std::vector<Service> PeripheralBase::services() {
    std::vector<Service> result;
    for (auto& s : gattTree(path)) {
        result.emplace_back(s);
    }
    return result;
}

ByteArray PeripheralBase::read(const BluetoothUUID& service, const BluetoothUUID& characteristic) {
    if (!connected()) {
        throw Exception::NotConnected();
    }
    CharacteristicData ch = resolve(path, service, characteristic);
    Central& c = central();
    if (ch.battery) {
        const Interfaces device = c.object(path);
        const uint8_t* level = get<uint8_t>(device, detail::kBatteryInterface, "Percentage");
        if (level == nullptr) {
            throw Exception::OperationFailed("the battery level of " + path + " is unknown");
        }
        return ByteArray{*level};
    }
    if (!readable(ch.flags)) {
        throw Exception::OperationNotSupported();
    }
    auto value = std::make_shared<std::vector<uint8_t>>();
    try {
        c.call(
            ch.path, detail::kCharacteristicInterface, "ReadValue",
            [](sdbus::Message& msg) {
                // No options: an empty a{sv}.
                msg.openContainer("{sv}");
                msg.closeContainer();
            },
            [value](sdbus::MethodReply& reply) { reply >> *value; }, detail::kCallTimeout);
    } catch (const CallError& e) {
        if (!connected()) {
            throw Exception::NotConnected();
        }
        throw Exception::OperationFailed(failure("ReadValue", ch.path, e));
    }
    return ByteArray(std::move(*value));
}

void PeripheralBase::notify(const BluetoothUUID& service, const BluetoothUUID& characteristic,
                            std::function<void(ByteArray)> callback) {
    if (!connected()) {
        throw Exception::NotConnected();
    }
    CharacteristicData ch = resolve(path, service, characteristic);
    if (!notifiable(ch.flags)) {
        throw Exception::OperationNotSupported();
    }
    Central& c = central();
    {
        std::lock_guard<std::mutex> lock(mutex);
        subscriptions[{service, characteristic}] = {ch.path, ch.battery};
    }
    // Registered before StartNotify, so that the first values are not missed.
    c.subscribe(ch.path, ch.battery, std::make_shared<detail::Subscription>(std::move(callback)));
    if (ch.battery) {
        return;  // Battery1 sends PropertiesChanged without being asked
    }
    try {
        c.call(ch.path, detail::kCharacteristicInterface, "StartNotify", nullptr, nullptr,
               detail::kCallTimeout);
    } catch (const CallError& e) {
        if (e.name == "org.bluez.Error.InProgress") {
            return;  // our notify session is already being set up
        }
        c.unsubscribe(ch.path, false);
        {
            std::lock_guard<std::mutex> lock(mutex);
            subscriptions.erase({service, characteristic});
        }
        if (!connected()) {
            throw Exception::NotConnected();
        }
        throw Exception::OperationFailed(failure("StartNotify", ch.path, e));
    }
}

void PeripheralBase::unsubscribe(const BluetoothUUID& service,
                                 const BluetoothUUID& characteristic) {
    Central& c = central();
    // The callback is dropped first, whatever happens on the bus after.
    std::pair<std::string, bool> subscribed;
    bool had = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = subscriptions.find({service, characteristic});
        if (it != subscriptions.end()) {
            subscribed = it->second;
            had = true;
            subscriptions.erase(it);
        }
    }
    if (had) {
        c.unsubscribe(subscribed.first, subscribed.second);
    }
    if (!connected()) {
        throw Exception::NotConnected();
    }
    CharacteristicData ch = resolve(path, service, characteristic);
    if (!notifiable(ch.flags)) {
        throw Exception::OperationNotSupported();
    }
    // A subscription made through a handle that no longer exists is found by
    // the characteristic itself.
    if (c.unsubscribe(ch.path, ch.battery)) {
        had = true;
    }
    if (!had || ch.battery) {
        return;
    }
    try {
        c.call(ch.path, detail::kCharacteristicInterface, "StopNotify", nullptr, nullptr,
               detail::kCallTimeout);
    } catch (const CallError& e) {
        if (!connected()) {
            throw Exception::NotConnected();
        }
        throw Exception::OperationFailed(failure("StopNotify", ch.path, e));
    }
}

}  // namespace SimpleBLE
