#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ApiException.h"
#include "ConfigurationRecords.h"
#include "tavoble.h"

namespace Tavo::BLE {

// The amplifier described its configuration in a way that cannot be decoded
// (code 3, "Invalid ... configuration."): no retry reads anything else.
class InvalidConfiguration : public ApiException {
  public:
    explicit InvalidConfiguration(const char* message)
        : ApiException(message, ErrorCode::Session) {}
};

// Everything the configuration phase of one amplifier connect collects and
// derives: the amplifier configuration, the three record streams, the frame
// geometry of a data payload and the device information fields that follow.
//
// Threads. The connect thread locks Mutex() for the whole collection and calls
// the BLE layer's unsubscribe while holding it; unsubscribe waits for a running
// notification handler. The handlers therefore never touch Mutex(): they guard
// the tables with a small mutex of their own and signal through an atomic flag.
class DeviceConfiguration {
  public:
    // Longest time the connect waits for one record stream.
    static constexpr std::chrono::milliseconds CollectionTimeout{500};
    // channelTypes has 64 entries and the library appends two.
    static constexpr uint16_t MaxChannels = TAVOBLE_NUMBER_OF_CHANNELS_MAX - 2;

    DeviceConfiguration() = default;
    DeviceConfiguration(const DeviceConfiguration&) = delete;
    DeviceConfiguration& operator=(const DeviceConfiguration&) = delete;

    // The value of the amplifier configuration characteristic. Fewer than 16
    // bytes: "Invalid amplifier configuration."; otherwise the record is kept
    // and checked: channel count mismatch, no payload records, no channels
    // (InvalidConfiguration, the first failing check wins).
    void SetAmplifierConfiguration(const std::string& value);
    const AmplifierConfiguration& Amplifier() const { return amplifier_; }

    // Notification handlers of the three record streams (BLE notification
    // thread). A value shorter than its record is ignored: not stored, not
    // counted. Payload records beyond payloadConfigurationCount are dropped.
    // They throw nothing.
    void OnChannelConfiguration(const std::string& value) noexcept;
    void OnPayloadConfiguration(const std::string& value) noexcept;
    void OnFilterConfiguration(const std::string& value) noexcept;

    // Held by the connect thread for the whole collection.
    std::mutex& Mutex() { return mutex_; }
    // Clears this object's configuration-received flag.
    void ClearReceived() { received_.store(false); }
    // Waits until a handler has seen its stream's announced count, for at most
    // CollectionTimeout from the call: the flag is tested first, and the wait
    // resumes for the remaining time after every wake-up. `lock` must hold
    // Mutex() and stays held. True when the flag was set.
    bool WaitReceived(std::unique_lock<std::mutex>& lock);
    bool Received() const { return received_.load(); }

    // Checks that the collected configuration can be decoded without indexing
    // outside the scan buffers, then derives the frame geometry and fills
    // channelTypes, samplingRate and numberOfAcquiredChannels of `info` (other
    // fields untouched). Throws InvalidConfiguration "Invalid channel
    // configuration." or "Invalid payload configuration." and then leaves
    // `info` untouched.
    void Derive(TAVOBLE_DEVICE_INFORMATION& info);

    // Derived by Derive().
    uint16_t Frames() const { return frames_; }
    uint16_t ValuesPerScan() const { return valuesPerScan_; }
    std::map<uint16_t, uint16_t> FrameCounts() const;

    // Snapshots of what the handlers collected.
    std::map<uint16_t, ChannelConfiguration> Channels() const;
    std::vector<PayloadConfiguration> Payloads() const;
    std::map<uint16_t, FilterConfiguration> Filters() const;
    uint16_t ChannelRecordsReceived() const;
    uint16_t PayloadRecordsReceived() const;
    uint16_t FilterRecordsReceived() const;

  private:
    void Signal(bool complete);

    AmplifierConfiguration amplifier_;

    // Guards the tables and counters below, and the expected counts the
    // handlers compare against. Handlers lock only this one.
    mutable std::mutex tablesMutex_;
    uint16_t expectedChannels_ = 0;
    uint16_t expectedPayloads_ = 0;
    uint16_t expectedFilters_ = 0;
    std::map<uint16_t, ChannelConfiguration> channels_;
    std::vector<PayloadConfiguration> payloads_;
    std::map<uint16_t, FilterConfiguration> filters_;
    uint16_t channelRecords_ = 0;
    uint16_t payloadRecords_ = 0;
    uint16_t filterRecords_ = 0;

    std::map<uint16_t, uint16_t> frameCounts_;
    uint16_t frames_ = 0;
    uint16_t valuesPerScan_ = 0;

    // Held by the connecting thread while it collects, as the protocol's
    // connect does; the handlers never take it, so it guards no data.
    std::mutex mutex_;
    std::atomic<bool> received_{false};
    // Signalling pair: the waiter sleeps on signalMutex_, not on Mutex(), so a
    // handler can publish the flag under it and no wake-up is ever lost.
    std::mutex signalMutex_;
    std::condition_variable receivedCondition_;
};

}  // namespace Tavo::BLE
