#include "NotificationChannel.h"

#include <cxxabi.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include "AcquiredNotify.h"
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
    if (socket_ >= 0) {
        ::close(socket_);  // gives the notifications back to BlueZ
    }
}

std::shared_ptr<NotificationChannel> NotificationChannel::open(const std::string& path,
                                                               std::shared_ptr<Subscription> sub,
                                                               int socket) {
    std::shared_ptr<NotificationChannel> channel(new NotificationChannel(path, std::move(sub)));
    channel->socket_ = socket;
    channel->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (channel->wakeFd_ < 0) {
        return nullptr;
    }
    if (socket >= 0) {
        return channel;
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
    return channel;
}

void NotificationChannel::start() {
    // Detached: it holds the channel, which goes when it leaves.
    std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void NotificationChannel::close() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    if (socket_ >= 0) {
        // BlueZ sees the socket given back now, not when the reading thread
        // lets go of it: a new AcquireNotify may follow at once.
        ::shutdown(socket_, SHUT_RDWR);
    }
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd_, &one, sizeof one);
    (void)written;
    if (tInside != this && !Central::instance().onEventThread()) {
        returned_.wait(lock, [this] { return !calling_; });
    }
}

void NotificationChannel::end() {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd_, &one, sizeof one);
    (void)written;
}

void NotificationChannel::onSignal(sdbus::Message& msg) {
    try {
        haveValue_ = readNotification(msg, value_);
    } catch (...) {
        // A malformed signal is ignored; nothing may unwind through sd-bus.
        haveValue_ = false;
    }
}

bool NotificationChannel::readOne() {
    if (socket_ >= 0) {
        const SocketRead got = readAcquired(socket_, buffer_, value_);
        haveValue_ = got == SocketRead::Got;
        // Hung up: the link ended (its loss is seen on the bus too) or BlueZ went.
        return got != SocketRead::Gone;
    }
    try {
        // A value goes to the callback as soon as it is read: looking for the
        // next one first would delay it by a read of the socket.
        while (!haveValue_) {
            if (!conn_->processPendingRequest()) {
                return true;
            }
        }
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

bool NotificationChannel::wait() {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout = -1;
    if (socket_ >= 0) {
        // A hang-up is seen by the next read, after what is still queued.
        fds[1] = {socket_, POLLIN, 0};
        if (poll(fds, 2, -1) > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t value = 0;
            ssize_t got = ::read(wakeFd_, &value, sizeof value);
            (void)got;
        }
        return true;
    }
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
    if (poll(fds, 2, timeout) > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t value = 0;
        ssize_t got = ::read(wakeFd_, &value, sizeof value);
        (void)got;
    }
    return (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// UBSan takes the forced unwind's null exception object for a null
// reference in the handler that passes it on.
__attribute__((no_sanitize("null"))) void NotificationChannel::call() {
    const NotificationChannel* const outer = tInside;
    tInside = this;
    auto finish = [&] {
        tInside = outer;
        std::lock_guard<std::mutex> lock(mutex_);
        calling_ = false;
        returned_.notify_all();
    };
    haveValue_ = false;
    try {
        sub_->callback(ByteArray(std::move(value_)));
    } catch (abi::__forced_unwind&) {
        // The callback ended this thread (pthread_exit, cancellation): the
        // channel is read no more.
        finish();
        throw;
    } catch (...) {
        // The callback's exception must not end the reading.
    }
    value_.clear();
    finish();
}

void NotificationChannel::run() {
    for (;;) {
        if (haveValue_) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) {
                    return;
                }
                calling_ = true;
            }
            call();
            continue;
        }
        bool ending = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
            ending = ending_;
        }
        if (!readOne()) {
            return;  // the bus went; the device's link is lost with it
        }
        if (!haveValue_ && (ending || !wait())) {
            return;  // ending: nothing is queued any more
        }
    }
}

}  // namespace SimpleBLE::detail
