#pragma once

// The adapter's `Discovering` as BlueZ reports it to any client: whether a
// discovery of anyone's still runs.

#include <sdbus-c++/sdbus-c++.h>

namespace e2e {

inline bool AdapterDiscovering() {
    auto connection = sdbus::createSystemBusConnection();
    auto adapter = sdbus::createProxy(*connection, "org.bluez", "/org/bluez/hci0");
    return adapter->getProperty("Discovering").onInterface("org.bluez.Adapter1").get<bool>();
}

}  // namespace e2e
