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

    // The application's scan: what TAVOBLE_StartScanning and
    // TAVOBLE_StopScanning asked for. Only it empties the list at its start
    // and only while it runs is the discovered callback called.
    void StartScanning() override;
    void StopScanning() override;
    bool IsScanning() override;
    void RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) override;

    // One search of the library's own (an open, a link keeper looking for a
    // lost amplifier): the discovery runs while any search or the
    // application's scan wants it, so a search never starts, stops or
    // restarts the application's scan, nor empties its list.
    class Search {
      public:
        // With `endsApplicationScan` (an open, which ends any scan when its
        // search is over) the application's scan ends with the search.
        Search(SimpleBLEAdapter& adapter, bool endsApplicationScan);
        ~Search();
        Search(const Search&) = delete;
        Search& operator=(const Search&) = delete;
        // Once per pass: (re)starts the discovery when it is not running, for
        // example after the Bluetooth stack ended it. Throws code 2 when
        // Bluetooth is off.
        void KeepScanning();

      private:
        SimpleBLEAdapter& adapter_;
        const bool endsApplicationScan_;
    };

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
    // Throws code 2 when Bluetooth is off (the application's scan ends too).
    void ThrowIfBluetoothOff();
    // Brings the discovery to what is wanted now, or leaves that to the thread
    // already doing so.
    void Drive();
    bool WantedLocked() const { return applicationScan_ || searches_ > 0; }
    void ClearListLocked();
    // Ends the application's scan and its reports (scanMutex_ held).
    void EndApplicationScanLocked();
    // True when the stack reports the discovery running already.
    bool StartDiscovery();
    void StopDiscovery();
    // Asks the stack whether it discovers. A discovery that it reported
    // running and reports no more was ended by the stack (adapter switched
    // off): it is no longer taken for running. Before the stack has reported
    // it once (the Discovering delay) a "no" means nothing.
    void CheckStackScan(const SimpleBLE::Adapter& inUse);
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
    // request wins. Taken before mutex_ (then the delivery's own) where
    // several are held.
    std::mutex scanMutex_;
    bool applicationScan_ = false;  // what the application asked for last
    int searches_ = 0;              // the library's searches under way
    bool active_ = false;           // what the last finished start or stop reached
    bool driving_ = false;          // a thread is starting or stopping the scan
    uint64_t discovery_ = 0;        // counts the starts, to date the stack's answers
    bool stackReported_ = false;    // the stack reported this discovery running
    // Last member: its thread uses the others.
    DiscoveredListDelivery delivery_;
};

}  // namespace Tavo::BLE
