#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ApiException.h"

namespace Tavo::BLE {

// The amplifier's GATT profile. 16-bit UUIDs are written as 4 hex characters
// and expanded with the Bluetooth base UUID before matching.
namespace Gatt {
// Vendor service: one data stream and four kinds of configuration.
inline constexpr char AmplifierService[] = "B5211405-449F-4BA0-A651-B887924B81E8";
inline constexpr char DataCharacteristic[] = "B5211406-449F-4BA0-A651-B887924B81E8";
inline constexpr char AmplifierConfigurationCharacteristic[] =
    "B5211407-449F-4BA0-A651-B887924B81E8";
inline constexpr char PayloadConfigurationCharacteristic[] = "B5211408-449F-4BA0-A651-B887924B81E8";
inline constexpr char ChannelConfigurationCharacteristic[] = "B5211409-449F-4BA0-A651-B887924B81E8";
inline constexpr char FilterConfigurationCharacteristic[] = "B521140A-449F-4BA0-A651-B887924B81E8";
// Standard Battery Service and Device Information Service.
inline constexpr char BatteryService[] = "180F";
inline constexpr char BatteryLevelCharacteristic[] = "2A19";
inline constexpr char DeviceInformationService[] = "180A";
inline constexpr char ModelNumberCharacteristic[] = "2A24";
inline constexpr char SerialNumberCharacteristic[] = "2A25";
inline constexpr char FirmwareRevisionCharacteristic[] = "2A26";
inline constexpr char HardwareRevisionCharacteristic[] = "2A27";
inline constexpr char ManufacturerNameCharacteristic[] = "2A29";
}  // namespace Gatt

// A 4-character literal is a 16-bit UUID and becomes
// 0000xxxx-0000-1000-8000-00805F9B34FB; anything else is kept as it is.
// The result is upper-cased byte by byte. A null literal reads as "".
std::string NormaliseUuid(const char* literal);

// Whole-string comparison of the normalised literal with a UUID as the BLE
// layer reports it; the reported UUID is only upper-cased, never expanded.
bool UuidMatches(const char* literal, const std::string& reported);

// The lookups below work on anything with a `uuid()` member (SimpleBLE's
// services and characteristics, or test fakes). SimpleBLE's accessors are not
// const, so everything is taken by value. The first match wins.

template <typename Service>
Service FindService(std::vector<Service> services, const char* uuid) {
    for (auto& service : services) {
        if (UuidMatches(uuid, service.uuid())) {
            return service;
        }
    }
    throw ApiException("'" + std::string(uuid ? uuid : "") + "' service not found.",
                       ErrorCode::Session);
}

template <typename Service>
auto FindCharacteristic(Service service, const char* uuid) {
    auto characteristics = service.characteristics();
    for (auto& characteristic : characteristics) {
        if (UuidMatches(uuid, characteristic.uuid())) {
            return characteristic;
        }
    }
    throw ApiException("Could not find characteristic '" + std::string(uuid ? uuid : "") +
                           "' in service '" + std::string(service.uuid()) + "'.",
                       ErrorCode::Session);
}

// Resolves both literals against the services the peripheral reports now and
// reads the value by the UUIDs as the BLE layer spells them. The BLE layer's
// own exceptions (not connected, read failed) pass through unchanged.
template <typename Peripheral>
auto ReadCharacteristic(Peripheral& peripheral, const char* serviceUuid,
                        const char* characteristicUuid) {
    auto service = FindService(peripheral.services(), serviceUuid);
    auto characteristic = FindCharacteristic(service, characteristicUuid);
    return peripheral.read(service.uuid(), characteristic.uuid());
}

}  // namespace Tavo::BLE
