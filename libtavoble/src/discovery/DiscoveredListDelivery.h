#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tavoble.h"

namespace Tavo::BLE {

// Hands the amplifier list to the application's discovered callback on a
// thread of its own, so a slow callback never holds up the Bluetooth stack's
// thread (its scans, replies and notifications). Only the newest list waits:
// one that arrives while an older one is still waiting replaces it, so a
// callback that cannot keep up sees fewer, current lists and memory stays
// bounded. The thread also runs `tick` about every `period`, callback or not.
class DiscoveredListDelivery {
  public:
    using CallbackSource = std::function<DeviceDiscoveredCallback()>;

    DiscoveredListDelivery(CallbackSource callback, std::function<void()> tick,
                           std::chrono::milliseconds period);
    // Never destroyed while its thread may run: the owner lives until exit.
    ~DiscoveredListDelivery() = default;
    DiscoveredListDelivery(const DiscoveredListDelivery&) = delete;
    DiscoveredListDelivery& operator=(const DiscoveredListDelivery&) = delete;

    // Queues `count` names in 15-byte slots for the callback, replacing a
    // list not yet delivered; ignored while reporting is off. Starts the
    // thread on first use.
    void Post(std::vector<char> slots, uint32_t count);
    // Starts the thread (and so the ticks) if it does not run yet.
    void Start();
    // Reporting follows the application's scan: off, a waiting list is
    // dropped and none is taken any more. Call WaitIdle() without a lock held
    // to also wait for a call already taken (see there).
    void SetReporting(bool on);
    // Returns once no callback call is under way, or after kCallbackPatience
    // when one still runs (the application's callback may wait for the
    // caller); at once on the delivery thread itself.
    void WaitIdle();

    static constexpr std::chrono::milliseconds kCallbackPatience{200};

  private:
    void Run();
    void StartLocked();
    // Calls the application with one list taken from the slot.
    void Deliver(std::vector<char>& slots, uint32_t count);
    // The thread leaves (the callback ended it): the next list starts another.
    void Ended();

    const CallbackSource callback_;
    const std::function<void()> tick_;
    const std::chrono::milliseconds period_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = false;  // a thread serves the queue
    bool reporting_ = false;
    bool calling_ = false;  // a list was taken for the callback and it has not returned
    std::thread::id caller_;
    std::condition_variable idle_;
    bool pending_ = false;
    std::vector<char> slots_;
    uint32_t count_ = 0;
};

}  // namespace Tavo::BLE
