// The cache of BlueZ's objects, kept current from its signals. The handlers run
// inside sd-bus; they only update the cache and queue events.

#include "Central.h"

#include <sdbus-c++/sdbus-c++.h>
#include <cstring>

#include "BluezNames.h"
#include "BluezPeripheral.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

namespace {

bool isDevice(const std::string& interface) {
    return interface == kDeviceInterface;
}

// Properties whose change means the device advertised again.
bool isAdvertisement(const std::string& property) {
    static const char* const names[] = {
        "RSSI",       "ManufacturerData", "ServiceData",     "Name", "Alias", "TxPower", "UUIDs",
        "Appearance", "AdvertisingFlags", "AdvertisingData", "Class"};
    for (const char* n : names) {
        if (property == n) {
            return true;
        }
    }
    return false;
}

std::string parentPath(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

void Central::onObjectManagerSignal(sdbus::Message& msg) {
    try {
        const std::string member = msg.getMemberName();
        if (member == "InterfacesAdded") {
            sdbus::ObjectPath path;
            msg >> path;
            for (auto& [name, props] : readInterfaces(msg)) {
                changed(path, name, std::move(props), {}, true);
            }
        } else if (member == "InterfacesRemoved") {
            sdbus::ObjectPath path;
            std::vector<std::string> interfaces;
            msg >> path >> interfaces;
            removed(path, interfaces);
        }
    } catch (...) {
        // A malformed signal is ignored; nothing may unwind through sd-bus.
    }
}

void Central::onPropertiesChanged(sdbus::Message& msg) {
    try {
        std::string path = msg.getPath();
        char* interface = nullptr;
        msg >> interface;
        if (interface == nullptr) {
            return;
        }
        const bool characteristic = std::strcmp(interface, kCharacteristicInterface) == 0;
        Properties props;
        msg.enterContainer("{sv}");
        while (msg.enterDictEntry("sv")) {
            char* name = nullptr;
            msg >> name;
            if (characteristic && name != nullptr && std::strcmp(name, "Value") == 0) {
                // Notifications reach their subscription's own connection; this
                // one does not ask for them, and a stray value is not kept.
                skip(msg, "v");
            } else if (name != nullptr) {
                props[name] = readVariant(msg);
            }
            msg.exitDictEntry();
        }
        msg.clearFlags();
        msg.exitContainer();
        std::vector<std::string> invalidated;
        msg >> invalidated;
        if (props.empty() && invalidated.empty()) {
            return;  // a notification alone: nothing for the cache
        }
        changed(path, interface, std::move(props), invalidated, false);
    } catch (...) {
        // A malformed signal is ignored; nothing may unwind through sd-bus.
    }
}

void Central::onNameOwnerChanged(sdbus::Message& msg) {
    try {
        std::string name, oldOwner, newOwner;
        msg >> name >> oldOwner >> newOwner;
        if (name != kBluez) {
            return;
        }
        if (!oldOwner.empty()) {
            forgetAll();  // bluetoothd left: every object is gone
        }
        if (!newOwner.empty()) {
            loadObjects(nullptr);
        }
    } catch (...) {
    }
}

void Central::loadObjects(std::function<void(const CallError*)> done) {
    auto c = std::make_shared<Call>();
    c->path = "/";
    c->interface = "org.freedesktop.DBus.ObjectManager";
    c->method = "GetManagedObjects";
    c->timeoutUs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(kCallTimeout).count());
    c->done = std::move(done);
    c->read = [this](sdbus::MethodReply& reply) { applySnapshot(readObjects(reply)); };
    startCall(c);
}

void Central::applySnapshot(Objects snapshot) {
    std::vector<std::pair<std::string, bool>> transitions;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        for (auto& [path, object] : snapshot) {
            if (object.count(kDeviceInterface) == 0) {
                continue;
            }
            bool now = flag(object, kDeviceInterface, "Connected");
            auto old = objects_.find(path);
            bool before = old != objects_.end() && flag(old->second, kDeviceInterface, "Connected");
            if (now != before) {
                transitions.emplace_back(path, now);
            }
        }
        for (auto& [path, object] : objects_) {
            if (snapshot.count(path) == 0 && flag(object, kDeviceInterface, "Connected")) {
                transitions.emplace_back(path, false);
            }
        }
        // Values of characteristics are not kept: they arrive as notifications.
        for (auto& [path, object] : snapshot) {
            auto it = object.find(kCharacteristicInterface);
            if (it != object.end()) {
                it->second.erase("Value");
            }
        }
        objects_ = std::move(snapshot);
        loaded_ = true;
    }
    cacheChanged_.notify_all();
    for (const auto& [path, connected] : transitions) {
        queueConnection(path, connected);
    }
    std::vector<std::shared_ptr<BluezAdapter>> adapters;
    {
        std::lock_guard<std::mutex> lock(statesMutex_);
        for (auto& [path, state] : adapters_) {
            adapters.push_back(state);
        }
    }
    for (auto& state : adapters) {
        Interfaces object = this->object(state->path);
        auto it = object.find(kAdapterInterface);
        adapterChanged(state->path, it == object.end() ? Properties{} : it->second,
                       it == object.end());
    }
}

void Central::forgetAll() {
    Objects old;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        old.swap(objects_);
        loaded_ = false;
    }
    cacheChanged_.notify_all();
    for (const auto& [path, object] : old) {
        if (flag(object, kDeviceInterface, "Connected")) {
            queueConnection(path, false);
        }
        if (object.count(kAdapterInterface) != 0) {
            adapterChanged(path, {}, true);
        }
    }
}

