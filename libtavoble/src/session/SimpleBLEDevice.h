#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <simpleble/SimpleBLE.h>

#include "AmplifierClaim.h"
#include "DeviceConfiguration.h"
#include "IDevice.h"
#include "ScanAssembler.h"
#include "ScanDelivery.h"

namespace Tavo::BLE {

// The connection to one amplifier: found by its serial number, connected and
// configured by the constructor, streaming while a data callback is set.
// A dropped link is re-made by the device's own link keeper thread for as long
// as the device stays open; the scans go on with the same numbering.
class SimpleBLEDevice final : public IDevice {
  public:
    explicit SimpleBLEDevice(std::string serialNumber);
    // Unsubscribes, disconnects, and waits for no handler of this device to be
    // running before its buffers go (except on the handler's own thread, whose
    // buffers then go when it returns).
    ~SimpleBLEDevice() override;

    // The process is ending: every open under way ends as if its device were
    // closed (a search at its next pass, a read at once, disconnecting what
    // it linked), and so does every open started later. A connect under way
    // is waited for: its helper would drop the link only after the process
    // is gone.
    static void EndOpens() noexcept;

    TAVOBLE_DEVICE_INFORMATION GetDeviceInformation() override;
    void RegisterDataAvailableCallback(TAVOBLE_HANDLE handle,
                                       DataAvailableCallback callback) override;

  private:
    // What the device's reader uses: the notification handlers, which the
    // central calls on the device's reading thread (or SimpleBLE's callback
    // thread), one notification at a time. They hold it by weak pointer and
    // keep it alive while they run, so a handler never meets freed memory.
    // The data handler is the reader's whole job: bytes of one notification
    // in, scans into the delivery queue; it never runs application code nor
    // waits for it (see ScanDelivery).
    struct Stream final : ScanSink {
        // A notification of the link numbered `link`; one of a link that has
        // since been replaced is dropped.
        void OnData(const SimpleBLE::ByteArray& value, uint64_t link);
        void OnBatteryLevel(const SimpleBLE::ByteArray& value) noexcept;
        void DeliverScan(const float* scan, uint32_t count) override;
        // The reader's assembler for a notification of link `from`; null
        // when the notification is to be dropped.
        ScanAssembler* AssemblerFor(uint64_t from);

        DeviceConfiguration configuration;
        // The reader's alone: the assembler and the number of the link whose
        // description it decodes by. Made at connect, before any subscription.
        std::unique_ptr<ScanAssembler> assembler;
        uint64_t assemblerLink = 0;
        // A reconnect's new description, handed from the link keeper to the
        // reader, which takes it up at the new link's first notification
        // (descriptionMutex: once per reconnect, never per notification).
        std::mutex descriptionMutex;
        std::unique_ptr<ScanAssembler> nextAssembler;
        uint64_t nextLink = 0;
        // The newest link's number, bound into its data handler; guarded by
        // the device's subscriptionMutex_.
        uint64_t link = 0;
        // Fixed at connect: what the delivery queue is made with.
        uint16_t valuesPerScan = 0;
        int counterColumn = -1;
        // Made at the first registration of a callback, before the data
        // subscription that starts the reader.
        std::shared_ptr<ScanDelivery> delivery;
        // 2 notifications' worth of scans at least (set at connect).
        uint32_t queueCapacity = 0;
        std::atomic<uint8_t> batteryLevel{100};
        std::atomic<bool> closed{false};
    };

    // Everything that belongs to one link to the amplifier; made again on
    // every reconnect.
    struct Link {
        SimpleBLE::Peripheral peripheral;
        std::vector<SimpleBLE::Service> services;
        SimpleBLE::Service amplifierService;
        SimpleBLE::Service batteryService;
        SimpleBLE::Characteristic dataCharacteristic;
        SimpleBLE::Characteristic batteryLevelCharacteristic;
        SimpleBLE::Characteristic channelConfigurationCharacteristic;
        SimpleBLE::Characteristic payloadConfigurationCharacteristic;
        SimpleBLE::Characteristic filterConfigurationCharacteristic;
    };

    // Shared with the central's disconnection notice, which may outlive us.
    struct LinkWatch {
        std::mutex mutex;
        std::condition_variable changed;
        bool lost = false;
        bool closing = false;
    };

