// Where the scans of each open amplifier go: the rings of the Python objects
// reading it in chunks, and at most one further per-scan callback. The
// library calls deliver() on the amplifier's delivery thread; route changes
// come from application threads and never make deliver() wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "ScanRing.h"

namespace tavo_ble {

using ScanCallback = void (*)(uint64_t handle, const float* scan, uint32_t count);

class ScanRoutes {
  public:
    static constexpr size_t kSlots = 256;  // amplifiers routed at once

    ScanRoutes() = default;
    // Only when no delivery can run any more (the package's instance lives
    // for the whole process).
    ~ScanRoutes();
    ScanRoutes(const ScanRoutes&) = delete;
    ScanRoutes& operator=(const ScanRoutes&) = delete;

    // The library's data callback: appends the scan to the handle's rings,
    // then calls its per-scan callback.
    void deliver(uint64_t handle, const float* scan, uint32_t count);

    // Replaces the route of `handle` (no rings and no callback removes it).
    // Returns once no delivery uses the old route any more (a delivery on the
    // calling thread itself excepted), so a ring taken out may be destroyed.
    // False when every slot is taken.
    bool set(uint64_t handle, const std::vector<ScanRing*>& rings, ScanCallback callback);

  private:
    struct Route {
        std::vector<ScanRing*> rings;
        ScanCallback callback = nullptr;
    };
    struct Slot {
        std::atomic<uint64_t> handle{0};  // 0: free
        std::atomic<Route*> route{nullptr};
        std::atomic<uint32_t> busy{0};  // deliveries inside the route now
    };

    Slot* find(uint64_t handle);
    void quiesce(Slot& slot);

    Slot slots_[kSlots];
};

}  // namespace tavo_ble