void Central::changed(const std::string& path, const std::string& interface, Properties props,
                      const std::vector<std::string>& invalidated, bool added) {
    if (interface == kCharacteristicInterface) {
        props.erase("Value");
    }
    bool wasConnected = false, isConnected = false, isDeviceObject = false;
    bool advertised = added;
    std::string owner;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        auto object = objects_.find(path);
        if (!added && object == objects_.end()) {
            return;  // not known (yet): the snapshot will carry it
        }
        if (object == objects_.end()) {
            object = objects_.emplace(path, Interfaces{}).first;
        }
        if (!added && object->second.count(interface) == 0) {
            return;
        }
        auto& current = object->second[interface];
        if (isDevice(interface)) {
            isDeviceObject = true;
            wasConnected = flag(object->second, kDeviceInterface, "Connected");
            for (const auto& [name, value] : props) {
                if (isAdvertisement(name)) {
                    advertised = true;
                }
            }
        }
        for (auto& [name, value] : props) {
            current[name] = std::move(value);
        }
        for (const auto& name : invalidated) {
            current.erase(name);
        }
        if (isDeviceObject) {
            isConnected = flag(object->second, kDeviceInterface, "Connected");
            if (advertised) {
                const std::string* adapter =
                    get<std::string>(object->second, kDeviceInterface, "Adapter");
                owner = adapter != nullptr ? *adapter : parentPath(path);
            }
        }
    }
    cacheChanged_.notify_all();

    if (interface == kAdapterInterface) {
        Interfaces object = this->object(path);
        adapterChanged(path, object[kAdapterInterface], false);
    } else if (isDeviceObject) {
        if (wasConnected != isConnected) {
            queueConnection(path, isConnected);
        }
        if (advertised) {
            queueScan(path, owner);
        }
    } else if (interface == kBatteryInterface) {
        Interfaces object = this->object(path);
        if (const uint8_t* level = get<uint8_t>(object, kBatteryInterface, "Percentage")) {
            queueBattery(path, *level);
        }
    }
}

void Central::removed(const std::string& path, const std::vector<std::string>& interfaces) {
    bool wasConnected = false, wasAdapter = false;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        auto object = objects_.find(path);
        if (object == objects_.end()) {
            return;
        }
        for (const auto& name : interfaces) {
            if (name == kDeviceInterface) {
                wasConnected = flag(object->second, kDeviceInterface, "Connected");
            }
            if (name == kAdapterInterface) {
                wasAdapter = true;
            }
            object->second.erase(name);
        }
        if (object->second.empty()) {
            objects_.erase(object);
        }
    }
    cacheChanged_.notify_all();
    if (wasConnected) {
        queueConnection(path, false);
    }
    {
        // Forget the handle state of a dropped device once no handle uses it.
        std::lock_guard<std::mutex> lock(statesMutex_);
        auto it = devices_.find(path);
        if (it != devices_.end() && it->second.expired()) {
            devices_.erase(it);
        }
    }
    if (wasAdapter) {
        adapterChanged(path, {}, true);
    }
}

void Central::adapterChanged(const std::string& path, const Properties& props, bool gone) {
    std::shared_ptr<BluezAdapter> state;
    {
        std::lock_guard<std::mutex> lock(statesMutex_);
        auto it = adapters_.find(path);
        if (it == adapters_.end()) {
            return;
        }
        state = it->second;
    }
    auto value = [&](const char* name) {
        auto it = props.find(name);
        const bool* b = it == props.end() ? nullptr : std::get_if<bool>(&it->second);
        return b != nullptr && *b;
    };
    bool ended = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->scanning) {
            return;
        }
        if (value("Discovering")) {
            state->sawDiscovering = true;
        } else if (state->sawDiscovering) {
            ended = true;  // BlueZ ended the discovery
        }
        if (gone || !value("Powered")) {
            ended = true;
        }
        if (ended) {
            state->scanning = false;
        }
    }
    if (ended) {
        events_.emplace_back();
        events_.back().kind = Event::ScanStopped;
        events_.back().adapter = state;
    }
}

void Central::queueConnection(const std::string& path, bool connected) {
    events_.emplace_back();
    events_.back().kind = connected ? Event::Connected : Event::Disconnected;
    events_.back().path = path;
}

void Central::queueScan(const std::string& path, const std::string& owner) {
    std::shared_ptr<BluezAdapter> state;
    {
        std::lock_guard<std::mutex> lock(statesMutex_);
        auto it = adapters_.find(owner);
        if (it == adapters_.end()) {
            return;
        }
        state = it->second;
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->scanning) {
            return;
        }
    }
    events_.emplace_back();
    events_.back().kind = Event::Scan;
    events_.back().adapter = std::move(state);
    events_.back().path = path;
}

void Central::queueBattery(const std::string& path, uint8_t level) {
    std::shared_ptr<Subscription> sub;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        auto it = batterySubs_.find(path);
        if (it == batterySubs_.end()) {
            return;
        }
        sub = it->second;
    }
    events_.emplace_back();
    events_.back().kind = Event::Notification;
    events_.back().sub = std::move(sub);
    events_.back().bytes = ByteArray{level};
}

}  // namespace SimpleBLE::detail
