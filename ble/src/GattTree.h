#pragma once

// A device's GATT services and characteristics as the handles see them.

#include <simpleble/SimpleBLE.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace SimpleBLE {

struct CharacteristicData {
    std::string uuid;
    std::string path;  // the device path for the battery of Battery1
    std::vector<std::string> flags;
    bool battery = false;     // org.bluez.Battery1 shown as characteristic 2A19
    bool acquirable = false;  // BlueZ offers AcquireNotify (it has NotifyAcquired)
};

struct ServiceData {
    std::string uuid;
    std::vector<std::shared_ptr<const CharacteristicData>> characteristics;
};

namespace detail {

// org.bluez.Battery1 stands in for the Battery Service that BlueZ claims.
extern const char* const kBatteryService;
extern const char* const kBatteryLevel;

// True when `flags` (BlueZ's Flags of a characteristic) has any of `wanted`.
bool hasAny(const std::vector<std::string>& flags, std::initializer_list<const char*> wanted);
bool readable(const std::vector<std::string>& flags);
bool notifiable(const std::vector<std::string>& flags);
// True when `path` lies below `parent` in the object tree.
bool isSubPath(const std::string& path, const std::string& parent);

// The GATT tree of one device as BlueZ exports it, in handle order, with the
// battery of org.bluez.Battery1 added as service 180F when no GATT one is there.
std::vector<std::shared_ptr<const ServiceData>> gattTree(const std::string& device);
// One characteristic of a device; throws ServiceNotFound or CharacteristicNotFound.
CharacteristicData resolve(const std::string& device, const BluetoothUUID& service,
                           const BluetoothUUID& characteristic);

}  // namespace detail
}  // namespace SimpleBLE
