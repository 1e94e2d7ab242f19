#include "Central.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "BluezPeripheral.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

Central& Central::instance() {
    // Never destroyed: see the header.
    static Central* const central = new Central();
    return *central;
}

std::unique_ptr<sdbus::IConnection> Central::openConnection() {
    std::unique_ptr<sdbus::IConnection> conn;
    try {
        conn = sdbus::createSystemBusConnection();
        // Subscribe before loading the objects, or changes in between are lost.
        conn->addMatch(
            "type='signal',sender='org.bluez',path='/',"
            "interface='org.freedesktop.DBus.ObjectManager'",
            [this](sdbus::Message& msg) { onObjectManagerSignal(msg); }, sdbus::floating_slot);
        // Characteristics' values are left out: each subscription has its own
        // connection for them, and this one must not wake for every notification.
        for (const char* interface : {kAdapterInterface, kDeviceInterface, kBatteryInterface}) {
            conn->addMatch(
                std::string("type='signal',sender='org.bluez',interface='org.freedesktop.DBus."
                            "Properties',member='PropertiesChanged',path_namespace='/org/bluez',"
                            "arg0='") +
                    interface + "'",
                [this](sdbus::Message& msg) { onPropertiesChanged(msg); }, sdbus::floating_slot);
        }
        conn->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged',arg0='org.bluez'",
            [this](sdbus::Message& msg) { onNameOwnerChanged(msg); }, sdbus::floating_slot);
    } catch (const sdbus::Error&) {
        return nullptr;  // no system bus (yet): no Bluetooth
    }
    return conn;
}

bool Central::connectBus() {
    std::lock_guard<std::mutex> lock(initMutex_);
    if (connected_) {
        return true;
    }
    std::unique_ptr<sdbus::IConnection> conn = openConnection();
    if (!conn) {
        return false;
    }
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    conn_ = std::move(conn);
    wakeFd_ = fd;
    std::thread thread([this] { loop(); });
    loopId_ = thread.get_id();
    // Never joined: the thread serves the connection until the process ends.
    thread.detach();
    connected_ = true;
    return true;
}

bool Central::available() {
    if (!connected_ && !connectBus()) {
        return false;
    }
    if (broken_) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (loaded_) {
            return true;
        }
    }
    try {
        call(
            "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
            [this](sdbus::MethodReply& reply) { applySnapshot(readObjects(reply)); }, kCallTimeout);
    } catch (const CallError&) {
        return false;  // org.bluez is not on the bus
    }
    std::lock_guard<std::mutex> lock(cacheMutex_);
    return loaded_;
}

Interfaces Central::object(const std::string& path) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = objects_.find(path);
    return it == objects_.end() ? Interfaces{} : it->second;
}

void Central::visit(const std::function<void(const Objects&)>& fn) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    fn(objects_);
}

std::shared_ptr<BluezAdapter> Central::adapter(const std::string& path) {
    std::lock_guard<std::mutex> lock(statesMutex_);
    auto& state = adapters_[path];
    if (!state) {
        state = std::make_shared<BluezAdapter>(path);
    }
    return state;
}

std::shared_ptr<BluezPeripheral> Central::device(const std::string& path) {
    std::lock_guard<std::mutex> lock(statesMutex_);
    auto& weak = devices_[path];
    auto state = weak.lock();
    if (!state) {
        state = std::make_shared<BluezPeripheral>(path);
        weak = state;
    }
    return state;
}

bool Central::waitUntil(const std::function<bool(const Objects&)>& ready,
                        std::chrono::steady_clock::time_point deadline) {
    if (onEventThread()) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(cacheMutex_);
                if (ready(objects_)) {
                    return true;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pump(static_cast<int>(std::min<int64_t>(left.count(), 50)));
        }
    }
    std::unique_lock<std::mutex> lock(cacheMutex_);
    return cacheChanged_.wait_until(lock, deadline, [&] { return ready(objects_); });
}

}  // namespace SimpleBLE::detail
