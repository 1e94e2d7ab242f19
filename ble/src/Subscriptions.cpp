// Notification subscriptions by object path.

#include "Central.h"

#include <utility>

#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "CentralEvents.h"
#include "GattTree.h"
#include "MessageDecoding.h"
#include "NotificationChannel.h"

namespace SimpleBLE::detail {

void Central::waitNotRunning(std::unique_lock<std::mutex>& lock, const Subscription* sub) {
    // On the event thread the callback is either this caller or not running.
    if (!onEventThread()) {
        dispatchDone_.wait(lock, [&] { return running_ != sub; });
    }
}

std::shared_ptr<NotificationChannel> Central::takeEnded(const std::string& path) {
    auto it = ended_.find(path);
    if (it == ended_.end()) {
        return nullptr;
    }
    std::shared_ptr<NotificationChannel> ended = it->second.lock();
    ended_.erase(it);
    return ended;
}

bool Central::subscribe(const std::string& path, bool battery, std::shared_ptr<Subscription> sub,
                        int socket) {
    if (battery) {
        if (socket >= 0) {
            ::close(socket);  // Battery1 has no socket to read
        }
        std::unique_lock<std::mutex> lock(dispatchMutex_);
        std::shared_ptr<Subscription> old = std::exchange(batterySubs_[path], std::move(sub));
        if (old) {
            old->active = false;
            waitNotRunning(lock, old.get());
        }
        return true;
    }
    std::shared_ptr<NotificationChannel> channel =
        NotificationChannel::open(path, std::move(sub), socket);
    if (!channel) {
        return false;
    }
    std::shared_ptr<NotificationChannel> old;
    std::shared_ptr<NotificationChannel> ended;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        old = std::exchange(channels_[path], channel);
        ended = takeEnded(path);
    }
    // The old reader is done before the new one starts (its values wait on
    // its connection meanwhile): a characteristic has one reader at a time.
    if (old) {
        old->close();
    }
    if (ended) {
        ended->close();
    }
    channel->start();
    return true;
}

bool Central::unsubscribe(const std::string& path, bool battery, bool* acquired) {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    if (acquired != nullptr) {
        *acquired = false;
    }
    if (!battery) {
        std::shared_ptr<NotificationChannel> ended = takeEnded(path);
        std::shared_ptr<NotificationChannel> old;
        auto it = channels_.find(path);
        if (it != channels_.end()) {
            old = std::move(it->second);
            channels_.erase(it);
        }
        lock.unlock();
        if (ended) {
            ended->close();
        }
        if (old) {
            if (acquired != nullptr) {
                *acquired = old->acquired();
            }
            old->close();
        }
        return old != nullptr;
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

void Central::endSubscriptionsOf(const std::string& device) {
    // BlueZ ends the notify sessions of a link that went; the channels that
    // served them (a connection and a thread each) would otherwise wait for an
    // unsubscribe that a program closing during the outage never makes. Their
    // thread leaves once it has delivered what was queued (an unsubscribe
    // stops it at once) and a running callback returned; until then a
    // new subscription or an unsubscribe of the path waits for it (one reader
    // at a time). The channel, its connection and thread go with the thread.
    std::vector<std::shared_ptr<NotificationChannel>> ended;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        for (auto it = ended_.begin(); it != ended_.end();) {
            it = it->second.expired() ? ended_.erase(it) : std::next(it);
        }
        for (auto it = channels_.begin(); it != channels_.end();) {
            if (isSubPath(it->first, device)) {
                ended.push_back(it->second);
                ended_[it->first] = std::move(it->second);
                it = channels_.erase(it);
            } else {
                ++it;
            }
        }
        // On the event thread a battery callback is this caller or not running.
        auto battery = batterySubs_.find(device);
        if (battery != batterySubs_.end()) {
            battery->second->active = false;
            batterySubs_.erase(battery);
        }
    }
    for (auto& channel : ended) {
        // The values sent before the link went are on their way (BlueZ sent
        // them before it said so): they are still delivered, then the
        // channel's thread leaves. Does not wait.
        channel->end();
    }
}

}  // namespace SimpleBLE::detail
