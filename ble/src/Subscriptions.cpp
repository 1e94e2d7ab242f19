// Notification subscriptions by object path.

#include "Central.h"

#include <utility>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "CentralEvents.h"
#include "GattTree.h"
#include "MessageDecoding.h"
#include "NotificationChannel.h"

namespace SimpleBLE::detail {

namespace {
// A callback found inside the same call at two ticks gets another thread to
// read its channel on. While none is found inside one, the ticks space out
// (the watchdog's own wake-ups would cost a stream more than its reading).
constexpr std::chrono::milliseconds kWatchdogTick{100};
constexpr std::chrono::milliseconds kIdleWatchdogTick{500};
}  // namespace

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
        old = std::exchange(channels_[path], std::move(channel));
        if (!watching_) {
            watching_ = true;
            // Never joined, like the event thread: it lives as long as the process.
            std::thread([this] { watchChannels(); }).detach();
        }
    }
    channelsChanged_.notify_all();
    if (old) {
        old->close();
    }
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

void Central::endSubscriptionsOf(const std::string& device) {
    // BlueZ ends the notify sessions of a link that went; the channels that
    // served them (a connection and a thread each) would otherwise wait for an
    // unsubscribe that a program closing during the outage never makes.
    std::vector<std::shared_ptr<NotificationChannel>> ended;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        for (auto it = channels_.begin(); it != channels_.end();) {
            if (isSubPath(it->first, device)) {
                ended.push_back(std::move(it->second));
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
        channel->close(false);  // a running callback is left to return by itself
    }
}

void Central::watchChannels() {
    std::vector<std::shared_ptr<NotificationChannel>> channels;
    std::chrono::milliseconds tick = kWatchdogTick;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(dispatchMutex_);
            // Asleep while there is nothing to watch; a tick otherwise.
            channelsChanged_.wait(lock, [this] { return !channels_.empty(); });
            channelsChanged_.wait_for(lock, tick);
            channels.clear();
            for (auto& [path, channel] : channels_) {
                channels.push_back(channel);
            }
        }
        bool calling = false;
        for (auto& channel : channels) {
            calling = channel->look() || calling;
        }
        channels.clear();
        tick = calling ? kWatchdogTick : std::min(tick * 2, kIdleWatchdogTick);
    }
}

}  // namespace SimpleBLE::detail
