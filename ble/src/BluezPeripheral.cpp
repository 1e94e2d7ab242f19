// A device's connection, GATT reads and notification subscriptions as calls
// of org.bluez.

#include "BluezPeripheral.h"

#include "AcquiredNotify.h"

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>

#include "Central.h"
#include "GattTree.h"

namespace SimpleBLE {

using detail::CallError;
using detail::Central;
using detail::flag;
using detail::gattTree;
using detail::get;
using detail::Interfaces;
using detail::isSubPath;
using detail::kBatteryLevel;
using detail::kBatteryService;
using detail::notifiable;
using detail::Objects;
using detail::readable;
using detail::resolve;

namespace {

Central& central() {
    return Central::instance();
}

std::string failure(const char* method, const std::string& path, const CallError& e) {
    return std::string(method) + " on " + path + " failed: " + e.text();
}

// How long a connect waits for BlueZ to publish the battery after resolving.
constexpr auto kBatteryGrace = std::chrono::milliseconds(1000);

}  // namespace

void BluezPeripheral::refresh() {
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

bool BluezPeripheral::connected() {
    bool result = false;
    central().visit([this, &result](const Objects& objects) {
        auto it = objects.find(path);
        result = it != objects.end() && flag(it->second, detail::kDeviceInterface, "Connected");
    });
    return result;
}

void BluezPeripheral::connect() {
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
    // le-connection-abort-by-local), and a link may drop again before its
    // services are resolved: both end that attempt at once, and the next is
    // made while time is left.
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        // BlueZ answers Connect once the link is up; after InProgress or
        // AlreadyConnected the link is up once Connected says so.
        bool up = false;
        try {
            c.call(path, detail::kDeviceInterface, "Connect", nullptr, nullptr, left);
            up = true;
        } catch (const CallError& e) {
            if (e.name != "org.bluez.Error.AlreadyConnected" &&
                e.name != "org.bluez.Error.InProgress") {
                last = e.text();
                if (e.name != "org.bluez.Error.Failed") {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                continue;
            }
        }
        bool dropped = false;
        auto settled = [&](const Objects& objects) {
            auto it = objects.find(path);
            if (it != objects.end() && flag(it->second, detail::kDeviceInterface, "Connected")) {
                up = true;
                return flag(it->second, detail::kDeviceInterface, "ServicesResolved");
            }
            dropped = up;
            return dropped;
        };
        if (!c.waitUntil(settled, deadline)) {
            last.clear();
            break;
        }
        if (!dropped) {
            connected();
            return;
        }
        last = "the link dropped before its services were resolved";
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

void BluezPeripheral::disconnect() {
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

std::vector<Service> BluezPeripheral::services() {
    std::vector<Service> result;
    for (auto& s : gattTree(path)) {
        result.emplace_back(s);
    }
    return result;
}

ByteArray BluezPeripheral::read(const BluetoothUUID& service, const BluetoothUUID& characteristic) {
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

void BluezPeripheral::notify(const BluetoothUUID& service, const BluetoothUUID& characteristic,
                             std::function<void(ByteArray)> callback) {
    if (!connected()) {
        throw Exception::NotConnected();
    }
    CharacteristicData ch = resolve(path, service, characteristic);
    if (!notifiable(ch.flags)) {
        throw Exception::OperationNotSupported();
    }
    Central& c = central();
    // The notifications past the bus daemon when BlueZ offers them; StartNotify
    // when it does not (an older BlueZ) or refuses (StartNotify in use there).
    int socket = -1;
    if (!ch.battery && ch.acquirable) {
        c.unsubscribe(ch.path, false);  // our own socket, if any, is given back first
        try {
            socket = detail::acquireNotify(c, ch.path);
        } catch (const CallError& e) {
            if (!connected()) {
                throw Exception::NotConnected();
            }
            throw Exception::OperationFailed(failure("AcquireNotify", ch.path, e));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        subscriptions[{service, characteristic}] = {ch.path, ch.battery};
    }
    // Registered before StartNotify, so that the first values are not missed.
    if (!c.subscribe(ch.path, ch.battery,
                     std::make_shared<detail::Subscription>(std::move(callback)), socket)) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            subscriptions.erase({service, characteristic});
        }
        throw Exception::OperationFailed(
            "no D-Bus connection could be made for the notifications of " + ch.path);
    }
    if (ch.battery || socket >= 0) {
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

void BluezPeripheral::unsubscribe(const BluetoothUUID& service,
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
    bool acquired = false;
    if (had) {
        c.unsubscribe(subscribed.first, subscribed.second, &acquired);
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
    bool acquiredToo = false;
    if (c.unsubscribe(ch.path, ch.battery, &acquiredToo)) {
        had = true;
        acquired = acquired || acquiredToo;
    }
    if (!had || ch.battery || acquired) {
        return;  // an acquired socket is given back by closing it
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
