#pragma once

// The names BlueZ and the bus use, defined once.

namespace SimpleBLE::detail {

extern const char* const kBluez;
extern const char* const kAdapterInterface;
extern const char* const kDeviceInterface;
extern const char* const kServiceInterface;
extern const char* const kCharacteristicInterface;
extern const char* const kBatteryInterface;

extern const char* const kNoReply;
extern const char* const kDisconnected;

}  // namespace SimpleBLE::detail
