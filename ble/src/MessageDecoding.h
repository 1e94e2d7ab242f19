#pragma once

// Reading BlueZ's property dictionaries straight from a D-Bus message.
// Values are read without sdbus::Variant: its function-local static inside
// sdbus-c++ is destroyed at exit while the event thread may still be reading.

#include <cstdint>
#include <string>
#include <vector>

#include "Central.h"

namespace sdbus {
class Message;
}

namespace SimpleBLE::detail {

// Skips one complete value of D-Bus type `type` ("s", "ay", "a{sv}", "(ii)").
void skip(sdbus::Message& msg, const std::string& type);
// A variant; types the central does not use are skipped and read as empty.
Value readVariant(sdbus::Message& msg);
// a{sv}
Properties readProperties(sdbus::Message& msg);
// a{sa{sv}}
Interfaces readInterfaces(sdbus::Message& msg);
// a{oa{sa{sv}}}, the reply of GetManagedObjects
Objects readObjects(sdbus::Message& msg);
// The new value in a characteristic's PropertiesChanged (a notification);
// false when the signal carries none.
bool readNotification(sdbus::Message& msg, std::vector<uint8_t>& bytes);

}  // namespace SimpleBLE::detail
