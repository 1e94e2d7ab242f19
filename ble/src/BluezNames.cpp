#include "BluezNames.h"

namespace SimpleBLE::detail {

const char* const kBluez = "org.bluez";
const char* const kAdapterInterface = "org.bluez.Adapter1";
const char* const kDeviceInterface = "org.bluez.Device1";
const char* const kServiceInterface = "org.bluez.GattService1";
const char* const kCharacteristicInterface = "org.bluez.GattCharacteristic1";
const char* const kBatteryInterface = "org.bluez.Battery1";

const char* const kNoReply = "org.freedesktop.DBus.Error.NoReply";
const char* const kDisconnected = "org.freedesktop.DBus.Error.Disconnected";

}  // namespace SimpleBLE::detail
