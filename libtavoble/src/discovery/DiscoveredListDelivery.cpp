#include "DiscoveredListDelivery.h"

#include <cxxabi.h>

#include <thread>

#include "CallbackScope.h"

namespace Tavo::BLE {

DiscoveredListDelivery::DiscoveredListDelivery(CallbackSource callback, std::function<void()> tick,
                                               std::chrono::milliseconds period)
    : callback_(std::move(callback)), tick_(std::move(tick)), period_(period) {}

void DiscoveredListDelivery::Post(std::vector<char> slots, uint32_t count) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reporting_) {
            return;
        }
        slots_ = std::move(slots);
        count_ = count;
        pending_ = true;
        StartLocked();
    }
    wake_.notify_one();
}

void DiscoveredListDelivery::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    StartLocked();
}

void DiscoveredListDelivery::SetReporting(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    reporting_ = on;
    if (!on) {
        pending_ = false;
        slots_.clear();
    }
}

void DiscoveredListDelivery::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (caller_ == std::this_thread::get_id()) {
        return;  // from inside the callback: it is this very call
    }
    idle_.wait_for(lock, kCallbackPatience, [this] { return !calling_; });
}

void DiscoveredListDelivery::StartLocked() {
    if (running_) {
        return;
    }
    // Detached: it serves until the process ends, as the owner lives that long.
    std::thread([this] { Run(); }).detach();
    running_ = true;
}

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
__attribute__((no_sanitize("null"))) void DiscoveredListDelivery::Run() {
    auto nextTick = std::chrono::steady_clock::now() + period_;
    try {
        for (;;) {
            std::vector<char> slots;
            uint32_t count = 0;
            bool deliver = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait_until(lock, nextTick, [this] { return pending_; });
                if (pending_ && reporting_) {
                    slots.swap(slots_);
                    count = count_;
                    deliver = true;
                    // Taken under the lock that turning reporting off takes,
                    // so a stop either drops this list or waits for its call.
                    calling_ = true;
                    caller_ = std::this_thread::get_id();
                }
                pending_ = false;
            }
            if (deliver) {
                Deliver(slots, count);
            }
            if (std::chrono::steady_clock::now() >= nextTick) {
                nextTick = std::chrono::steady_clock::now() + period_;
                tick_();
            }
        }
    } catch (abi::__forced_unwind&) {
        // The callback ended this thread (an interpreter shutting down does
        // so): the next list starts another one.
        Ended();
        throw;
    } catch (...) {
        // Neither the callback (a C function) nor the tick throws; should one,
        // the next list starts a new thread.
        Ended();
    }
}

void DiscoveredListDelivery::Deliver(std::vector<char>& slots, uint32_t count) {
    // An empty list still gets a valid buffer, as every other list does.
    if (slots.empty()) {
        slots.assign(TAVOBLE_DEVICENAME_LENGTH_MAX, '\0');
    }
    const DeviceDiscoveredCallback callback = callback_();
    if (callback != nullptr) {
        CallbackScope scope;
        callback(reinterpret_cast<char(*)[TAVOBLE_DEVICENAME_LENGTH_MAX]>(slots.data()), count);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    calling_ = false;
    caller_ = std::thread::id();
    idle_.notify_all();
}

void DiscoveredListDelivery::Ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    calling_ = false;
    caller_ = std::thread::id();
    idle_.notify_all();
}

}  // namespace Tavo::BLE
