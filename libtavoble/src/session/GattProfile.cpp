#include "GattProfile.h"

#include <cctype>
#include <cstring>

namespace Tavo::BLE {

namespace {

void ToUpper(std::string& text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
}

}  // namespace

std::string NormaliseUuid(const char* literal) {
    std::string uuid = literal ? literal : "";
    if (uuid.size() == 4) {
        uuid = "0000" + uuid + "-0000-1000-8000-00805f9b34fb";
    }
    ToUpper(uuid);
    return uuid;
}

bool UuidMatches(const char* literal, const std::string& reported) {
    std::string candidate = reported;
    ToUpper(candidate);
    return NormaliseUuid(literal) == candidate;
}

}  // namespace Tavo::BLE
