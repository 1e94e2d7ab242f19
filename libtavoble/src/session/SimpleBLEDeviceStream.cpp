// SimpleBLEDevice: the data callback, the subscriptions that follow it, and
// the notification handlers.

#include "SimpleBLEDevice.h"

namespace Tavo::BLE {

void SimpleBLEDevice::Subscribe() {
    // Subscribing again while subscribed would only swap the same handler.
    if (!dataSubscribed_) {
        const uint64_t link = stream_->link;
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

void SimpleBLEDevice::RegisterDataAvailableCallback(TAVOBLE_HANDLE handle,
                                                    DataAvailableCallback callback) {
    if (!stream_->closed) {
        ThrowIfUnusable();
    }
    if (stream_->valuesPerScan == 0) {
        return;  // never connected: nothing to deliver or subscribe
    }
    ScanDelivery* delivery = nullptr;
    {
        // Stored and matched under one lock: whichever registration takes it
        // last decides both the callback and the subscription. Nothing here
        // waits for the callback (the reader never runs it), so a callback
        // may register from inside itself.
        std::lock_guard<std::mutex> lock(subscriptionMutex_);
        if (stream_->delivery == nullptr) {
            if (callback == nullptr || stream_->closed) {
                return;
            }
            // Made before the first data subscription starts the reader,
            // which therefore sees it.
            stream_->delivery = std::make_shared<ScanDelivery>(
                handle, stream_->valuesPerScan, stream_->queueCapacity, stream_->counterColumn);
        }
        delivery = stream_->delivery.get();
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
    // An amplifier that dropped the link has no subscription left to end,
    // also when the link drops between the look and the call.
    if (!link_.peripheral.is_connected()) {
        return;
    }
    try {
        link_.peripheral.unsubscribe(service.uuid(), characteristic.uuid());
    } catch (const SimpleBLE::Exception::NotConnected&) {
    }
}

// The reader: one notification's bytes in, its scans into the queue. The
// central calls this for one notification at a time, so the assembler needs
// no lock of its own.
void SimpleBLEDevice::Stream::OnData(const SimpleBLE::ByteArray& value, uint64_t from) {
    ScanDelivery* const queue = delivery.get();
    if (queue == nullptr || closed) {
        return;
    }
    try {
        ScanAssembler* const decoder = AssemblerFor(from);
        if (decoder == nullptr) {
            return;
        }
        decoder->OnData(value.data(), value.size(), batteryLevel.load(), *this);
    } catch (...) {
        // The scans of this notification are lost; the stream goes on.
    }
    queue->EndNotification();
}

ScanAssembler* SimpleBLEDevice::Stream::AssemblerFor(uint64_t from) {
    if (from != assemblerLink) {
        // The first notification of a new link: its description, handed over
        // by the link keeper, takes over where the old one stopped. A value
        // the old link still handed in after that is not decoded at all.
        std::lock_guard<std::mutex> lock(descriptionMutex);
        if (nextAssembler == nullptr || from != nextLink) {
            return nullptr;
        }
        if (assembler != nullptr) {
            nextAssembler->ContinueFrom(*assembler);
        }
        assembler = std::move(nextAssembler);
        assemblerLink = nextLink;
    }
    return assembler.get();
}

void SimpleBLEDevice::Stream::OnBatteryLevel(const SimpleBLE::ByteArray& value) noexcept {
    batteryLevel = value.empty() ? 0 : value[0];
}

void SimpleBLEDevice::Stream::DeliverScan(const float* scan, uint32_t /*count*/) {
    delivery->Push(scan);
}

}  // namespace Tavo::BLE
