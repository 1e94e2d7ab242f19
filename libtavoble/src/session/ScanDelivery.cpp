#include "ScanDelivery.h"

#include <cxxabi.h>

#include "CallbackScope.h"

namespace Tavo::BLE {

ScanDelivery::ScanDelivery(TAVOBLE_HANDLE handle, uint16_t valuesPerScan, uint32_t capacity,
                           int counterColumn)
    : handle_(handle), queue_(valuesPerScan, capacity, counterColumn) {}

void ScanDelivery::Push(const float* scan) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
        return;
    }
    // Read under the lock: a scan pushed after a removal has taken the
    // queue back must not be queued as a real one.
    if (callback_.load() == nullptr) {
        queue_.Skip(scan);
    } else {
        queue_.Push(scan);
    }
}

void ScanDelivery::EndNotification() {
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
            queue_.Abandon();
            return;
        }
        ++registrations_;
        if (stopping_) {
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
// `scan` is the queue's output row, which only this thread writes (in Pop).
// A forced unwind (the callback ended its thread) passes on with the lock
// held again and this thread no longer the delivery thread; a callback
// registered while the ending one ran gets a new thread at once (its
// registration found this one still running). A forced unwind has no
// exception object: the sanitizer must not check the reference its handler
// binds.
__attribute__((no_sanitize("null"))) void ScanDelivery::Call(std::unique_lock<std::mutex>& lock,
                                                             DataAvailableCallback deliver,
                                                             float* scan) {
    inCallback_ = true;
    const uint64_t registrations = registrations_;
    lock.unlock();
    try {
        CallbackScope scope;
        deliver(handle_, scan, queue_.ValuesPerScan());
    } catch (abi::__forced_unwind&) {
        lock.lock();
        inCallback_ = false;
        running_ = false;
        deliverer_ = std::thread::id();
        if (!stopping_ && registrations_ != registrations && callback_.load() != nullptr) {
            EnsureThread();
        }
        returned_.notify_all();
        throw;
    } catch (...) {
        // A C++ callback's exception must not end delivery.
    }
    lock.lock();
    inCallback_ = false;
    returned_.notify_all();
}

__attribute__((no_sanitize("null"))) void ScanDelivery::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    deliverer_ = std::this_thread::get_id();
    try {
        for (;;) {
            DataAvailableCallback deliver = nullptr;
            float* scan = nullptr;
            while (!stopping_ &&
                   ((deliver = callback_.load()) == nullptr || (scan = queue_.Pop()) == nullptr)) {
                waiting_ = true;
                wake_.wait(lock);
                waiting_ = false;
            }
            if (stopping_) {
                break;
            }
            Call(lock, deliver, scan);
        }
    } catch (abi::__forced_unwind&) {
        // The thread is ended: by the callback (Call() has handed over), or
        // cancelled while it waited. The next SetCallback starts another.
        if (!lock.owns_lock()) {
            lock.lock();
        }
        if (deliverer_ == std::this_thread::get_id()) {
            running_ = false;
            deliverer_ = std::thread::id();
        }
        throw;
    }
    running_ = false;
    deliverer_ = std::thread::id();
}

}  // namespace Tavo::BLE
