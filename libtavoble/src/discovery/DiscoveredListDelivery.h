#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
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
    // list not yet delivered. Starts the thread on first use.
    void Post(std::vector<char> slots, uint32_t count);
    // Starts the thread (and so the ticks) if it does not run yet.
    void Start();

  private:
    void Run();
    void StartLocked();

    const CallbackSource callback_;
    const std::function<void()> tick_;
    const std::chrono::milliseconds period_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = false;  // a thread serves the queue
    bool pending_ = false;
    std::vector<char> slots_;
    uint32_t count_ = 0;
};

}  // namespace Tavo::BLE
