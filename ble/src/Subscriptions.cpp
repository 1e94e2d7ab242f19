// Notification subscriptions by object path.

#include "Central.h"

#include <utility>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"
#include "NotificationChannel.h"

namespace SimpleBLE::detail {

void Central::waitNotRunning(std::unique_lock<std::mutex>& lock, const Subscription* sub) {
    // On the event thread the callback is either this caller or not running.
    if (!onEventThread()) {
        dispatchDone_.wait(lock, [&] { return running_ != sub; });
    }
}

bool Central::subscribe(const std::string& path, bool battery, std::shared_ptr<Subscription> sub) {
    if (battery) {
        std::unique_lock<std::mutex> lock(dispatchMutex_);
        std::shared_ptr<Subscription> old = std::exchange(batterySubs_[path], std::move(sub));
        if (old) {
            old->active = false;
            waitNotRunning(lock, old.get());
        }
        return true;
    }
    std::shared_ptr<NotificationChannel> channel = NotificationChannel::open(path, std::move(sub));
    if (!channel) {
        return false;
    }
    std::shared_ptr<NotificationChannel> old;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        old = std::exchange(channels_[path], channel);
    }
    // The old reader is done before the new one starts (its values wait on
    // its connection meanwhile): a characteristic has one reader at a time.
    if (old) {
        old->close();
    }
    channel->start();
    return true;
}

bool Central::unsubscribe(const std::string& path, bool battery) {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    if (!battery) {
        auto it = channels_.find(path);
        if (it == channels_.end()) {
            return false;
        }
        std::shared_ptr<NotificationChannel> old = std::move(it->second);
        channels_.erase(it);
        lock.unlock();
        old->close();
        return true;
    }
    auto it = batterySubs_.find(path);
    if (it == batterySubs_.end()) {
        return false;
    }
    std::shared_ptr<Subscription> old = std::move(it->second);
    batterySubs_.erase(it);
    old->active = false;
    waitNotRunning(lock, old.get());
    return true;
}

}  // namespace SimpleBLE::detail
