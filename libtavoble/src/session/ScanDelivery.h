#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ScanQueue.h"
#include "tavoble.h"

namespace Tavo::BLE {

// Hands one amplifier's scans from the Bluetooth notification thread to the
// application's data callback, in order, once each. A slow or blocked
// callback holds up neither the Bluetooth stack nor any other amplifier; what
// it cannot take in time is dropped at the oldest end of a bounded queue and
// reaches it as filler scans.
//
// Two ways to run the callback:
// - OwnThread: a delivery thread of this device's own. For a central that
//   calls every device's notification handlers on one thread (SimpleBLE).
// - NotificationThread: on the thread that handed the scans in, when no
//   other call is delivering; otherwise they are queued for that one. For a
//   central whose notification threads are the device's own and which reads
//   on another thread while one is stuck in the callback (the in-tree one).
//   Nothing is handed between threads then, so the stream costs what it did
//   with no queue at all.
//
// The mutex guards the queue and the state below; it is held only to copy a
// scan in or out, never while the callback runs, so the notification thread
// never waits for the application. The delivery thread holds this object by
// shared pointer: it outlives the device while a callback is still running.
class ScanDelivery final : public std::enable_shared_from_this<ScanDelivery> {
  public:
    // How long removing the callback or stopping waits for a running call of
    // it to return before leaving it to finish by itself.
    static constexpr std::chrono::milliseconds kCallbackPatience{200};

    enum class Mode { OwnThread, NotificationThread };

    ScanDelivery(uint16_t valuesPerScan, uint32_t capacity, int counterColumn,
                 Mode mode = Mode::OwnThread);
    ScanDelivery(const ScanDelivery&) = delete;
    ScanDelivery& operator=(const ScanDelivery&) = delete;

    // Notification thread: queues one scan (nothing when no callback is set
    // or delivery has stopped). Wake() after the last scan of a notification
    // hands the notification's scans over together and lets the delivery
    // thread run once per notification, not per scan; in NotificationThread
    // mode it delivers them itself unless another call is delivering.
    void Push(const float* scan, uint32_t count);
    void Wake();

    // The handle passed to the callback; set before the first callback.
    void SetHandle(TAVOBLE_HANDLE handle) { handle_ = handle; }
    TAVOBLE_HANDLE Handle() const { return handle_; }

    // Stores the callback; null also drops what is queued, so no scan reaches
    // any callback afterwards. Starts the thread when needed.
    void SetCallback(DataAvailableCallback callback);
    DataAvailableCallback Callback() const { return callback_.load(); }
    // Waits up to kCallbackPatience for a running callback to return, unless
    // this thread is the one running it.
    void WaitForCallback();
    // For good: no scan is queued or delivered any more. Waits as
    // WaitForCallback() does.
    void Stop();

    uint64_t Dropped();

  private:
    void EnsureThread();
    void Run();
    void DeliverHere();
    void Call(std::unique_lock<std::mutex>& lock, DataAvailableCallback deliver, float* scan);

    const Mode mode_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable returned_;
    ScanQueue queue_;
    std::atomic<DataAvailableCallback> callback_{nullptr};
    std::atomic<TAVOBLE_HANDLE> handle_{0};
    bool stopping_ = false;
    bool waiting_ = false;  // the thread sleeps for scans
    // A delivery thread exists. One that the callback ended (pthread_exit,
    // as an interpreter does at shutdown) is replaced at the next SetCallback.
    bool running_ = false;
    bool inCallback_ = false;  // it is inside the callback now
    bool delivering_ = false;  // a notification thread is delivering
    std::thread::id deliverer_;
    std::vector<float> scan_;  // the scan handed to the callback in DeliverHere()
};

}  // namespace Tavo::BLE
