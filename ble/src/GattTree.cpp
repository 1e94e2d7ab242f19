#include "GattTree.h"

#include <algorithm>

#include "Central.h"

namespace SimpleBLE::detail {

const char* const kBatteryService = "0000180f-0000-1000-8000-00805f9b34fb";
const char* const kBatteryLevel = "00002a19-0000-1000-8000-00805f9b34fb";

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
    Central::instance().visit([&](const Objects& objects) {
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
                ch->acquirable = get<bool>(object, detail::kCharacteristicInterface,
                                           "NotifyAcquired") != nullptr;
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

}  // namespace SimpleBLE::detail
