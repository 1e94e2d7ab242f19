#pragma once

// The process-wide BlueZ client behind SimpleBLE's classes: one system-bus
// connection served by one event thread for calls, signals and the cache of
// BlueZ's objects, and for each characteristic subscribed to, a connection
// and thread of its own that carry its notifications to its callback.

#include <simpleble/SimpleBLE.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "BluezNames.h"

namespace sdbus {
class IConnection;
class IProxy;
class Message;
class MethodReply;
}  // namespace sdbus

namespace SimpleBLE {

namespace detail {

// A property value as BlueZ sends it; object paths are kept as strings.
using Value = std::variant<std::monostate, bool, uint8_t, int16_t, uint16_t, int32_t, uint32_t,
                           std::string, std::vector<std::string>, std::vector<uint8_t>>;
using Properties = std::map<std::string, Value>;
using Interfaces = std::map<std::string, Properties>;
using Objects = std::map<std::string, Interfaces>;

template <typename T>
const T* get(const Interfaces& object, const std::string& interface, const std::string& property) {
    auto i = object.find(interface);
    if (i == object.end()) {
        return nullptr;
    }
    auto p = i->second.find(property);
    if (p == i->second.end()) {
        return nullptr;
    }
    return std::get_if<T>(&p->second);
}

inline bool flag(const Interfaces& object, const std::string& interface,
                 const std::string& property) {
    const bool* value = get<bool>(object, interface, property);
    return value != nullptr && *value;
}

// A D-Bus error reply, a time-out or a lost connection.
struct CallError {
    std::string name;
    std::string message;
    std::string text() const { return name + ": " + message; }
};

// Time bounds. A BLE connection attempt on a real radio can take seconds and
// fail transiently, so connect() gets a budget of its own (SimpleBLE: 5 x 2 s).
constexpr std::chrono::milliseconds kConnectTimeout{10000};
constexpr std::chrono::milliseconds kCallTimeout{5000};
constexpr std::chrono::milliseconds kDisconnectTimeout{3000};
// After the bus connection is lost (the bus daemon restarted), a new one is
// tried after this pause, doubling up to the cap, for as long as it takes.
constexpr std::chrono::milliseconds kFirstReconnectPause{100};
constexpr std::chrono::milliseconds kMaxReconnectPause{2000};

struct Subscription {
    explicit Subscription(std::function<void(ByteArray)> cb) : callback(std::move(cb)) {}
    const std::function<void(ByteArray)> callback;
    bool active = true;  // guarded by Central's dispatch mutex
};

}  // namespace detail

class BluezAdapter;
class BluezPeripheral;

namespace detail {

class NotificationChannel;

class Central {
  public:
    // The one instance: created on first use and intentionally never destroyed,
    // so that other objects' static destructors can still use it at exit.
    static Central& instance();

    // Connects to the bus and loads BlueZ's objects if not done yet. False when
    // there is no bus or no Bluetooth service on it.
    bool available();

    // A copy of one object of the cache (empty when unknown).
    Interfaces object(const std::string& path);
    // Runs `fn` on the cache under its lock; `fn` must not call back in.
    void visit(const std::function<void(const Objects&)>& fn);

    // Calls a method of org.bluez from any thread, waiting at most `timeout`.
    // `write` appends the arguments and `read` takes the reply apart; both run
    // on the event thread. Throws CallError.
    void call(const std::string& path, const char* interface, const char* method,
              std::function<void(sdbus::Message&)> write,
              std::function<void(sdbus::MethodReply&)> read, std::chrono::milliseconds timeout);

    // Waits until `ready` holds for the cache or the deadline passes.
    bool waitUntil(const std::function<bool(const Objects&)>& ready,
                   std::chrono::steady_clock::time_point deadline);

    std::shared_ptr<BluezAdapter> adapter(const std::string& path);
    std::shared_ptr<BluezPeripheral> device(const std::string& path);

    // Notification subscriptions of characteristics (by object path) and of
    // batteries of org.bluez.Battery1 (by device path). A replaced or removed
    // subscription's callback never runs again and is not running on return,
    // unless called from inside it (or, for a characteristic, from the event
    // thread). A characteristic's callback runs on a thread of its own
    // subscription, one call at a time (see NotificationChannel); false when
    // no connection could be made for it. With `socket` (from AcquireNotify,
    // owned from here on) its values are read from there instead of the bus.
    bool subscribe(const std::string& path, bool battery, std::shared_ptr<Subscription> sub,
                   int socket = -1);
    // True when there was a subscription; `acquired` tells whether it read an
    // acquired socket (closed now, which gives it back to BlueZ).
    bool unsubscribe(const std::string& path, bool battery, bool* acquired = nullptr);

