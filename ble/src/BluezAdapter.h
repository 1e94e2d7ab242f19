#pragma once

// One BlueZ adapter (org.bluez.Adapter1): its scan state, shared by all
// Adapter handles of it.

#include <simpleble/SimpleBLE.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace SimpleBLE {

// Scan state of one adapter, shared by all its handles.
class BluezAdapter {
  public:
    explicit BluezAdapter(std::string p) : path(std::move(p)) {}
    const std::string path;

    std::mutex mutex;
    bool scanning = false;
    bool sawDiscovering = false;  // Discovering turned true since scan_start()
    std::set<std::string> seen;   // devices reported since scan_start()
    std::shared_ptr<const std::function<void(Peripheral)>> onFound, onUpdated;
    std::shared_ptr<const std::function<void()>> onStart, onStop;

    std::string identifier();
    BluetoothAddress address();
    void scanStart();
    void scanStop();
    bool scanActive();
};

}  // namespace SimpleBLE
