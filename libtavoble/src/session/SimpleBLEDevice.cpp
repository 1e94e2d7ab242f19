// SimpleBLEDevice: open and close. Finding the peripheral, making a link,
// keeping it and streaming are in the files named after those jobs.

#include "SimpleBLEDevice.h"

#include "ApiException.h"

namespace Tavo::BLE {
namespace {

constexpr double kSearchLimitMs = 10000.0;

#ifdef SIMPLEBLE_NOTIFY_THREAD_PER_SUBSCRIPTION
// Each device's notifications arrive on threads of its own: its scans are
// delivered there, with no hand-off to another thread.
constexpr ScanDelivery::Mode kDeliveryMode = ScanDelivery::Mode::NotificationThread;
#else
// One thread for every device's notifications: each device delivers on its own.
constexpr ScanDelivery::Mode kDeliveryMode = ScanDelivery::Mode::OwnThread;
#endif

}  // namespace

SimpleBLEDevice::SimpleBLEDevice(std::string serialNumber)
    : serialNumber_(std::move(serialNumber)), stream_(std::make_shared<Stream>()) {
    Connect(serialNumber_);
    keeper_ = std::thread([this] { KeepLink(); });
}

SimpleBLEDevice::~SimpleBLEDevice() {
    Close();
}

TAVOBLE_DEVICE_INFORMATION SimpleBLEDevice::GetDeviceInformation() {
    ThrowIfUnusable();
    return deviceInformation_;
}

void SimpleBLEDevice::ThrowIfUnusable() const {
    if (configurationChanged_) {
        throw ApiException("The amplifier's configuration changed; close and open it again.",
                           ErrorCode::Session);
    }
}

void SimpleBLEDevice::Connect(const std::string& serialNumber) {
    try {
        ConnectLink(serialNumber, link_, stream_, deviceInformation_, kSearchLimitMs, true);
        stream_->assembler = std::make_unique<ScanAssembler>(stream_->configuration);
        const uint16_t width = stream_->assembler->ValuesPerScan();
        stream_->delivery = std::make_shared<ScanDelivery>(
            width, ScanQueue::CapacityFor(deviceInformation_.samplingRate, width),
            stream_->assembler->CounterColumn(), kDeliveryMode);
        linkUp_ = true;
    } catch (...) {
        Close();
        throw;
    }
}

bool SimpleBLEDevice::Closing() {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    return watch_->closing;
}

void SimpleBLEDevice::Close() noexcept {
    stream_->closed = true;
    {
        std::lock_guard<std::mutex> lock(watch_->mutex);
        watch_->closing = true;
        watch_->changed.notify_all();
    }
    {
        // A connect in progress is cut short rather than waited for.
        std::lock_guard<std::mutex> lock(attemptMutex_);
        try {
            if (attempt_.initialized()) {
                attempt_.disconnect();
            }
        } catch (...) {
        }
    }
    if (keeper_.joinable()) {
        if (keeper_.get_id() == std::this_thread::get_id()) {
            keeper_.detach();
        } else {
            keeper_.join();
        }
    }
    if (stream_->delivery != nullptr) {
        // No scan is queued or delivered from here on; a callback still
        // running keeps the delivery's memory until it returns.
        stream_->delivery->Stop();
    }
    try {
        std::lock_guard<std::mutex> lock(subscriptionMutex_);
        MatchSubscription();
    } catch (...) {
    }
    try {
        if (link_.peripheral.initialized() && link_.peripheral.is_connected()) {
            link_.peripheral.disconnect();
        }
    } catch (...) {
    }
}

}  // namespace Tavo::BLE
