// The event thread: waits on the bus and the wake-up descriptor, runs the
// requests of other threads and dispatches what sd-bus's handlers queued.

#include "Central.h"

#include <cxxabi.h>

#include <poll.h>
#include <unistd.h>
#include <algorithm>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

// UBSan takes the forced unwind's null exception object for a null
// reference in the handler that passes it on.
__attribute__((no_sanitize("null"))) void Central::loop() {
    loopId_ = std::this_thread::get_id();
    try {
        drain();
        for (;;) {
            // Each pass ends with a drain; another one before waiting would only
            // cost a read of the socket that finds nothing, once per wake-up.
            pump(-1, false);
        }
    } catch (abi::__forced_unwind&) {
        // An application callback ended this thread (an interpreter shutting
        // down does so). The bus must still be served, or every later call
        // waits for its timeout: a new thread takes over. The rest of the
        // batch being dispatched is dropped with the thread.
        dispatching_.clear();
        inDispatch_ = false;
        std::thread next([this] { loop(); });
        loopId_ = next.get_id();
        next.detach();
        throw;
    }
}

bool Central::processOne() {
    if (broken_) {
        return false;
    }
    try {
        return conn_->processPendingRequest();
    } catch (const sdbus::Error& e) {
        connectionLost(e.getMessage());
        return false;
    }
}

void Central::drain() {
    runRequests();
    while (processOne()) {
        graveyard_.clear();
        dispatchEvents();
    }
    graveyard_.clear();
    dispatchEvents();
}

void Central::pump(int maxWaitMs, bool drainFirst) {
    if (drainFirst) {
        drain();
    }
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout = maxWaitMs;
    nfds_t count = 1;
    if (!broken_) {
        try {
            auto data = conn_->getEventLoopPollData();
            fds[1] = {data.fd, data.events, 0};
            count = 2;
            auto relative = data.getRelativeTimeout();
            if (relative) {
                auto ms = static_cast<int>(std::min<int64_t>((relative->count() + 999) / 1000,
                                                             std::numeric_limits<int>::max()));
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
        } catch (const sdbus::Error& e) {
            connectionLost(e.getMessage());
        }
    }
    if (broken_) {
        // Wake when the next connection attempt is due.
        const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(
                             nextConnect_ - std::chrono::steady_clock::now())
                             .count();
        const int ms = static_cast<int>(std::clamp<int64_t>(due, 0, 60000));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    int r = poll(fds, count, timeout);
    if (r > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t value = 0;
        ssize_t got = read(wakeFd_, &value, sizeof value);
        (void)got;
    }
    reconnectWhenDue();
    drain();
}

void Central::reconnectWhenDue() {
    if (!broken_ || std::chrono::steady_clock::now() < nextConnect_) {
        return;
    }
    // No proxy of the old connection may outlive it.
    graveyard_.clear();
    std::unique_ptr<sdbus::IConnection> conn = openConnection();
    if (!conn) {
        connectPause_ = std::min(connectPause_ * 2, kMaxReconnectPause);
        nextConnect_ = std::chrono::steady_clock::now() + connectPause_;
        return;
    }
    conn_ = std::move(conn);
    broken_ = false;
    // The cache was emptied when the connection went; BlueZ's objects come
    // back with the snapshot, and with them the devices' links.
    loadObjects(nullptr);
}

void Central::connectionLost(const std::string& why) {
    if (broken_) {
        return;
    }
    broken_ = true;
    connectPause_ = kFirstReconnectPause;
    nextConnect_ = std::chrono::steady_clock::now() + connectPause_;
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [raw, entry] : pending) {
        graveyard_.push_back(std::move(entry.second));
        finishCall(entry.first, false,
                   {kDisconnected, "the D-Bus connection is lost (" + why + "); connecting again"});
    }
    forgetAll();
}

}  // namespace SimpleBLE::detail
