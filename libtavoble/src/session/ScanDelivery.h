#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ScanQueue.h"
#include "tavoble.h"

namespace Tavo::BLE {

// Hands one amplifier's scans from its reader (the thread that takes its
// notifications off the bus) to the application's data callback, on a
// delivery thread of this device's own: in order, once each, one call at a
// time. The reader never runs the callback and never waits for it, so a slow
// or blocked callback holds up neither the Bluetooth stack nor any other
// amplifier; what it cannot take in time is dropped at the oldest end of a
// bounded queue and reaches it as filler scans.
//
// The mutex guards the queue and the state below; it is held only to copy a
// scan in or out, never while the callback runs. The delivery thread holds
// this object by shared pointer: it outlives the device while a callback is
// still running.
class ScanDelivery final : public std::enable_shared_from_this<ScanDelivery> {
  public:
    // How long removing the callback or stopping waits for a running call of
    // it to return before leaving it to finish by itself.
    static constexpr std::chrono::milliseconds kCallbackPatience{200};

    // `handle` is what the callback is given with every scan.
    ScanDelivery(TAVOBLE_HANDLE handle, uint16_t valuesPerScan, uint32_t capacity,
                 int counterColumn);
    ScanDelivery(const ScanDelivery&) = delete;
    ScanDelivery& operator=(const ScanDelivery&) = delete;

    // Reader: queues one scan (nothing once delivery has stopped; while no
    // callback is set, only its number, for a filler). EndNotification()
    // after the last scan of a notification hands its scans over together
    // and wakes the delivery thread at most once per notification, not per
    // scan.
    void Push(const float* scan);
    void EndNotification();

    // Stores the callback; null also takes back what is queued, so no scan
    // reaches any callback afterwards. The scans taken back, and those the
    // reader assembles until the subscription ends, were counted off by the
    // assembler: the next callback gets each as a filler under its number,
    // before the scans of its own stream. Starts the delivery thread when
    // needed.
    void SetCallback(DataAvailableCallback callback);
    DataAvailableCallback Callback() const { return callback_.load(); }
    // Waits up to kCallbackPatience for a running callback to return, unless
    // this thread is the one running it.
    void WaitForCallback();
    // For good: no scan is queued or delivered any more. Waits as
    // WaitForCallback() does.
    void Stop();

    uint16_t ValuesPerScan() const { return queue_.ValuesPerScan(); }
    uint64_t Dropped();

  private:
    void EnsureThread();
    void Run();
    void Call(std::unique_lock<std::mutex>& lock, DataAvailableCallback deliver, float* scan);

    const TAVOBLE_HANDLE handle_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable returned_;
    ScanQueue queue_;
    std::atomic<DataAvailableCallback> callback_{nullptr};
    bool stopping_ = false;
    bool waiting_ = false;  // the thread sleeps for scans
    // A delivery thread exists. One that the callback ended (pthread_exit,
    // as an interpreter does at shutdown) is replaced at the next SetCallback.
    bool running_ = false;
    bool inCallback_ = false;     // it is inside the callback now
    uint64_t registrations_ = 0;  // non-null callbacks set so far
    std::thread::id deliverer_;
};

}  // namespace Tavo::BLE
