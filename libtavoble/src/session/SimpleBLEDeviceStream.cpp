// SimpleBLEDevice: the data callback, the subscriptions that follow it, and
// the notification handlers.

#include "SimpleBLEDevice.h"

#include <cxxabi.h>

#include "DeviceRegistry.h"

namespace Tavo::BLE {

void SimpleBLEDevice::Subscribe() {
    // Subscribing again while subscribed would only swap the same handler.
    if (!dataSubscribed_) {
        uint64_t link = 0;
        {
            std::lock_guard<std::mutex> lock(stream_->assemblyMutex);
            link = stream_->link;
        }
        link_.peripheral.notify(
            link_.amplifierService.uuid(), link_.dataCharacteristic.uuid(),
            Bind(stream_, [link](Stream& held, const SimpleBLE::ByteArray& value) {
                held.OnData(value, link);
            }));
        dataSubscribed_ = true;
    }
    if (!batterySubscribed_) {
        link_.peripheral.notify(link_.batteryService.uuid(),
                                link_.batteryLevelCharacteristic.uuid(),
                                Bind(stream_, [](Stream& held, const SimpleBLE::ByteArray& value) {
                                    held.OnBatteryLevel(value);
                                }));
        batterySubscribed_ = true;
    }
}

bool SimpleBLEDevice::HasCallback() const {
    return stream_->delivery != nullptr && stream_->delivery->Callback() != nullptr;
}

void SimpleBLEDevice::RegisterDataAvailableCallback(DataAvailableCallback callback) {
    if (!stream_->closed) {
        ThrowIfUnusable();
    }
    ScanDelivery* const delivery = stream_->delivery.get();
    if (delivery == nullptr) {
        return;  // never connected: nothing to deliver or subscribe
    }
    if (callback != nullptr && delivery->Handle() == 0) {
        // Looked up once, while the device is certainly in the table: the
        // delivery thread never looks it up, so it cannot meet a handle that
        // was reused for another device.
        delivery->SetHandle(DeviceRegistry::Instance().GetHandle(this));
    }
    {
        // Stored and matched under one lock: whichever registration takes it
        // last decides both the callback and the subscription. Nothing here
        // waits for the callback (the notification handlers only queue), so a
        // callback may register from inside itself.
        std::lock_guard<std::mutex> lock(subscriptionMutex_);
        const DataAvailableCallback previous = delivery->Callback();
        delivery->SetCallback(callback);
        try {
            MatchSubscription();
        } catch (...) {
            // Not subscribed: the callback that was stored before stays.
            if (previous == nullptr) {
                delivery->SetCallback(nullptr);
            }
            throw;
        }
    }
    if (callback == nullptr) {
        // A callback that returns promptly has returned when this does.
        delivery->WaitForCallback();
    }
}

void SimpleBLEDevice::MatchSubscription() {
    if (!linkUp_) {
        // Outage: the stored callback is what the link keeper subscribes for.
        return;
    }
    if (HasCallback()) {
        Subscribe();
        return;
    }
    if (dataSubscribed_) {
        dataSubscribed_ = false;
        Unsubscribe(link_.amplifierService, link_.dataCharacteristic);
    }
    if (batterySubscribed_) {
        batterySubscribed_ = false;
        Unsubscribe(link_.batteryService, link_.batteryLevelCharacteristic);
    }
}

void SimpleBLEDevice::Unsubscribe(SimpleBLE::Service& service,
                                  SimpleBLE::Characteristic& characteristic) {
    // An amplifier that dropped the link has no subscription left to end.
    if (!link_.peripheral.is_connected()) {
        return;
    }
    link_.peripheral.unsubscribe(service.uuid(), characteristic.uuid());
}

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
__attribute__((no_sanitize("null"))) void SimpleBLEDevice::Stream::OnData(
    const SimpleBLE::ByteArray& value, uint64_t from) {
    try {
        if (delivery != nullptr && !closed) {
            {
                std::lock_guard<std::mutex> lock(assemblyMutex);
                // A value the old link still handed in after the new one
                // brought its own description is not decoded by it.
                if (assembler == nullptr || from != link) {
                    return;
                }
                assembler->OnData(value.data(), value.size(), batteryLevel.load(), *this);
            }
            delivery->Wake();
        }
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended (e.g. by an interpreter shutting down)
    } catch (...) {
        // The scans of this notification are lost; the stream goes on.
    }
}

void SimpleBLEDevice::Stream::OnBatteryLevel(const SimpleBLE::ByteArray& value) noexcept {
    batteryLevel = value.empty() ? 0 : value[0];
}

void SimpleBLEDevice::Stream::DeliverScan(const float* scan, uint32_t count) {
    delivery->Push(scan, count);
}

}  // namespace Tavo::BLE
