// An accepted configuration, then arbitrary notifications through the scan
// assembler.
//
// Input: a layout header of 8 bytes (channel count, frame count, counter
// channel, payload size adjustment, counter scale factor as 4 bytes), one byte
// per channel for how many frames it is sampled in, then notifications, each a
// selector byte (below 200: exactly payloadSize bytes follow; otherwise
// selector − 200 bytes), a battery byte and the bytes.

#include <cmath>
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

void PutU16(std::string& out, uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

class CheckingSink : public ScanSink {
  public:
    CheckingSink(uint16_t valuesPerScan) : valuesPerScan_(valuesPerScan) {}
    void DeliverScan(const float* scan, uint32_t count) override {
        Require(count == valuesPerScan_);
        const float valid = scan[count - 1];
        Require(valid == 0.0f || valid == 1.0f);
        // A filler repeats the previous scan, battery level included.
        Require(valid == 0.0f || scan[count - 2] == static_cast<float>(battery));
        ++delivered;
    }
    uint8_t battery = 0;
    uint64_t delivered = 0;

  private:
    uint16_t valuesPerScan_;
};

// Fillers per notification in this harness; the rule that caps them is the
// same as in the library, only the bound is smaller so that runs stay fast.
constexpr uint32_t MaxFillers = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const auto channels =
        static_cast<uint16_t>(input.Byte() % DeviceConfiguration::MaxChannels + 1);
    const auto frames = static_cast<uint16_t>(input.Byte() % 8 + 1);
    const uint8_t counter = static_cast<uint8_t>(input.Byte() % (channels + 1));  // 0: none
    const uint8_t sizeAdjustment = input.Byte() % 4;  // 3: does not fit the payload count
    uint32_t scaleBits = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        scaleBits |= static_cast<uint32_t>(input.Byte()) << shift;
    }

    // Channel c is sampled in frames 0 .. depth(c) − 1, frame by frame.
    uint8_t depth[DeviceConfiguration::MaxChannels];
    for (uint16_t c = 0; c < channels; ++c) {
        depth[c] = static_cast<uint8_t>(input.Byte() % frames + 1);
    }
    std::string payloadRecords;
    uint16_t samples = 0;
    for (uint16_t f = 0; f < frames; ++f) {
        for (uint16_t c = 0; c < channels; ++c) {
            if (f < depth[c]) {
                PutU16(payloadRecords, static_cast<uint16_t>(c + 1));
                PutU16(payloadRecords, f);
                ++samples;
            }
        }
    }
    const auto payloadSize = static_cast<uint16_t>(3 * samples + sizeAdjustment);

    DeviceConfiguration configuration;
    std::string amplifier;
    for (uint16_t word : {uint16_t{500}, channels, uint16_t{0}, uint16_t{0}, payloadSize, channels,
                          samples, uint16_t{0}}) {
        PutU16(amplifier, word);
    }
    configuration.SetAmplifierConfiguration(amplifier);
    for (uint16_t c = 1; c <= channels; ++c) {
        std::string record;
        PutU16(record, c);
        record.push_back(static_cast<char>(c == counter ? 5 : 1));
        record.push_back('\0');
        const uint32_t bits = c == counter ? scaleBits : 0x3F000000u;  // 0.5f
        for (int shift = 0; shift < 32; shift += 8) {
            record.push_back(static_cast<char>((bits >> shift) & 0xFF));
        }
        configuration.OnChannelConfiguration(record);
    }
    for (size_t i = 0; i < payloadRecords.size(); i += 4) {
        configuration.OnPayloadConfiguration(payloadRecords.substr(i, 4));
    }
    TAVOBLE_DEVICE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    configuration.Derive(info);  // the layout above is always acceptable

    ScanAssembler assembler(configuration, MaxFillers);
    CheckingSink sink(configuration.ValuesPerScan());
    while (!input.Empty()) {
        const uint8_t selector = input.Byte();
        sink.battery = input.Byte();
        const std::string payload = input.Bytes(selector < 200 ? payloadSize : selector - 200u);
        const uint64_t before = sink.delivered;
        try {
            assembler.OnData(payload, sink.battery, sink);
        } catch (const ApiException& e) {
            Require(sizeAdjustment == 3 && e.ErrorCode() == ErrorCode::Session &&
                    std::string(e.what()) == "Invalid buffer size.");
        }
        const uint64_t scans = sink.delivered - before;
        if (payload.size() != payloadSize || sizeAdjustment == 3) {
            Require(scans == 0);
        } else {
            Require(scans >= configuration.Frames() &&
                    scans <= configuration.Frames() + MaxFillers);
        }
    }
    return 0;
}
