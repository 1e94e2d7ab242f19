#pragma once

#include <cstddef>
#include <string>

#include "tavoble.h"

namespace Tavo::BLE {

// How many bytes of an advertised name fit one discovered-callback slot: at
// most 14, and never part of a UTF-8 character, which would make the whole
// batch undecodable for an application that reads the names as text. Radio
// bytes that are not UTF-8 at all are cut at 14 as they come.
inline std::size_t NameSlotLength(const std::string& name) {
    constexpr std::size_t kRoom = TAVOBLE_DEVICENAME_LENGTH_MAX - 1;
    if (name.size() <= kRoom) {
        return name.size();
    }
    const auto continuation = [&name](std::size_t i) {
        return (static_cast<unsigned char>(name[i]) & 0xC0u) == 0x80u;
    };
    // A character is at most four bytes: its lead and up to three continuations.
    std::size_t cut = kRoom;
    for (int back = 0; back < 3 && cut > 0 && continuation(cut); ++back) {
        --cut;
    }
    if (continuation(cut)) {
        return kRoom;
    }
    return cut;
}

}  // namespace Tavo::BLE
