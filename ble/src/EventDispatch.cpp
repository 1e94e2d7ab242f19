// Runs the queued events' callbacks on the event thread, outside sd-bus.

#include "Central.h"

#include <cxxabi.h>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "BluezPeripheral.h"
#include "CentralEvents.h"
#include "MessageDecoding.h"

namespace SimpleBLE::detail {

namespace {

// An application's exception must not end the event thread; a forced unwind
// (the callback ended its thread) must pass on.
template <class Callback>
__attribute__((no_sanitize("null"))) void RunGuarded(const Callback& callback) {
    try {
        callback();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

}  // namespace

void Central::dispatchEvents() {
    if (inDispatch_ || events_.empty()) {
        return;
    }
    inDispatch_ = true;
    // Swap buffers rather than allocate: a callback that calls back in may
    // queue new events meanwhile.
    dispatching_.swap(events_);
    for (auto& event : dispatching_) {
        dispatch(event);
    }
    dispatching_.clear();
    inDispatch_ = false;
}

// UBSan takes the forced unwind's null exception object for a null
// reference in the handler that passes it on.
__attribute__((no_sanitize("null"))) void Central::dispatch(Event& event) {
    switch (event.kind) {
        case Event::Notification: {
            {
                std::lock_guard<std::mutex> lock(dispatchMutex_);
                if (!event.sub->active) {
                    return;  // unsubscribed meanwhile: dropped
                }
                running_ = event.sub.get();
            }
            try {
                event.sub->callback(std::move(event.bytes));
            } catch (abi::__forced_unwind&) {
                // The callback ended this thread (pthread_exit, cancellation):
                // it is no longer running, and loop() carries on elsewhere.
                {
                    std::lock_guard<std::mutex> lock(dispatchMutex_);
                    running_ = nullptr;
                }
                dispatchDone_.notify_all();
                throw;
            } catch (...) {
                // The application's exception must not end the event thread.
            }
            {
                std::lock_guard<std::mutex> lock(dispatchMutex_);
                running_ = nullptr;
            }
            dispatchDone_.notify_all();
            break;
        }
        case Event::Scan: {
            BluezAdapter& adapter = *event.adapter;
            std::shared_ptr<const std::function<void(Peripheral)>> callback;
            {
                std::lock_guard<std::mutex> lock(adapter.mutex);
                if (!adapter.scanning) {
                    return;
                }
                bool first = adapter.seen.insert(event.path).second;
                callback = first ? adapter.onFound : adapter.onUpdated;
            }
            if (callback && *callback) {
                auto state = device(event.path);
                state->refresh();
                RunGuarded([&] { (*callback)(Peripheral(state)); });
            }
            break;
        }
        case Event::Connected:
        case Event::Disconnected: {
            if (event.kind == Event::Disconnected &&
                !flag(object(event.path), kDeviceInterface, "Connected")) {
                endSubscriptionsOf(event.path);
            }
            std::shared_ptr<BluezPeripheral> state;
            {
                std::lock_guard<std::mutex> lock(statesMutex_);
                auto it = devices_.find(event.path);
                if (it != devices_.end()) {
                    state = it->second.lock();
                }
            }
            if (!state) {
                return;
            }
            std::shared_ptr<const std::function<void()>> callback;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                callback =
                    event.kind == Event::Connected ? state->onConnected : state->onDisconnected;
            }
            if (callback && *callback) {
                RunGuarded(*callback);
            }
            break;
        }
        case Event::ScanStarted:
        case Event::ScanStopped: {
            std::shared_ptr<const std::function<void()>> callback;
            {
                std::lock_guard<std::mutex> lock(event.adapter->mutex);
                callback = event.kind == Event::ScanStarted ? event.adapter->onStart
                                                            : event.adapter->onStop;
            }
            if (callback && *callback) {
                RunGuarded(*callback);
            }
            break;
        }
    }
}

}  // namespace SimpleBLE::detail
