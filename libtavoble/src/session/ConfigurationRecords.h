#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Tavo::BLE {

// The amplifier describes its acquisition set-up in four kinds of record. All
// multi-byte fields are little-endian. Records are read field by field from
// the received bytes (never by casting a pointer into the buffer), so byte
// order and alignment of the host do not matter. Bytes after a record are
// ignored; too few bytes give no record.

// Value of the amplifier configuration characteristic: eight 16-bit words.
struct AmplifierConfiguration {
    uint16_t samplingRate = 0;
    uint16_t numberOfChannels = 0;
    uint16_t reserved1 = 0;
    uint16_t reserved2 = 0;
    uint16_t payloadSize = 0;                // bytes per data notification
    uint16_t channelConfigurationCount = 0;  // channel records to collect, channel columns
    uint16_t payloadConfigurationCount = 0;  // payload records to collect, samples per payload
    uint16_t filterConfigurationCount = 0;   // filter records to collect
    static constexpr size_t Size = 16;
};

// One channel: its 1-based number, type code (5 = sample counter) and the
// factor that turns a raw 24-bit sample into its value.
struct ChannelConfiguration {
    uint16_t channelNumber = 0;
    uint8_t channelType = 0;
    uint8_t reserved = 0;
    float scaleFactor = 0.0f;
    static constexpr size_t Size = 8;
};

// The n-th payload record places the n-th sample of every data notification:
// which channel it belongs to and in which scan (frame) of the payload.
struct PayloadConfiguration {
    uint16_t channelNumber = 0;
    uint16_t frameIndex = 0;
    static constexpr size_t Size = 4;
};

// Filter set-up: kept by key, not interpreted.
struct FilterConfiguration {
    uint16_t key = 0;
    std::array<uint8_t, 14> data{};
    static constexpr size_t Size = 16;
};

// Channel type codes the library acts on or assigns.
namespace ChannelType {
constexpr uint8_t BatteryLevel = 4;  // appended column: last battery level
constexpr uint8_t Counter = 5;       // amplifier channel: sample counter
constexpr uint8_t DataValid = 9;     // appended column: 1.0 real scan, 0.0 filler
}  // namespace ChannelType

std::optional<AmplifierConfiguration> ParseAmplifierConfiguration(const uint8_t* data, size_t size);
std::optional<ChannelConfiguration> ParseChannelConfiguration(const uint8_t* data, size_t size);
std::optional<PayloadConfiguration> ParsePayloadConfiguration(const uint8_t* data, size_t size);
std::optional<FilterConfiguration> ParseFilterConfiguration(const uint8_t* data, size_t size);

// Byte-string forms: the BLE layer's values are copied into std::string first.
inline const uint8_t* Bytes(const std::string& value) {
    return reinterpret_cast<const uint8_t*>(value.data());
}
inline std::optional<AmplifierConfiguration> ParseAmplifierConfiguration(const std::string& v) {
    return ParseAmplifierConfiguration(Bytes(v), v.size());
}
inline std::optional<ChannelConfiguration> ParseChannelConfiguration(const std::string& v) {
    return ParseChannelConfiguration(Bytes(v), v.size());
}
inline std::optional<PayloadConfiguration> ParsePayloadConfiguration(const std::string& v) {
    return ParsePayloadConfiguration(Bytes(v), v.size());
}
inline std::optional<FilterConfiguration> ParseFilterConfiguration(const std::string& v) {
    return ParseFilterConfiguration(Bytes(v), v.size());
}

}  // namespace Tavo::BLE
