#include "ScanAssembler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ApiException.h"

namespace Tavo::BLE {

void DecodePayload(const uint8_t* payload, size_t size, uint16_t payloadSize, float* buffer,
                   uint16_t bufferLength, const float* scales) {
    if (size != payloadSize) {
        throw ApiException("Invalid payload size.", ErrorCode::PayloadSize);
    }
    if (bufferLength != payloadSize / 3) {
        throw ApiException("Invalid buffer size.", ErrorCode::Session);
    }
    // 3 × bufferLength <= payloadSize == size: every sample lies in the payload.
    for (size_t i = 0; i < bufferLength; ++i) {
        buffer[i] = static_cast<float>(DecodeSample(payload + 3 * i)) * scales[i];
    }
}

ScanAssembler::ScanAssembler(const DeviceConfiguration& configuration, uint32_t maxFillerScans)
    : payloadSize_(configuration.Amplifier().payloadSize),
      sampleCount_(configuration.Amplifier().payloadConfigurationCount),
      channels_(configuration.Amplifier().channelConfigurationCount),
      frames_(configuration.Frames()),
      valuesPerScan_(configuration.ValuesPerScan()),
      maxFillerScans_(maxFillerScans) {
    const auto channels = configuration.Channels();
    const auto payloads = configuration.Payloads();
    const auto frameCounts = configuration.FrameCounts();

    // Derive() has checked every index used below; these guards only keep an
    // assembler built without it (or after it failed) from writing anywhere.
    const bool derived = valuesPerScan_ == channels_ + 2u && frames_ > 0 &&
                         payloads.size() == sampleCount_ && channels.size() == channels_;
    if (!derived) {
        frames_ = 0;
    }

    scales_.assign(sampleCount_, 0.0f);
    cells_.assign(sampleCount_, 0);
    for (size_t i = 0; derived && i < payloads.size(); ++i) {
        const auto& record = payloads[i];
        const auto channel = channels.find(record.channelNumber);
        scales_[i] = channel != channels.end() ? channel->second.scaleFactor : 0.0f;
        cells_[i] =
            static_cast<uint32_t>(record.frameIndex) * valuesPerScan_ + (record.channelNumber - 1u);
    }
    for (uint32_t column = 0; derived && column < channels_; ++column) {
        const auto count = frameCounts.find(static_cast<uint16_t>(column + 1));
        const uint16_t k = count != frameCounts.end() ? count->second : uint16_t{0};
        if (k >= 1 && k < frames_) {
            holds_.push_back({column, k});
        }
        const auto channel = channels.find(static_cast<uint16_t>(column + 1));
        if (channel != channels.end() && channel->second.channelType == ChannelType::Counter) {
            counters_.push_back(column);
            counterColumn_ = static_cast<int>(column);  // the highest counter column wins
        }
    }

    decoded_.assign(sampleCount_, 0.0f);
    current_.assign(static_cast<size_t>(frames_) * valuesPerScan_, 0.0f);
    previous_.assign(current_.size(), 0.0f);
    output_.assign(valuesPerScan_, 0.0f);
}

void ScanAssembler::OnData(const uint8_t* payload, size_t size, uint8_t batteryLevel,
                           ScanSink& sink) {
    // A notification of the wrong size is dropped without a word: no scan,
    // nothing changed. Checked here so the drop costs no exception.
    if (size != payloadSize_) {
        return;
    }
    DecodePayload(payload, size, payloadSize_, decoded_.data(), sampleCount_, scales_.data());
    if (frames_ == 0) {
        return;
    }

    const size_t width = valuesPerScan_;
    float* const current = current_.data();

    // Placement: sample i goes to its channel's column in its frame.
    for (size_t i = 0; i < sampleCount_; ++i) {
        current[cells_[i]] = decoded_[i];
    }

    // Sparse channels: frames after a channel's last sample repeat it.
    for (const Hold& hold : holds_) {
        const float value = current[(hold.fromFrame - 1u) * width + hold.column];
        for (size_t frame = hold.fromFrame; frame < frames_; ++frame) {
            current[frame * width + hold.column] = value;
        }
    }

    // Counter channels count payloads; the running sample number counts scans.
    // The column is float32, exact only up to 2^24, which a long recording
    // passes within hours: the compared counter is therefore numbered in
    // double (exact far beyond any recording) and unwrapped where the 24-bit
    // counter rolls over from its top back to the bottom of its range.
    const float frames = static_cast<float>(frames_);
    for (const uint32_t column : counters_) {
        if (static_cast<int>(column) == counterColumn_) {
            continue;
        }
        for (size_t frame = 0; frame < frames_; ++frame) {
            float& cell = current[frame * width + column];
            cell = frames * (cell - 1.0f) + static_cast<float>(frame) + 1.0f;
        }
    }
    double firstNumber = 0.0;
    if (counterColumn_ >= 0) {
        const size_t counter = static_cast<size_t>(counterColumn_);
        const double raw = static_cast<double>(current[counter]);
        if (haveCounter_ && lastCounter_ - raw > kCounterRange / 2.0) {
            counterOffset_ += kCounterRange;
        }
        haveCounter_ = true;
        lastCounter_ = raw;
        const double framesD = static_cast<double>(frames_);
        for (size_t frame = 0; frame < frames_; ++frame) {
            float& cell = current[frame * width + counter];
            const double number = framesD * (static_cast<double>(cell) + counterOffset_ - 1.0) +
                                  static_cast<double>(frame) + 1.0 + numberShift_;
            if (frame == 0) {
                firstNumber = number;
            }
            cell = static_cast<float>(number);
        }
    }

    // Status columns.
    const float battery = static_cast<float>(batteryLevel);
    for (size_t frame = 0; frame < frames_; ++frame) {
        current[frame * width + channels_] = battery;
        current[frame * width + channels_ + 1] = 1.0f;
    }

    // Lost samples: one filler per missing sample number, each a copy of the
    // last scan delivered with data-valid 0.0. Without a counter channel there
    // is no sample number to compare.
    const float* const last = previous_.data() + (frames_ - 1u) * width;
    if (counterColumn_ >= 0) {
        const size_t counter = static_cast<size_t>(counterColumn_);
        const double missing = firstNumber - lastNumber_ - 1.0;
        // Truncation towards zero; NaN and anything below one give no filler.
        uint32_t fillers = 0;
        if (missing >= 1.0) {
            fillers = missing >= static_cast<double>(maxFillerScans_)
                          ? maxFillerScans_
                          : static_cast<uint32_t>(missing);
        }
        for (uint32_t k = 0; k < fillers; ++k) {
            std::memcpy(output_.data(), last, width * sizeof(float));
            output_[counter] = static_cast<float>(lastNumber_ + static_cast<double>(k) + 1.0);
            output_[channels_ + 1u] = 0.0f;
            sink.DeliverScan(output_.data(), valuesPerScan_);
        }
        lastNumber_ = firstNumber + static_cast<double>(frames_ - 1u);
    }

    // The scans go to the sink straight from their rows here.
    for (size_t frame = 0; frame < frames_; ++frame) {
        sink.DeliverScan(current + frame * width, valuesPerScan_);
    }

    std::memcpy(previous_.data(), current, current_.size() * sizeof(float));
}

void ScanAssembler::ContinueFrom(const ScanAssembler& earlier) {
    if (frames_ == 0 || earlier.frames_ == 0 || earlier.valuesPerScan_ != valuesPerScan_ ||
        earlier.counterColumn_ != counterColumn_) {
        return;
    }
    // The last scan delivered is what the next fillers repeat.
    const size_t width = valuesPerScan_;
    std::memcpy(previous_.data() + (frames_ - 1u) * width,
                earlier.previous_.data() + (earlier.frames_ - 1u) * width, width * sizeof(float));
    if (!earlier.haveCounter_) {
        return;
    }
    haveCounter_ = true;
    lastCounter_ = earlier.lastCounter_;
    counterOffset_ = earlier.counterOffset_;
    lastNumber_ = earlier.lastNumber_;
    // The next counter value must name the number after the last one:
    // frames × (counter + offset) + shift = lastNumber at the last counter.
    numberShift_ = lastNumber_ - static_cast<double>(frames_) * (lastCounter_ + counterOffset_);
}

}  // namespace Tavo::BLE
