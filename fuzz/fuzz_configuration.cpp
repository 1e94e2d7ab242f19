// Arbitrary amplifier configuration and record streams through acceptance and
// derivation; whatever is accepted must then assemble scans inside its buffers.
//
// Input: one length byte and that many bytes of amplifier configuration value,
// then records, each a selector byte s (kind s % 3: channel, payload, filter;
// length (s / 3) % 20) followed by its bytes.

#include <cstdint>
#include <cstring>
#include <string>

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
    return 0;
}