    // Runs `fn` on the event thread soon.
    void post(std::function<void()> fn);
    // Calls the adapter's scan-start or scan-stop callback on the event thread.
    void announceScan(std::shared_ptr<BluezAdapter> adapter, bool started);

    bool onEventThread() const { return std::this_thread::get_id() == loopId_.load(); }

  private:
    Central() = default;

    struct Call;
    struct Event;

    bool connectBus();
    // A new bus connection with the signal matches in place; null without a bus.
    std::unique_ptr<sdbus::IConnection> openConnection();
    // Event thread: after a lost connection, tries a new one when due.
    void reconnectWhenDue();
    void loop();
    void pump(int maxWaitMs, bool drainFirst = true);
    void drain();
    bool processOne();
    void runRequests();
    void startCall(const std::shared_ptr<Call>& call);
    void finishCall(const std::shared_ptr<Call>& call, bool ok, CallError error);
    void connectionLost(const std::string& why);
    void dispatchEvents();
    void dispatch(Event& event);
    void waitNotRunning(std::unique_lock<std::mutex>& lock, const Subscription* sub);
    // Event thread: drops the subscriptions of a device whose link went.
    void endSubscriptionsOf(const std::string& device);
    // The channel of `path` that its link's end closed, if any; dispatchMutex_ held.
    std::shared_ptr<NotificationChannel> takeEnded(const std::string& path);

    void onObjectManagerSignal(sdbus::Message& msg);
    void onPropertiesChanged(sdbus::Message& msg);
    void onNameOwnerChanged(sdbus::Message& msg);
    void loadObjects(std::function<void(const CallError*)> done);
    void applySnapshot(Objects snapshot);
    void forgetAll();
    void changed(const std::string& path, const std::string& interface, Properties props,
                 const std::vector<std::string>& invalidated, bool added);
    void removed(const std::string& path, const std::vector<std::string>& interfaces);
    void adapterChanged(const std::string& path, const Properties& props, bool gone);
    void queueConnection(const std::string& path, bool connected);
    void queueScan(const std::string& path, const std::string& adapter);
    void queueBattery(const std::string& path, uint8_t level);

    // Connection set-up.
    std::mutex initMutex_;
    std::atomic<bool> connected_{false};
    std::unique_ptr<sdbus::IConnection> conn_;
    int wakeFd_ = -1;
    std::atomic<std::thread::id> loopId_{};
    // The connection was lost (the bus daemon went); the event thread makes
    // a new one on the same address, trying again with growing pauses.
    std::atomic<bool> broken_{false};
    std::chrono::steady_clock::time_point nextConnect_{};  // event thread only
    std::chrono::milliseconds connectPause_{0};            // event thread only

    // Requests from other threads for the event thread.
    std::mutex requestMutex_;
    std::vector<std::function<void()>> requests_, running_requests_;

    // Event thread only: calls in flight with their proxies, proxies to destroy
    // outside sd-bus's handlers, events to dispatch once sd-bus has returned.
    std::map<Call*, std::pair<std::shared_ptr<Call>, std::unique_ptr<sdbus::IProxy>>> pending_;
    std::vector<std::unique_ptr<sdbus::IProxy>> graveyard_;
    std::vector<Event> events_, dispatching_;
    bool inDispatch_ = false;

    // The object cache.
    std::mutex cacheMutex_;
    std::condition_variable cacheChanged_;
    Objects objects_;
    bool loaded_ = false;  // a GetManagedObjects snapshot is in the cache

    // Subscriptions and the battery callback that runs now. A characteristic's
    // notifications have a channel of their own (connection and thread).
    std::mutex dispatchMutex_;
    std::condition_variable dispatchDone_;
    std::unordered_map<std::string, std::shared_ptr<NotificationChannel>> channels_;
    // Channels closed because their link went, while their thread may still
    // be inside the callback (the thread holds the channel until it leaves).
    std::unordered_map<std::string, std::weak_ptr<NotificationChannel>> ended_;
    std::unordered_map<std::string, std::shared_ptr<Subscription>> batterySubs_;
    const Subscription* running_ = nullptr;

    // Handle state shared between copies.
    std::mutex statesMutex_;
    std::map<std::string, std::shared_ptr<BluezAdapter>> adapters_;
    std::map<std::string, std::weak_ptr<BluezPeripheral>> devices_;
};

}  // namespace detail
}  // namespace SimpleBLE
