#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include <simpleble/SimpleBLE.h>

#include "DiscoveredListDelivery.h"
#include "IAdapter.h"

namespace Tavo::BLE {

// The host's single Bluetooth adapter, its scan, and the list of amplifiers
// currently advertising.
class SimpleBLEAdapter final : public IAdapter {
  public:
    // Built on first use; a failed build (code 2) is retried on the next call.
    static SimpleBLEAdapter* GetInstance();

    void StartScanning() override;
    void StopScanning() override;
    bool IsScanning() override;
    void RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) override;

    // A copy of the amplifiers seen since the last start, in first-seen order.
    std::vector<SimpleBLE::Peripheral> GetPeripherals();

    // The peripherals the Bluetooth stack holds a link to already (one a
    // killed program left up, say): they do not advertise while connected.
    std::vector<SimpleBLE::Peripheral> GetConnectedPeripherals();

    // Handler of every advertisement report, found or updated.
    static void OnScanFound(SimpleBLE::Peripheral peripheral);

    // Serial-number shape: first 'U' at 0, first '-' at 2, first '.' at 7.
    static bool IsRecognisedName(const std::string& name);

  private:
    explicit SimpleBLEAdapter(SimpleBLE::Adapter adapter);
    ~SimpleBLEAdapter() override = default;
    static SimpleBLEAdapter* Build();
    void OnAdvertisement(SimpleBLE::Peripheral& peripheral);
    // Brings the scan to `wanted`, or leaves that to the thread already doing so.
    void SetScanning(bool wanted);
    void StartDiscovery();
    void StopDiscovery();
    // The stack's notice that the discovery ended, asked for or not.
    void OnDiscoveryEnded();
    // The adapter to use now: when the one in use has gone and a single other
    // one is there (unplugged and another plugged in), that one, as a program
    // started now would choose.
    SimpleBLE::Adapter CurrentAdapter();
    // Drops amplifiers silent for too long; true when one went. Under mutex_.
    bool SweepLocked(std::chrono::steady_clock::time_point now);
    // Copies the list into name slots for the discovered callback. Under mutex_.
    void PostListLocked();
    // Runs about every half second on the delivery thread: while scanning, an
    // amplifier that fell silent leaves the list even when nothing else
    // advertises to trigger the sweep.
    void SweepSilent();

    std::mutex adapterMutex_;  // guards adapter_, which may be replaced
    SimpleBLE::Adapter adapter_;
    // Guards the two lists, which the scan thread changes while application
    // threads copy or clear them. Never held while calling the application.
    std::mutex mutex_;
    std::vector<SimpleBLE::Peripheral> peripherals_;
    std::vector<std::string> names_;  // identifier() of each peripheral, read once
    std::vector<std::chrono::steady_clock::time_point> lastSeen_;
    std::atomic<DeviceDiscoveredCallback> callback_{nullptr};
    // The library's own scan state, not the Bluetooth stack's, which lags
    // behind a start and may refuse a second one. At most one thread starts
    // or stops at a time, without the lock, so a callback that starts or
    // stops never waits for a D-Bus call that needs its thread; the last
    // request wins. Taken before mutex_ where both are held (never now).
    std::mutex scanMutex_;
    bool wanted_ = false;   // what the application asked for last
    bool active_ = false;   // what the last finished start or stop reached
    bool driving_ = false;  // a thread is starting or stopping the scan
    // Last member: its thread uses the others.
    DiscoveredListDelivery delivery_;
};

}  // namespace Tavo::BLE
