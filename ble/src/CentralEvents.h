#pragma once

// What the event thread queues: calls from other threads waiting for their
// replies, and events to dispatch once sd-bus has returned.

#include <condition_variable>
#include <mutex>

#include "BluezAdapter.h"
#include "Central.h"

namespace SimpleBLE::detail {

struct Central::Call {
    std::string path;
    const char* interface = nullptr;
    const char* method = nullptr;
    std::function<void(sdbus::Message&)> write;
    std::function<void(sdbus::MethodReply&)> read;
    std::function<void(const CallError*)> done;  // event thread, instead of a waiter
    uint64_t timeoutUs = 0;

    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    bool ok = false;
    CallError error;
};

struct Central::Event {
    enum Kind { Notification, Scan, Connected, Disconnected, ScanStarted, ScanStopped };
    Kind kind = Notification;
    std::shared_ptr<Subscription> sub;
    ByteArray bytes;
    std::shared_ptr<BluezAdapter> adapter;
    std::string path;
};

}  // namespace SimpleBLE::detail
