#include "ScanRoutes.h"

#include <sched.h>

#include <memory>
#include <mutex>

namespace tavo_ble {

namespace {
// The slot whose route the calling thread is delivering through now, so that
// a route change made from inside its own callback does not wait for itself.
thread_local const void* tlDelivering = nullptr;
// Route changes are serialised; deliveries never take this lock.
std::mutex setMutex;
}  // namespace

ScanRoutes::~ScanRoutes() {
    for (Slot& s : slots_) {
        delete s.route.exchange(nullptr);
    }
}

ScanRoutes::Slot* ScanRoutes::find(uint64_t handle) {
    for (Slot& s : slots_) {
        if (s.handle.load(std::memory_order_acquire) == handle) {
            return &s;
        }
    }
    return nullptr;
}

void ScanRoutes::deliver(uint64_t handle, const float* scan, uint32_t count) {
    const double arrival = monotonicSeconds();
    Slot* slot = find(handle);
    if (slot == nullptr || handle == 0) {
        return;
    }
    // seq_cst pairs with set(): either it sees this delivery busy, or this
    // delivery sees the route it stored.
    slot->busy.fetch_add(1, std::memory_order_seq_cst);
    const Route* route = slot->route.load(std::memory_order_seq_cst);
    ScanCallback callback = nullptr;
    if (route != nullptr && slot->handle.load(std::memory_order_acquire) == handle) {
        for (ScanRing* ring : route->rings) {
            ring->push(scan, count, arrival);
        }
        callback = route->callback;
    }
    if (callback != nullptr) {
        // The route is not touched past this point: a change made inside the
        // callback may free it.
        const void* outer = tlDelivering;
        tlDelivering = slot;
        callback(handle, scan, count);
        tlDelivering = outer;
    }
    slot->busy.fetch_sub(1, std::memory_order_seq_cst);
}

void ScanRoutes::quiesce(Slot& slot) {
    const uint32_t own = tlDelivering == &slot ? 1 : 0;
    while (slot.busy.load(std::memory_order_seq_cst) > own) {
        sched_yield();
    }
}

bool ScanRoutes::set(uint64_t handle, const std::vector<ScanRing*>& rings, ScanCallback callback) {
    if (handle == 0) {
        return false;
    }
    const bool remove = rings.empty() && callback == nullptr;
    std::unique_ptr<Route> old;
    Slot* slot = nullptr;
    {
        // Held only to pick the slot and swap the route, never while waiting
        // below: a callback may change another route meanwhile.
        std::lock_guard<std::mutex> lock(setMutex);
        slot = find(handle);
        if (slot == nullptr) {
            if (remove) {
                return true;
            }
            for (Slot& s : slots_) {
                if (s.handle.load(std::memory_order_relaxed) == 0 &&
                    s.route.load(std::memory_order_relaxed) == nullptr) {
                    slot = &s;
                    break;
                }
            }
            if (slot == nullptr) {
                return false;
            }
        }
        if (remove) {
            slot->handle.store(0, std::memory_order_seq_cst);
        }
        old.reset(slot->route.exchange(remove ? nullptr : new Route{rings, callback},
                                       std::memory_order_seq_cst));
        if (!remove) {
            slot->handle.store(handle, std::memory_order_seq_cst);
        }
    }
    quiesce(*slot);
    return true;
}

}  // namespace tavo_ble
