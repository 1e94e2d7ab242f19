// Method calls of org.bluez from any thread, marshalled onto the event thread.

#include "Central.h"

#include <cxxabi.h>

#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

void Central::call(const std::string& path, const char* interface, const char* method,
                   std::function<void(sdbus::Message&)> write,
                   std::function<void(sdbus::MethodReply&)> read,
                   std::chrono::milliseconds timeout) {
    if (!connected_ && !connectBus()) {
        throw CallError{kDisconnected, "no D-Bus system bus"};
    }
    auto c = std::make_shared<Call>();
    c->path = path;
    c->interface = interface;
    c->method = method;
    c->write = std::move(write);
    c->read = std::move(read);
    c->timeoutUs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    // sd-bus ends the call at `timeout`; this is only a backstop.
    const auto deadline = std::chrono::steady_clock::now() + timeout + std::chrono::seconds(1);

    if (onEventThread()) {
        // Called from a callback: serve the bus here until the reply is in.
        startCall(c);
        while (!c->finished && std::chrono::steady_clock::now() < deadline) {
            pump(50);
        }
    } else {
        post([this, c] { startCall(c); });
        std::unique_lock<std::mutex> lock(c->mutex);
        c->cv.wait_until(lock, deadline, [&] { return c->finished; });
    }
    std::lock_guard<std::mutex> lock(c->mutex);
    if (!c->finished) {
        throw CallError{kNoReply, std::string(method) + " got no reply in time"};
    }
    if (!c->ok) {
        throw c->error;
    }
}

void Central::startCall(const std::shared_ptr<Call>& c) {
    if (broken_) {
        finishCall(c, false, {kDisconnected, "the D-Bus connection is lost; connecting again"});
        return;
    }
    try {
        auto proxy = sdbus::createProxy(*conn_, kBluez, c->path);
        auto msg = proxy->createMethodCall(c->interface, c->method);
        if (c->write) {
            c->write(msg);
        }
        sdbus::IProxy* raw = proxy.get();
        pending_[c.get()] = {c, std::move(proxy)};
        raw->callMethod(
            msg,
            [this, c](sdbus::MethodReply& reply, const sdbus::Error* error) {
                auto it = pending_.find(c.get());
                if (it != pending_.end()) {
                    // A proxy must not be destroyed inside its own handler.
                    graveyard_.push_back(std::move(it->second.second));
                    pending_.erase(it);
                }
                if (error != nullptr) {
                    finishCall(c, false, {error->getName(), error->getMessage()});
                    return;
                }
                try {
                    if (c->read) {
                        c->read(reply);
                    }
                    finishCall(c, true, {});
                } catch (const sdbus::Error& e) {
                    finishCall(c, false,
                               {"org.freedesktop.DBus.Error.InvalidSignature",
                                "unexpected reply: " + e.getMessage()});
                } catch (const std::exception& e) {
                    finishCall(c, false, {"org.freedesktop.DBus.Error.Failed", e.what()});
                }
            },
            c->timeoutUs);
    } catch (const sdbus::Error& e) {
        auto it = pending_.find(c.get());
        if (it != pending_.end()) {
            graveyard_.push_back(std::move(it->second.second));
            pending_.erase(it);
        }
        finishCall(c, false, {e.getName(), e.getMessage()});
    }
}

void Central::finishCall(const std::shared_ptr<Call>& c, bool ok, CallError error) {
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->finished = true;
        c->ok = ok;
        c->error = std::move(error);
    }
    c->cv.notify_all();
    if (c->done) {
        c->done(ok ? nullptr : &c->error);
    }
}

void Central::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(requestMutex_);
        requests_.push_back(std::move(fn));
    }
    const uint64_t one = 1;
    ssize_t written = write(wakeFd_, &one, sizeof one);
    (void)written;  // a full counter still wakes the loop
}

void Central::announceScan(std::shared_ptr<BluezAdapter> adapter, bool started) {
    post([this, adapter, started] {
        events_.emplace_back();
        events_.back().kind = started ? Event::ScanStarted : Event::ScanStopped;
        events_.back().adapter = adapter;
    });
}

// UBSan takes the forced unwind's null exception object for a null
// reference in the handler that passes it on.
__attribute__((no_sanitize("null"))) void Central::runRequests() {
    {
        std::lock_guard<std::mutex> lock(requestMutex_);
        if (requests_.empty()) {
            return;
        }
        running_requests_.swap(requests_);
    }
    // Move them out first: a request may post another one.
    std::vector<std::function<void()>> batch;
    batch.swap(running_requests_);
    for (auto& request : batch) {
        try {
            request();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // A request reports its own failures; none may end the loop.
        }
    }
}

}  // namespace SimpleBLE::detail
