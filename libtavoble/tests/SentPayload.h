#pragma once

// Reading what the simulator reports it sent, to compare received scans with.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace e2e {

// The sample at `index` of a data notification: 24-bit big-endian two's complement.
inline float Sample(const std::vector<uint8_t>& payload, int index) {
    const auto at = 3 * static_cast<std::size_t>(index);
    int32_t raw = payload[at] << 16 | payload[at + 1] << 8 | payload[at + 2];
    if (raw & 0x800000) {
        raw -= 0x1000000;
    }
    return static_cast<float>(raw);
}

}  // namespace e2e
