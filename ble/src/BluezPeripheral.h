#pragma once

// One BlueZ device (org.bluez.Device1): what its Peripheral handles share, and
// the operations that become calls of org.bluez.

#include <simpleble/SimpleBLE.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace SimpleBLE {

// What a device handle remembers; copies of a Peripheral share it.
class BluezPeripheral {
  public:
    explicit BluezPeripheral(std::string p) : path(std::move(p)) {}
    const std::string path;

    std::mutex mutex;
    // Last values seen, so that a handle of a device BlueZ dropped still answers.
    std::string name, address;
    int16_t rssi = INT16_MIN;
    std::shared_ptr<const std::function<void()>> onConnected, onDisconnected;
    // Active subscriptions: service and characteristic UUID to object path;
    // the battery of org.bluez.Battery1 is keyed by the device path.
    std::map<std::pair<std::string, std::string>, std::pair<std::string, bool>> subscriptions;

    void refresh();
    bool connected();
    void connect();
    void disconnect();
    std::vector<Service> services();
    ByteArray read(const BluetoothUUID& service, const BluetoothUUID& characteristic);
    void notify(const BluetoothUUID& service, const BluetoothUUID& characteristic,
                std::function<void(ByteArray)> callback);
    void unsubscribe(const BluetoothUUID& service, const BluetoothUUID& characteristic);
};

}  // namespace SimpleBLE