    // What a search found: every connectable peer advertising the serial
    // number, in the order seen; or, with `remembered`, only the peripheral
    // the amplifier was last linked through, which no scan reported.
    struct Found {
        std::vector<SimpleBLE::Peripheral> peers;
        bool remembered = false;
    };
    Found FindPeripheral(const std::string& serialNumber, double limitMs, bool endsApplicationScan,
                         bool mayRemember);
    void Connect(const std::string& serialNumber);
    // Finds, connects and configures one link into `link`, collecting the
    // configuration into `stream` and the record into `information`. On failure
    // the half-made link is dropped and the exception rethrown.
    // `opening`: the search of TAVOBLE_OpenDevice, not of the link keeper.
    void ConnectLink(const std::string& serialNumber, Link& link,
                     const std::shared_ptr<Stream>& stream, TAVOBLE_DEVICE_INFORMATION& information,
                     double searchLimitMs, bool opening);
    // Claims the peer's amplifier for this program unless this device holds
    // it already (a new claim is left in `claim`). False, with the reason in
    // `refusal`, when another running program holds it.
    bool Claim(SimpleBLE::Peripheral& peripheral, std::unique_ptr<AmplifierClaim>& claim,
               std::string& refusal);
    void CollectStream(Link& link, const std::shared_ptr<Stream>& stream,
                       std::unique_lock<std::mutex>& lock, uint16_t count,
                       const char* characteristicUuid, SimpleBLE::Characteristic& characteristic,
                       void (DeviceConfiguration::*handler)(const std::string&),
                       const char* failure);
    void ReadDeviceInformation(Link& link, TAVOBLE_DEVICE_INFORMATION& information);
    // Links the first of `candidates` that this program may claim and that
    // connects, into `link`; a refusal's reason is left in `refusal`.
    bool ConnectCandidate(const std::vector<SimpleBLE::Peripheral>& candidates, Link& link,
                          std::string& refusal, std::chrono::steady_clock::time_point giveUpAt);
    // Connects on a helper thread; gives up (and leaves the helper to drop a
    // late link) when the device is closed or at `giveUpAt`.
    bool ConnectPeripheral(const SimpleBLE::Peripheral& peripheral,
                           std::chrono::steady_clock::time_point giveUpAt =
                               std::chrono::steady_clock::time_point::max());
    SimpleBLE::Service FindBatteryService(Link& link);
    void WatchLink(SimpleBLE::Peripheral& peripheral);
    void KeepLink();
    bool Reconnect();
    // Decodes the scans of the new link by the description it came with,
    // going on where the old one stopped.
    void TakeDescription(const DeviceConfiguration& configuration);
    bool WaitClosing(std::chrono::milliseconds duration);
    // Closed, or the process is ending (EndOpens).
    bool Closing();
    // Closed by its owner.
    bool Closed();
    void ThrowIfUnusable() const;
    void Subscribe();
    // Makes the subscriptions match the stored callback; subscriptionMutex_ held.
    void MatchSubscription();
    bool HasCallback() const;
    void Close() noexcept;
    void Unsubscribe(SimpleBLE::Service& service, SimpleBLE::Characteristic& characteristic);

    SimpleBLE::Service FindService(std::vector<SimpleBLE::Service> services, const char* uuid);
    SimpleBLE::Characteristic FindCharacteristic(SimpleBLE::Service service, const char* uuid);
    SimpleBLE::ByteArray ReadCharacteristic(Link& link, const char* serviceUuid,
                                            const char* characteristicUuid);

    template <typename Handler>
    static std::function<void(SimpleBLE::ByteArray)> Bind(const std::shared_ptr<Stream>& stream,
                                                          Handler handler);

    std::string serialNumber_;
    Link link_;  // guarded by subscriptionMutex_ once the keeper runs
    TAVOBLE_DEVICE_INFORMATION deviceInformation_{};
    std::shared_ptr<Stream> stream_;
    // Serialises subscribing, unsubscribing and swapping in a new link.
    std::mutex subscriptionMutex_;
    bool dataSubscribed_ = false;
    bool batterySubscribed_ = false;
    bool linkUp_ = false;
    std::atomic<bool> configurationChanged_{false};
    std::shared_ptr<LinkWatch> watch_ = std::make_shared<LinkWatch>();
    // The peripheral of a reconnect in progress, so closing can cut it short.
    std::mutex attemptMutex_;
    SimpleBLE::Peripheral attempt_;
    std::thread keeper_;
    // This program's claim of the amplifier, from the first link until the
    // device is destroyed (after its close has disconnected). Used by the
    // thread that connects: the constructor's, then the keeper's.
    std::unique_ptr<AmplifierClaim> claim_;
};

// A notification handler that reaches the stream only while it exists.
template <typename Handler>
std::function<void(SimpleBLE::ByteArray)> SimpleBLEDevice::Bind(
    const std::shared_ptr<Stream>& stream, Handler handler) {
    return [weak = std::weak_ptr<Stream>(stream), handler](SimpleBLE::ByteArray value) {
        if (std::shared_ptr<Stream> held = weak.lock()) {
            handler(*held, value);
        }
    };
}

}  // namespace Tavo::BLE
