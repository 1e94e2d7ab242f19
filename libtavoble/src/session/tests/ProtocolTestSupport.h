#pragma once

// Builders for the byte records an amplifier sends, and a sink that records
// the scans it is handed. Shared by the protocol tests, fuzzers and benchmarks.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "DeviceConfiguration.h"
#include "ScanAssembler.h"

namespace Tavo::BLE::Testing {

inline void PutU16(std::string& out, uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

inline std::string AmplifierBytes(uint16_t samplingRate, uint16_t numberOfChannels,
                                  uint16_t payloadSize, uint16_t channelCount,
                                  uint16_t payloadCount, uint16_t filterCount) {
    std::string out;
    for (uint16_t word : {samplingRate, numberOfChannels, uint16_t{0xAAAA}, uint16_t{0x5555},
                          payloadSize, channelCount, payloadCount, filterCount}) {
        PutU16(out, word);
    }
    return out;
}

inline std::string ChannelBytes(uint16_t channelNumber, uint8_t channelType, float scaleFactor) {
    std::string out;
    PutU16(out, channelNumber);
    out.push_back(static_cast<char>(channelType));
    out.push_back('\x7E');  // unused byte
    uint32_t bits;
    std::memcpy(&bits, &scaleFactor, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((bits >> shift) & 0xFF));
    }
    return out;
}

inline std::string PayloadRecordBytes(uint16_t channelNumber, uint16_t frameIndex) {
    std::string out;
    PutU16(out, channelNumber);
    PutU16(out, frameIndex);
    return out;
}

inline std::string FilterBytes(uint16_t key, uint8_t fill) {
    std::string out;
    PutU16(out, key);
    out.append(14, static_cast<char>(fill));
    return out;
}

// Raw samples as the amplifier sends them: 24-bit big-endian each.
inline std::string PayloadBytes(const std::vector<int32_t>& samples, size_t extraBytes = 0) {
    std::string out;
    for (int32_t sample : samples) {
        const auto raw = static_cast<uint32_t>(sample) & 0xFFFFFFu;
        out.push_back(static_cast<char>(raw >> 16));
        out.push_back(static_cast<char>((raw >> 8) & 0xFF));
        out.push_back(static_cast<char>(raw & 0xFF));
    }
    out.append(extraBytes, '\0');
    return out;
}

struct ChannelSpec {
    uint8_t type;
    float scale;
};

// A whole amplifier set-up: channels numbered 1..N in the given order and the
// payload records (channel, frame) in sample order.
struct Layout {
    std::vector<ChannelSpec> channels;
    std::vector<std::pair<uint16_t, uint16_t>> samples;
    uint16_t payloadSize = 0;  // 0: 3 × samples
    uint16_t samplingRate = 500;

    uint16_t PayloadSize() const {
        return payloadSize != 0 ? payloadSize : static_cast<uint16_t>(3 * samples.size());
    }
};

// Channels 1..channels, every channel sampled in every frame, frame by frame;
// channel `counter` (1-based, 0 for none) is the sample counter.
inline Layout DenseLayout(uint16_t channels, uint16_t frames, uint16_t counter) {
    Layout layout;
    for (uint16_t c = 1; c <= channels; ++c) {
        layout.channels.push_back(
            {static_cast<uint8_t>(c == counter ? 5 : 1), c == counter ? 1.0f : 0.5f});
    }
    for (uint16_t f = 0; f < frames; ++f) {
        for (uint16_t c = 1; c <= channels; ++c) {
            layout.samples.emplace_back(c, f);
        }
    }
    return layout;
}

// Feeds the layout through the configuration phase as a connect would.
inline void Collect(DeviceConfiguration& configuration, const Layout& layout) {
    const auto channels = static_cast<uint16_t>(layout.channels.size());
    configuration.SetAmplifierConfiguration(
        AmplifierBytes(layout.samplingRate, channels, layout.PayloadSize(), channels,
                       static_cast<uint16_t>(layout.samples.size()), 0));
    for (uint16_t c = 0; c < channels; ++c) {
        configuration.OnChannelConfiguration(ChannelBytes(
            static_cast<uint16_t>(c + 1), layout.channels[c].type, layout.channels[c].scale));
    }
    for (const auto& sample : layout.samples) {
        configuration.OnPayloadConfiguration(PayloadRecordBytes(sample.first, sample.second));
    }
}

inline TAVOBLE_DEVICE_INFORMATION Configure(DeviceConfiguration& configuration,
                                            const Layout& layout) {
    Collect(configuration, layout);
    TAVOBLE_DEVICE_INFORMATION info{};
    configuration.Derive(info);
    return info;
}

class RecordingSink : public ScanSink {
  public:
    void DeliverScan(const float* scan, uint32_t count) override {
        scans.emplace_back(scan, scan + count);
    }
    std::vector<std::vector<float>> scans;
};

class NullSink : public ScanSink {
  public:
    void DeliverScan(const float* scan, uint32_t count) override {
        last = scan[count - 1];
        ++delivered;
    }
    float last = 0.0f;
    uint64_t delivered = 0;
};

}  // namespace Tavo::BLE::Testing
