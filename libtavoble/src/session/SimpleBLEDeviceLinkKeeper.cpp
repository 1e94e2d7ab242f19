// SimpleBLEDevice: the link keeper, which makes a lost link again for as
// long as the device stays open.

#include "SimpleBLEDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace Tavo::BLE {
namespace {

// Everything the application was told about the amplifier, field by field.
bool SameRecord(const TAVOBLE_DEVICE_INFORMATION& a, const TAVOBLE_DEVICE_INFORMATION& b) {
    return std::memcmp(a.modelNumber, b.modelNumber, sizeof a.modelNumber) == 0 &&
           std::memcmp(a.serialNumber, b.serialNumber, sizeof a.serialNumber) == 0 &&
           std::memcmp(a.firmwareRevision, b.firmwareRevision, sizeof a.firmwareRevision) == 0 &&
           std::memcmp(a.hardwareRevision, b.hardwareRevision, sizeof a.hardwareRevision) == 0 &&
           std::memcmp(a.manufacturerName, b.manufacturerName, sizeof a.manufacturerName) == 0 &&
           std::memcmp(a.channelTypes, b.channelTypes, sizeof a.channelTypes) == 0 &&
           a.numberOfAcquiredChannels == b.numberOfAcquiredChannels &&
           a.samplingRate == b.samplingRate;
}

// One reconnect attempt searches this long; the scan runs throughout, so an
// amplifier that comes back is seen within a pass or two.
constexpr double kReconnectSearchLimitMs = 5000.0;
// Without a disconnection notice (a stack that misses one), the link is
// looked at this often.
constexpr auto kLinkCheck = std::chrono::milliseconds(500);
// Pauses between failed attempts: 0.5 s, doubling, capped at 5 s.
constexpr auto kFirstBackOff = std::chrono::milliseconds(500);
constexpr auto kMaxBackOff = std::chrono::milliseconds(5000);

}  // namespace

bool SimpleBLEDevice::WaitClosing(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(watch_->mutex);
    return watch_->changed.wait_for(lock, duration, [this] { return watch_->closing; });
}

void SimpleBLEDevice::KeepLink() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(watch_->mutex);
            watch_->changed.wait_for(lock, kLinkCheck,
                                     [this] { return watch_->closing || watch_->lost; });
            if (watch_->closing) {
                return;
            }
            watch_->lost = false;
        }
        bool up = false;
        try {
            up = link_.peripheral.is_connected();
        } catch (...) {
        }
        if (up) {
            continue;
        }
        {
            // The subscriptions went with the link.
            std::lock_guard<std::mutex> lock(subscriptionMutex_);
            linkUp_ = false;
            dataSubscribed_ = false;
            batterySubscribed_ = false;
        }
        auto backOff = kFirstBackOff;
        while (!Reconnect()) {
            if (configurationChanged_ || WaitClosing(backOff)) {
                return;
            }
            backOff = std::min(backOff * 2, kMaxBackOff);
        }
    }
}

void SimpleBLEDevice::TakeDescription(const DeviceConfiguration& configuration) {
    // Handed to the reader, which owns the assembler: it continues from the
    // old one at the new link's first notification.
    auto assembler = std::make_unique<ScanAssembler>(configuration);
    const uint64_t link = ++stream_->link;
    std::lock_guard<std::mutex> lock(stream_->descriptionMutex);
    stream_->nextAssembler = std::move(assembler);
    stream_->nextLink = link;
}

bool SimpleBLEDevice::Reconnect() {
    if (Closing()) {
        return false;
    }
    Link link;
    auto fresh = std::make_shared<Stream>();
    TAVOBLE_DEVICE_INFORMATION information{};
    try {
        ConnectLink(serialNumber_, link, fresh, information, kReconnectSearchLimitMs, false);
    } catch (const InvalidConfiguration&) {
        // The amplifier came back describing scans that cannot be decoded:
        // trying again reads the same. The application is told, as for
        // another record, instead of hearing nothing while the amplifier is
        // connected again and again. ConnectLink has dropped the link.
        configurationChanged_ = true;
        return false;
    } catch (...) {
        return false;
    }
    // The application was told what a scan holds (the record): scans of
    // another amplifier, channel layout or rate must not reach a callback set
    // up for this one. Within the same record the amplifier may describe its
    // samples anew (scales, payload layout, padding): every record was read
    // again, and the new link's scans are decoded by what it says now.
    const bool same = SameRecord(information, deviceInformation_);
    if (!same || Closing()) {
        try {
            link.peripheral.disconnect();
        } catch (...) {
        }
        if (!same) {
            configurationChanged_ = true;
        }
        return false;
    }
    std::lock_guard<std::mutex> lock(subscriptionMutex_);
    TakeDescription(fresh->configuration);
    link_ = std::move(link);
    linkUp_ = true;
    stream_->batteryLevel = fresh->batteryLevel.load();
    try {
        if (HasCallback()) {
            Subscribe();
        }
    } catch (...) {
        // The link went again while subscribing; the next round retries.
        linkUp_ = false;
        dataSubscribed_ = false;
        batterySubscribed_ = false;
        return false;
    }
    return true;
}

}  // namespace Tavo::BLE
