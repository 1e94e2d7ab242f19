#include "NotificationChannel.h"

#include <cxxabi.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

namespace {
// The channel whose callback this thread is inside, if any: closing it from
// there must not wait for itself.
thread_local const NotificationChannel* tInside = nullptr;
}  // namespace

NotificationChannel::NotificationChannel(std::string path, std::shared_ptr<Subscription> sub)
    : path_(std::move(path)), sub_(std::move(sub)) {}

NotificationChannel::~NotificationChannel() {
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

std::shared_ptr<NotificationChannel> NotificationChannel::open(const std::string& path,
                                                               std::shared_ptr<Subscription> sub) {
    std::shared_ptr<NotificationChannel> channel(new NotificationChannel(path, std::move(sub)));
    channel->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (channel->wakeFd_ < 0) {
        return nullptr;
    }
    try {
        channel->conn_ = sdbus::createSystemBusConnection();
        // Only this characteristic's values come here; the central's own
        // connection does not hear them at all.
        NotificationChannel* const raw = channel.get();
        channel->conn_->addMatch(
            "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
            "member='PropertiesChanged',path='" +
                path + "',arg0='" + kCharacteristicInterface + "'",
            [raw](sdbus::Message& msg) { raw->onSignal(msg); }, sdbus::floating_slot);
    } catch (const sdbus::Error&) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(channel->mutex_);
    channel->start();
    return channel;
}

void NotificationChannel::start() {
    const uint64_t generation = ++generations_;
    leader_ = generation;
    leaderInCall_ = false;
    // Detached: it holds the channel, and nobody waits for a callback that
    // does not return.
    std::thread([self = shared_from_this(), generation] { self->run(generation); }).detach();
}

void NotificationChannel::close(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    pending_.clear();
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd_, &one, sizeof one);
    (void)written;
    if (wait && tInside != this) {
        returned_.wait_for(lock, kCallbackPatience, [this] { return calling_ == 0; });
    }
}

bool NotificationChannel::look() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_ && leaderInCall_ && calls_ == callsAtLook_ && calling_ < kMaxCalling) {
        start();
    }
    callsAtLook_ = calls_;
    return leaderInCall_;
}

void NotificationChannel::onSignal(sdbus::Message& msg) {
    try {
        std::vector<uint8_t> bytes;
        if (readNotification(msg, bytes)) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!stopping_) {
                pending_.emplace_back(std::move(bytes));
            }
        }
    } catch (...) {
        // A malformed signal is ignored; nothing may unwind through sd-bus.
    }
}

bool NotificationChannel::readAvailable() {
    std::lock_guard<std::mutex> lock(connMutex_);
    try {
        for (;;) {
            {
                // A value goes to the callback as soon as it is read: looking
                // for the next one first would delay it by a read of the socket.
                std::lock_guard<std::mutex> state(mutex_);
                if (stopping_ || !pending_.empty()) {
                    return true;
                }
            }
            if (!conn_->processPendingRequest()) {
                return true;
            }
        }
    } catch (const sdbus::Error&) {
        return false;
    }
}

bool NotificationChannel::wait() {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout = -1;
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        try {
            auto data = conn_->getEventLoopPollData();
            fds[1] = {data.fd, data.events, 0};
            auto relative = data.getRelativeTimeout();
            if (relative) {
                timeout = static_cast<int>(std::min<int64_t>((relative->count() + 999) / 1000,
                                                             std::numeric_limits<int>::max()));
            }
        } catch (const sdbus::Error&) {
            return false;
        }
    }
    if (poll(fds, 2, timeout) > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t value = 0;
        ssize_t got = ::read(wakeFd_, &value, sizeof value);
        (void)got;
    }
    return (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// UBSan takes the forced unwind's null exception object for a null
// reference in the handler that passes it on.
__attribute__((no_sanitize("null"))) void NotificationChannel::call(uint64_t generation,
                                                                    ByteArray bytes) {
    const NotificationChannel* const outer = tInside;
    tInside = this;
    auto finish = [&] {
        tInside = outer;
        std::lock_guard<std::mutex> lock(mutex_);
        --calling_;
        if (leader_ == generation) {
            leaderInCall_ = false;
        }
        returned_.notify_all();
    };
    try {
        sub_->callback(std::move(bytes));
    } catch (abi::__forced_unwind&) {
        // The callback ended this thread (pthread_exit, cancellation). If it
        // was the reading one, another takes over.
        finish();
        std::lock_guard<std::mutex> lock(mutex_);
        if (leader_ == generation && !stopping_) {
            start();
        }
        throw;
    } catch (...) {
        // The application's exception must not end the reading.
    }
    finish();
}

void NotificationChannel::run(uint64_t generation) {
    for (;;) {
        ByteArray next;
        bool have = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_ || leader_ != generation) {
                return;  // closed, or another thread reads now
            }
            if (!pending_.empty()) {
                next = std::move(pending_.front());
                pending_.pop_front();
                have = true;
                ++calling_;
                ++calls_;
                leaderInCall_ = true;
            }
        }
        if (have) {
            call(generation, std::move(next));
            continue;
        }
        if (!readAvailable()) {
            return;  // the bus went; the device's link is lost with it
        }
        bool empty = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            empty = pending_.empty() && !stopping_;
        }
        if (empty && !wait()) {
            return;
        }
    }
}

}  // namespace SimpleBLE::detail
