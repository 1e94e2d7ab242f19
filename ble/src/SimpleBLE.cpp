// SimpleBLE's handle classes: each forwards to the BlueZ object it shares with
// its copies, or throws NotInitialized when it has none.

#include <simpleble/SimpleBLE.h>

#include "BluezAdapter.h"
#include "BluezPeripheral.h"
#include "Central.h"
#include "GattTree.h"

namespace SimpleBLE {

using detail::CallError;
using detail::Central;
using detail::flag;
using detail::get;
using detail::hasAny;
using detail::Interfaces;
using detail::notifiable;
using detail::Objects;
using detail::readable;

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

Adapter::Adapter(std::shared_ptr<BluezAdapter> internal) : internal_(std::move(internal)) {}

BluezAdapter& Adapter::base() {
    if (!internal_) {
        throw Exception::NotInitialized();
    }
    return *internal_;
}

bool Adapter::bluetooth_enabled() {
    Central& c = Central::instance();
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
    Central& c = Central::instance();
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

std::vector<Peripheral> Adapter::get_connected_peripherals() {
    const std::string adapterPath = base().path;
    Central& c = Central::instance();
    std::vector<Peripheral> result;
    if (!c.available()) {
        return result;
    }
    std::vector<std::string> paths;
    c.visit([&](const Objects& objects) {
        for (const auto& [path, object] : objects) {
            const std::string* owner =
                get<std::string>(object, detail::kDeviceInterface, "Adapter");
            if (owner != nullptr && *owner == adapterPath &&
                flag(object, detail::kDeviceInterface, "Connected")) {
                paths.push_back(path);
            }
        }
    });
    for (const auto& path : paths) {
        auto state = c.device(path);
        state->refresh();
        result.emplace_back(state);
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

// ---- Peripheral ----

Peripheral::Peripheral(std::shared_ptr<BluezPeripheral> internal)
    : internal_(std::move(internal)) {}

BluezPeripheral& Peripheral::base() {
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

}  // namespace SimpleBLE
