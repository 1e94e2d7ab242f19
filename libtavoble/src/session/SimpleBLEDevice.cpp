// SimpleBLEDevice: open and close. Finding the peripheral, making a link,
// keeping it and streaming are in the files named after those jobs.

#include "SimpleBLEDevice.h"

#include "ApiException.h"

namespace Tavo::BLE {
namespace {

constexpr double kSearchLimitMs = 10000.0;

std::atomic<bool> opensEnded{false};

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
        stream_->valuesPerScan = stream_->assembler->ValuesPerScan();
        stream_->counterColumn = stream_->assembler->CounterColumn();
        stream_->queueCapacity = ScanQueue::CapacityFor(
            deviceInformation_.samplingRate, stream_->valuesPerScan, stream_->assembler->Frames());
        linkUp_ = true;
    } catch (...) {
        Close();
        throw;
    }
}

void SimpleBLEDevice::EndOpens() noexcept {
    opensEnded = true;
}

bool SimpleBLEDevice::Closing() {
    return opensEnded || Closed();
}

bool SimpleBLEDevice::Closed() {
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
    std::shared_ptr<ScanDelivery> delivery;
    {
        std::lock_guard<std::mutex> lock(subscriptionMutex_);
        delivery = stream_->delivery;
    }
    if (delivery != nullptr) {
        // No scan is queued or delivered from here on; a callback still
        // running keeps the delivery's memory until it returns.
        delivery->Stop();
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
