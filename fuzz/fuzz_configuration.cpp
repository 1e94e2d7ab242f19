// Arbitrary amplifier configuration and record streams through acceptance and
// derivation; whatever is accepted must then assemble scans inside its buffers,
// each holding exactly the samples its layout names.
//
// Input: one length byte and that many bytes of amplifier configuration value,
// then records, each a selector byte s (kind s % 3: channel, payload, filter;
// length (s / 3) % 20) followed by its bytes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ApiException.h"
#include "DeviceConfiguration.h"
#include "FuzzInput.h"
#include "ScanAssembler.h"

using namespace Tavo::BLE;
using Tavo::BLE::Fuzzing::FuzzInput;

namespace {

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

class CheckingSink : public ScanSink {
  public:
    explicit CheckingSink(uint16_t valuesPerScan) : valuesPerScan_(valuesPerScan) {}
    void DeliverScan(const float* scan, uint32_t count) override {
        Require(count == valuesPerScan_);
        const float valid = scan[count - 1];
        Require(valid == 0.0f || valid == 1.0f);
    }

  private:
    uint16_t valuesPerScan_;
};

// Keeps the scans of one notification.
class RecordingSink : public ScanSink {
  public:
    void DeliverScan(const float* scan, uint32_t count) override {
        scans.emplace_back(scan, scan + count);
    }
    std::vector<std::vector<float>> scans;
};

bool Same(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// One notification whose sample i is i + 1: every valid scan must hold, in
// each channel's column, the sample the layout names for that scan, or after
// the channel's last sample that one again. The counter is left to the
// assembler's own tests.
void RequireExactScans(const DeviceConfiguration& configuration) {
    const AmplifierConfiguration& amplifier = configuration.Amplifier();
    if (amplifier.payloadConfigurationCount != amplifier.payloadSize / 3) {
        return;  // refused at every notification, checked above
    }
    const auto payloads = configuration.Payloads();
    const auto channels = configuration.Channels();
    const auto frameCounts = configuration.FrameCounts();
    const uint16_t frames = configuration.Frames();
    const size_t width = configuration.ValuesPerScan();
    std::string payload(amplifier.payloadSize, '\0');
    std::vector<long> sampleAt(frames * width, -1);  // cell -> sample index
    for (size_t i = 0; i < payloads.size(); ++i) {
        payload[3 * i + 1] = static_cast<char>(((i + 1) >> 8) & 0xFF);
        payload[3 * i + 2] = static_cast<char>((i + 1) & 0xFF);
        sampleAt[payloads[i].frameIndex * width + payloads[i].channelNumber - 1u] =
            static_cast<long>(i);
    }
    ScanAssembler assembler(configuration, 0);
    RecordingSink sink;
    assembler.OnData(payload, 100, sink);
    Require(sink.scans.size() == frames);
    for (const auto& channel : channels) {
        const size_t column = channel.first - 1u;
        const uint16_t count = frameCounts.at(channel.first);
        for (size_t frame = 0; frame < frames; ++frame) {
            const long sample = sampleAt[std::min<size_t>(frame, count - 1u) * width + column];
            Require(sample >= 0);  // an accepted layout names a sample for every scan
            const float expected =
                static_cast<float>(sample + 1) * channels.at(channel.first).scaleFactor;
            Require(channel.second.channelType == ChannelType::Counter ||
                    Same(sink.scans[frame][column], expected));
        }
    }
}

bool IsConfigurationError(const ApiException& e) {
    const std::string text = e.what();
    return e.ErrorCode() == ErrorCode::Session &&
           (text == "Invalid amplifier configuration." ||
            text == "Invalid payload configuration." || text == "Invalid channel configuration.");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    DeviceConfiguration configuration;
    try {
        configuration.SetAmplifierConfiguration(input.Bytes(input.Byte()));
    } catch (const ApiException& e) {
        Require(IsConfigurationError(e));
        // Go on: derivation must stay safe whatever the connect would have done.
    }

    while (!input.Empty()) {
        const uint8_t selector = input.Byte();
        const std::string record = input.Bytes((selector / 3u) % 20u);
        switch (selector % 3u) {
            case 0:
                configuration.OnChannelConfiguration(record);
                break;
            case 1:
                configuration.OnPayloadConfiguration(record);
                break;
            default:
                configuration.OnFilterConfiguration(record);
                break;
        }
    }
    Require(configuration.Payloads().size() <= configuration.Amplifier().payloadConfigurationCount);

    TAVOBLE_DEVICE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    try {
        configuration.Derive(info);
    } catch (const ApiException& e) {
        Require(IsConfigurationError(e));
        return 0;
    }

    const uint16_t n = configuration.Amplifier().channelConfigurationCount;
    Require(n >= 1 && n <= DeviceConfiguration::MaxChannels);
    Require(info.numberOfAcquiredChannels == n + 2);
    Require(info.channelTypes[n] == ChannelType::BatteryLevel);
    Require(info.channelTypes[n + 1] == ChannelType::DataValid);
    Require(configuration.Frames() >= 1);

    // An accepted configuration must decode inside its buffers.
    ScanAssembler assembler(configuration, 64);
    CheckingSink sink(configuration.ValuesPerScan());
    const uint16_t payloadSize = configuration.Amplifier().payloadSize;
    for (char fill : {'\x00', '\x7F', '\xFF'}) {
        try {
            assembler.OnData(std::string(payloadSize, fill), 100, sink);
        } catch (const ApiException& e) {
            Require(e.ErrorCode() == ErrorCode::Session &&
                    std::string(e.what()) == "Invalid buffer size.");
        }
    }
    RequireExactScans(configuration);
    return 0;
}
