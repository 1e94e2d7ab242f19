#include "ConfigurationRecords.h"

#include <cstring>

namespace Tavo::BLE {

namespace {

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

float ReadF32(const uint8_t* p) {
    const uint32_t bits = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                          (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    float value;
    static_assert(sizeof value == sizeof bits, "IEEE single precision expected");
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

std::optional<AmplifierConfiguration> ParseAmplifierConfiguration(const uint8_t* data,
                                                                  size_t size) {
    if (data == nullptr || size < AmplifierConfiguration::Size) {
        return std::nullopt;
    }
    AmplifierConfiguration r;
    r.samplingRate = ReadU16(data + 0);
    r.numberOfChannels = ReadU16(data + 2);
    r.reserved1 = ReadU16(data + 4);
    r.reserved2 = ReadU16(data + 6);
    r.payloadSize = ReadU16(data + 8);
    r.channelConfigurationCount = ReadU16(data + 10);
    r.payloadConfigurationCount = ReadU16(data + 12);
    r.filterConfigurationCount = ReadU16(data + 14);
    return r;
}

std::optional<ChannelConfiguration> ParseChannelConfiguration(const uint8_t* data, size_t size) {
    if (data == nullptr || size < ChannelConfiguration::Size) {
        return std::nullopt;
    }
    ChannelConfiguration r;
    r.channelNumber = ReadU16(data + 0);
    r.channelType = data[2];
    r.reserved = data[3];
    r.scaleFactor = ReadF32(data + 4);
    return r;
}

std::optional<PayloadConfiguration> ParsePayloadConfiguration(const uint8_t* data, size_t size) {
    if (data == nullptr || size < PayloadConfiguration::Size) {
        return std::nullopt;
    }
    PayloadConfiguration r;
    r.channelNumber = ReadU16(data + 0);
    r.frameIndex = ReadU16(data + 2);
    return r;
}

std::optional<FilterConfiguration> ParseFilterConfiguration(const uint8_t* data, size_t size) {
    if (data == nullptr || size < FilterConfiguration::Size) {
        return std::nullopt;
    }
    FilterConfiguration r;
    r.key = ReadU16(data + 0);
    std::memcpy(r.data.data(), data + 2, r.data.size());
    return r;
}

}  // namespace Tavo::BLE
