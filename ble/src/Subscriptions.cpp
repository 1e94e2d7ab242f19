// Notification subscriptions by object path.

#include "Central.h"

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

void Central::waitNotRunning(std::unique_lock<std::mutex>& lock, const Subscription* sub) {
    // On the event thread the callback is either this caller or not running.
    if (!onEventThread()) {
        dispatchDone_.wait(lock, [&] { return running_ != sub; });
    }
}

void Central::subscribe(const std::string& path, bool battery, std::shared_ptr<Subscription> sub) {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    auto& slot = (battery ? batterySubs_ : characteristicSubs_)[path];
    std::shared_ptr<Subscription> old = std::move(slot);
    slot = std::move(sub);
    if (old) {
        old->active = false;
        waitNotRunning(lock, old.get());
    }
}

bool Central::unsubscribe(const std::string& path, bool battery) {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    auto& subs = battery ? batterySubs_ : characteristicSubs_;
    auto it = subs.find(path);
    if (it == subs.end()) {
        return false;
    }
    std::shared_ptr<Subscription> old = std::move(it->second);
    subs.erase(it);
    old->active = false;
    waitNotRunning(lock, old.get());
    return true;
}

}  // namespace SimpleBLE::detail
