#include "DeviceConfiguration.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "ApiException.h"

namespace Tavo::BLE {

namespace {

constexpr char InvalidAmplifier[] = "Invalid amplifier configuration.";
constexpr char InvalidPayload[] = "Invalid payload configuration.";
constexpr char InvalidChannel[] = "Invalid channel configuration.";

// Counters stop at the top instead of wrapping, so a flood of records cannot
// turn a complete stream back into an incomplete one.
void Count(uint16_t& counter) {
    if (counter != UINT16_MAX) {
        ++counter;
    }
}

}  // namespace

void DeviceConfiguration::SetAmplifierConfiguration(const std::string& value) {
    const auto parsed = ParseAmplifierConfiguration(value);
    if (!parsed) {
        throw InvalidConfiguration(InvalidAmplifier);
    }
    {
        std::lock_guard<std::mutex> tables(tablesMutex_);
        amplifier_ = *parsed;
        expectedChannels_ = amplifier_.channelConfigurationCount;
        expectedPayloads_ = amplifier_.payloadConfigurationCount;
        expectedFilters_ = amplifier_.filterConfigurationCount;
        payloads_.reserve(expectedPayloads_);
    }
    if (amplifier_.numberOfChannels != amplifier_.channelConfigurationCount) {
        throw InvalidConfiguration(InvalidAmplifier);
    }
    if (amplifier_.payloadConfigurationCount == 0) {
        throw InvalidConfiguration(InvalidPayload);
    }
    if (amplifier_.channelConfigurationCount == 0) {
        throw InvalidConfiguration(InvalidChannel);
    }
}

void DeviceConfiguration::OnChannelConfiguration(const std::string& value) noexcept {
    const auto record = ParseChannelConfiguration(value);
    if (!record) {
        return;
    }
    bool complete;
    {
        std::lock_guard<std::mutex> tables(tablesMutex_);
        channels_[record->channelNumber] = *record;
        Count(channelRecords_);
        complete = channelRecords_ >= expectedChannels_;
    }
    Signal(complete);
}

void DeviceConfiguration::OnPayloadConfiguration(const std::string& value) noexcept {
    const auto record = ParsePayloadConfiguration(value);
    if (!record) {
        return;
    }
    bool complete;
    {
        std::lock_guard<std::mutex> tables(tablesMutex_);
        // The n-th record describes the n-th sample, so the list must hold
        // exactly as many records as a payload has samples.
        if (payloads_.size() < expectedPayloads_) {
            payloads_.push_back(*record);
        }
        Count(payloadRecords_);
        complete = payloadRecords_ >= expectedPayloads_;
    }
    Signal(complete);
}

void DeviceConfiguration::OnFilterConfiguration(const std::string& value) noexcept {
    const auto record = ParseFilterConfiguration(value);
    if (!record) {
        return;
    }
    bool complete;
    {
        std::lock_guard<std::mutex> tables(tablesMutex_);
        filters_[record->key] = *record;
        Count(filterRecords_);
        complete = filterRecords_ >= expectedFilters_;
    }
    Signal(complete);
}

void DeviceConfiguration::Signal(bool complete) {
    if (!complete) {
        return;
    }
    {
        std::lock_guard<std::mutex> signal(signalMutex_);
        received_.store(true);
    }
    receivedCondition_.notify_one();
}

bool DeviceConfiguration::WaitReceived(std::unique_lock<std::mutex>& lock) {
    (void)lock;  // proof that the caller holds Mutex(); it stays held
    const auto deadline = std::chrono::steady_clock::now() + CollectionTimeout;
    std::unique_lock<std::mutex> signal(signalMutex_);
    return receivedCondition_.wait_until(signal, deadline, [this] { return received_.load(); });
}

void DeviceConfiguration::Derive(TAVOBLE_DEVICE_INFORMATION& info) {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    const uint16_t n = amplifier_.channelConfigurationCount;

    // Channels: 1..N exactly, and N + 2 values must fit channelTypes.
    if (n == 0 || n > MaxChannels || channels_.size() != n || channels_.begin()->first != 1 ||
        channels_.rbegin()->first != n) {
        throw InvalidConfiguration(InvalidChannel);
    }

    // Payload records: exactly one per sample, each naming a channel 1..N.
    if (payloads_.size() != amplifier_.payloadConfigurationCount || payloads_.empty()) {
        throw InvalidConfiguration(InvalidPayload);
    }
    std::map<uint16_t, uint16_t> frameCounts;
    for (const auto& channel : channels_) {
        frameCounts.emplace(channel.first, 0);
    }
    for (const auto& record : payloads_) {
        if (record.channelNumber < 1 || record.channelNumber > n) {
            throw InvalidConfiguration(InvalidPayload);
        }
        // The last record of a channel decides its count (16-bit, as the
        // amplifier's own field).
        frameCounts[record.channelNumber] = static_cast<uint16_t>(record.frameIndex + 1);
    }
    uint16_t frames = 0;
    for (const auto& entry : frameCounts) {
        // A channel without a payload record has no value to place or hold.
        if (entry.second == 0) {
            throw InvalidConfiguration(InvalidPayload);
        }
        frames = std::max(frames, entry.second);
    }
    // Placement indexes scans by frameIndex, and the hold copies a channel's
    // last sample into the scans after it: a channel whose indices do not
    // ascend would have a real sample overwritten (or one beyond the scans).
    // Two samples for one cell of a scan mean the amplifier's description is
    // wrong (a record repeated in place of another): decoding it would put
    // some sample in the wrong column.
    // A channel must have a sample in every scan up to its last one: a cell
    // without one would keep what the previous payload left there (for the
    // counter, a sample number that is numbered again on every payload).
    std::set<std::pair<uint16_t, uint16_t>> cells;
    std::map<uint16_t, uint16_t> samplesOf;
    for (const auto& record : payloads_) {
        if (record.frameIndex >= frameCounts[record.channelNumber] ||
            !cells.emplace(record.channelNumber, record.frameIndex).second) {
            throw InvalidConfiguration(InvalidPayload);
        }
        ++samplesOf[record.channelNumber];
    }
    for (const auto& entry : frameCounts) {
        // Distinct scans, each below the count: as many as the count means all.
        if (samplesOf[entry.first] != entry.second) {
            throw InvalidConfiguration(InvalidPayload);
        }
    }

    frameCounts_ = std::move(frameCounts);
    frames_ = frames;
    valuesPerScan_ = static_cast<uint16_t>(n + 2);

    std::memset(info.channelTypes, 0, sizeof info.channelTypes);
    info.samplingRate = amplifier_.samplingRate;
    info.numberOfAcquiredChannels = valuesPerScan_;
    size_t i = 0;
    for (const auto& channel : channels_) {
        info.channelTypes[i++] = channel.second.channelType;
    }
    info.channelTypes[i++] = ChannelType::BatteryLevel;
    info.channelTypes[i] = ChannelType::DataValid;
}

std::map<uint16_t, uint16_t> DeviceConfiguration::FrameCounts() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return frameCounts_;
}

std::map<uint16_t, ChannelConfiguration> DeviceConfiguration::Channels() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return channels_;
}

std::vector<PayloadConfiguration> DeviceConfiguration::Payloads() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return payloads_;
}

std::map<uint16_t, FilterConfiguration> DeviceConfiguration::Filters() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return filters_;
}

uint16_t DeviceConfiguration::ChannelRecordsReceived() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return channelRecords_;
}

uint16_t DeviceConfiguration::PayloadRecordsReceived() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return payloadRecords_;
}

uint16_t DeviceConfiguration::FilterRecordsReceived() const {
    std::lock_guard<std::mutex> tables(tablesMutex_);
    return filterRecords_;
}

}  // namespace Tavo::BLE
