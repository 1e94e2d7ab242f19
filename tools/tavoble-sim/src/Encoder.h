// The amplifier's side of the wire format: its 16-byte configuration value,
// the channel (8-byte), payload (4-byte) and filter (16-byte) configuration
// records, and data notifications of big-endian 24-bit samples. All multi-byte
// configuration fields are little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "Scenario.h"

namespace tavosim {

class AmplifierEncoder {
  public:
    AmplifierEncoder(const AmplifierSpec& plan, uint32_t seed);

    // The eight configuration fields as the amplifier really works, before overrides.
    std::array<uint16_t, 8> trueConfiguration() const;
    // The value served by the configuration characteristic, faults applied.
    Bytes configuration() const;

    // The record streams, in sending order, faults applied.
    std::vector<Bytes> channelRecords() const;
    std::vector<Bytes> payloadRecords() const;
    std::vector<Bytes> filterRecords() const;

    // Bytes of a complete data notification.
    size_t payloadSize() const { return 3 * layout_.size() + plan_.payloadPadding; }
    const std::vector<std::pair<uint16_t, uint16_t>>& layout() const { return layout_; }

    // Encodes the next data notification into out and advances the packet
    // counter and the sample clock. Returns the packet counter it carried.
    uint32_t nextPayload(Bytes& out);
    void restartCounter();
    // Advances counter and sample clock past notifications nobody received:
    // the amplifier kept sampling while no one was subscribed.
    void skip(uint64_t notifications);
    uint32_t counter() const { return counter_; }

    static void putSample24(uint8_t* p, int32_t raw);

  private:
    int32_t sample(const ChannelSpec& ch, uint64_t sampleIndex);

    const AmplifierSpec& plan_;
    std::vector<std::pair<uint16_t, uint16_t>> layout_;
    std::map<uint16_t, size_t> channelIndex_;
    uint32_t counter_;
    uint32_t sinceRestart_ = 0;
    uint64_t sampleIndex_ = 0;
    std::mt19937 rng_;
};

}  // namespace tavosim
