// An adapter's scan: StartDiscovery and StopDiscovery with the state that
// makes scan_is_active() right before BlueZ reports Discovering.

#include "BluezAdapter.h"

#include <sdbus-c++/sdbus-c++.h>

#include "Central.h"

namespace SimpleBLE {

using detail::CallError;
using detail::Central;
using detail::flag;
using detail::get;
using detail::Interfaces;
using detail::Objects;

namespace {

Central& central() {
    return Central::instance();
}

std::string failure(const char* method, const std::string& path, const CallError& e) {
    return std::string(method) + " on " + path + " failed: " + e.text();
}

}  // namespace

std::string BluezAdapter::identifier() {
    return path.substr(path.rfind('/') + 1);
}

BluetoothAddress BluezAdapter::address() {
    Interfaces object = central().object(path);
    const std::string* address = get<std::string>(object, detail::kAdapterInterface, "Address");
    return address != nullptr ? *address : std::string();
}

void BluezAdapter::scanStart() {
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

void BluezAdapter::scanStop() {
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

bool BluezAdapter::scanActive() {
    std::lock_guard<std::mutex> lock(mutex);
    return scanning;
}

}  // namespace SimpleBLE
