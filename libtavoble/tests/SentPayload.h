#pragma once

// Reading what the simulator reports it sent, to compare received scans with.

#include <cstdint>
#include <vector>

namespace e2e {

// The sample at `index` of a data notification: 24-bit big-endian two's complement.
inline float Sample(const std::vector<uint8_t>& payload, int index) {
    int32_t raw = payload[3 * index] << 16 | payload[3 * index + 1] << 8 | payload[3 * index + 2];
    if (raw & 0x800000) {
        raw -= 0x1000000;
    }
    return static_cast<float>(raw);
}

}  // namespace e2e
