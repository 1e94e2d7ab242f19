#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DeviceConfiguration.h"

namespace Tavo::BLE {

// Receives every assembled scan, in order; the device queues it for its
// delivery thread. `scan` is valid only during the call.
class ScanSink {
  public:
    virtual void DeliverScan(const float* scan, uint32_t count) = 0;

  protected:
    ~ScanSink() = default;
};

// One sample: big-endian 24-bit two's complement, sign-extended to 32 bits.
inline int32_t DecodeSample(const uint8_t* bytes) {
    const uint32_t raw = (static_cast<uint32_t>(bytes[0]) << 16) |
                         (static_cast<uint32_t>(bytes[1]) << 8) | static_cast<uint32_t>(bytes[2]);
    return static_cast<int32_t>(raw ^ 0x800000u) - 0x800000;
}

// Decodes one data notification into `buffer`: buffer[i] = sample i × scales[i]
// in single precision, for i below bufferLength.
// size != payloadSize: ApiException("Invalid payload size.", -2).
// bufferLength != payloadSize / 3: ApiException("Invalid buffer size.", 3).
void DecodePayload(const uint8_t* payload, size_t size, uint16_t payloadSize, float* buffer,
                   uint16_t bufferLength, const float* scales);
inline void DecodePayload(const std::string& payload, uint16_t payloadSize, float* buffer,
                          uint16_t bufferLength, const float* scales) {
    DecodePayload(Bytes(payload), payload.size(), payloadSize, buffer, bufferLength, scales);
}

// Turns data notifications into scans of valuesPerScan floats: the channels in
// channel-number order, the battery level, and data-valid (1.0 for a scan from
// the amplifier, 0.0 for a filler standing in for a lost sample).
// Built once per connect, after DeviceConfiguration::Derive(); it allocates
// every buffer up front, so OnData allocates nothing. The previous scans it
// keeps for gap detection persist across streaming periods.
class ScanAssembler {
  public:
    // More fillers than this for one notification are not produced: a hostile
    // counter could otherwise keep the notification thread busy for hours.
    // A 24-bit counter cannot skip more samples per frame than this anyway.
    static constexpr uint32_t MaxFillerScans = 1u << 24;

    explicit ScanAssembler(const DeviceConfiguration& configuration,
                           uint32_t maxFillerScans = MaxFillerScans);

    // One data notification: decode, place, hold sparse channels, number the
    // counter, fill the status columns, deliver filler scans for lost samples
    // (only when there is a counter channel), deliver the scans, then keep them
    // as the previous scans. A payload of the wrong size is dropped silently.
    // If payloadConfigurationCount != payloadSize / 3 every notification throws
    // ApiException("Invalid buffer size.", 3) and nothing is delivered.
    void OnData(const uint8_t* payload, size_t size, uint8_t batteryLevel, ScanSink& sink);
    // The BLE layer's byte array may hand out char or uint8_t data.
    void OnData(const char* payload, size_t size, uint8_t batteryLevel, ScanSink& sink) {
        OnData(reinterpret_cast<const uint8_t*>(payload), size, batteryLevel, sink);
    }
    void OnData(const std::string& payload, uint8_t batteryLevel, ScanSink& sink) {
        OnData(Bytes(payload), payload.size(), batteryLevel, sink);
    }

    // After a reconnect the amplifier may describe the same scans anew (other
    // scales, layout or padding): this assembler, built from the new
    // description, goes on where `earlier` stopped. Sample numbers and fillers
    // continue, also when the frames per notification changed; the counter
    // still counts notifications, each now worth this assembler's frames.
    // Both must have the same values per scan and counter column.
    void ContinueFrom(const ScanAssembler& earlier);

    uint16_t Frames() const { return frames_; }
    uint16_t ValuesPerScan() const { return valuesPerScan_; }
    // Column of the running sample number, or -1 without a counter channel.
    int CounterColumn() const { return counterColumn_; }
    // Scans of the last processed payload (frames × valuesPerScan).
    const std::vector<float>& PreviousScans() const { return previous_; }

  private:
    struct Hold {
        uint32_t column;
        uint16_t fromFrame;  // frames at and above are copies of the frame below
    };

    uint16_t payloadSize_;
    uint16_t sampleCount_;  // payloadConfigurationCount
    uint16_t channels_;     // N
    uint16_t frames_;
    uint16_t valuesPerScan_;
    int counterColumn_ = -1;
    uint32_t maxFillerScans_;

    // The compared counter column, numbered outside the float32 scan.
    static constexpr double kCounterRange = 16777216.0;  // 2^24 raw counter values
    bool haveCounter_ = false;
    double lastCounter_ = 0.0;    // raw counter value of the last notification
    double counterOffset_ = 0.0;  // whole rollovers seen, in counter values
    double lastNumber_ = 0.0;     // sample number of the last scan delivered
    double numberShift_ = 0.0;    // added to every sample number (see ContinueFrom)

    std::vector<float> scales_;       // per sample
    std::vector<uint32_t> cells_;     // per sample: frameIndex × valuesPerScan + column
    std::vector<Hold> holds_;         // sparse channels only
    std::vector<uint32_t> counters_;  // columns of type 5
    std::vector<float> decoded_;      // decode buffer
    std::vector<float> current_;      // frames × valuesPerScan
    std::vector<float> previous_;     // frames × valuesPerScan
    std::vector<float> output_;       // the filler row handed to the sink
};

}  // namespace Tavo::BLE
