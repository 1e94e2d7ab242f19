#include "ScanDelivery.h"

#include <cxxabi.h>

#include <vector>

#include "CallbackScope.h"

namespace Tavo::BLE {

ScanDelivery::ScanDelivery(uint16_t valuesPerScan, uint32_t capacity, int counterColumn, Mode mode)
    : mode_(mode), queue_(valuesPerScan, capacity, counterColumn), scan_(valuesPerScan) {}

void ScanDelivery::Push(const float* scan, uint32_t count) {
    if (count != queue_.ValuesPerScan() || callback_.load() == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
        queue_.Push(scan);
    }
}

void ScanDelivery::Wake() {
    if (mode_ == Mode::NotificationThread) {
        DeliverHere();
        return;
    }
    bool sleeping = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.Commit();
        sleeping = waiting_ && !queue_.Empty();
    }
    if (sleeping) {
        wake_.notify_one();
    }
}

void ScanDelivery::SetCallback(DataAvailableCallback callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callback_ = callback;
        if (callback == nullptr) {
            queue_.Clear();
            return;
        }
        if (stopping_ || mode_ == Mode::NotificationThread) {
            return;
        }
        EnsureThread();
    }
    wake_.notify_one();
}

void ScanDelivery::EnsureThread() {
    if (running_) {
        return;
    }
    // Detached: it holds this object, and closing never waits for a callback
    // that does not return.
    std::thread([self = shared_from_this()] { self->Run(); }).detach();
    running_ = true;
}

void ScanDelivery::WaitForCallback() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (deliverer_ == std::this_thread::get_id()) {
        return;  // the callback itself: it returns after this call
    }
    returned_.wait_for(lock, kCallbackPatience, [this] { return !inCallback_; });
}

void ScanDelivery::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        callback_ = nullptr;
        queue_.Clear();
    }
    wake_.notify_all();
    WaitForCallback();
}

uint64_t ScanDelivery::Dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.Dropped();
}

// Calls the callback with one scan outside the lock, marked by inCallback_.
// A forced unwind (the callback ended its thread) passes on with the lock
// held again and the mark cleared. A forced unwind has no exception object:
// the sanitizer must not check the reference its handler binds.
__attribute__((no_sanitize("null"))) void ScanDelivery::Call(std::unique_lock<std::mutex>& lock,
                                                             DataAvailableCallback deliver,
                                                             float* scan) {
    inCallback_ = true;
    lock.unlock();
    try {
        CallbackScope scope;
        deliver(handle_.load(), scan, queue_.ValuesPerScan());
    } catch (abi::__forced_unwind&) {
        lock.lock();
        inCallback_ = false;
        returned_.notify_all();
        throw;
    } catch (...) {
        // A C++ callback's exception must not end delivery.
    }
    lock.lock();
    inCallback_ = false;
    returned_.notify_all();
}

__attribute__((no_sanitize("null"))) void ScanDelivery::DeliverHere() {
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.Commit();
    if (delivering_ || stopping_) {
        return;  // the call that delivers takes these scans too, in order
    }
    delivering_ = true;
    deliverer_ = std::this_thread::get_id();
    try {
        DataAvailableCallback deliver = nullptr;
        while (!stopping_ && (deliver = callback_.load()) != nullptr && queue_.Pop(scan_.data())) {
            Call(lock, deliver, scan_.data());
        }
    } catch (abi::__forced_unwind&) {
        // The callback ended this thread; the next notification delivers.
        delivering_ = false;
        deliverer_ = std::thread::id();
        throw;
    }
    delivering_ = false;
    deliverer_ = std::thread::id();
}

__attribute__((no_sanitize("null"))) void ScanDelivery::Run() {
    std::vector<float> scan(queue_.ValuesPerScan());
    std::unique_lock<std::mutex> lock(mutex_);
    deliverer_ = std::this_thread::get_id();
    try {
        for (;;) {
            DataAvailableCallback deliver = nullptr;
            while (!stopping_ &&
                   ((deliver = callback_.load()) == nullptr || !queue_.Pop(scan.data()))) {
                waiting_ = true;
                wake_.wait(lock);
                waiting_ = false;
            }
            if (stopping_) {
                break;
            }
            Call(lock, deliver, scan.data());
        }
    } catch (abi::__forced_unwind&) {
        // The callback ended this thread; the next SetCallback starts another.
        if (!lock.owns_lock()) {
            lock.lock();
        }
        running_ = false;
        deliverer_ = std::thread::id();
        throw;
    }
    running_ = false;
    deliverer_ = std::thread::id();
}

}  // namespace Tavo::BLE
