#include "Central.h"

#include <cxxabi.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <cstring>

namespace SimpleBLE::detail {

const char* const kAdapterInterface = "org.bluez.Adapter1";
const char* const kDeviceInterface = "org.bluez.Device1";
const char* const kServiceInterface = "org.bluez.GattService1";
const char* const kCharacteristicInterface = "org.bluez.GattCharacteristic1";
const char* const kBatteryInterface = "org.bluez.Battery1";

namespace {

const char* const kBluez = "org.bluez";
const char* const kNoReply = "org.freedesktop.DBus.Error.NoReply";
const char* const kDisconnected = "org.freedesktop.DBus.Error.Disconnected";

// Values are read straight from the message: sdbus::Variant is avoided on the
// event thread because it uses a function-local static of sdbus-c++ that is
// destroyed at exit, while this thread may still be serving the bus.

// One complete type of a signature ("s", "ay", "a{sv}", "(ii)") from `pos` on.
std::string completeType(const std::string& sig, size_t& pos) {
    const size_t start = pos;
    int depth = 0;
    do {
        if (pos >= sig.size()) {
            throw std::runtime_error("malformed signature " + sig);
        }
        char c = sig[pos++];
        if (c == '(' || c == '{') {
            ++depth;
        } else if (c == ')' || c == '}') {
            --depth;
        } else if (c == 'a') {
            continue;  // its element follows
        }
    } while (depth > 0);
    return sig.substr(start, pos - start);
}

void skip(sdbus::Message& msg, const std::string& type);

// Skips the elements of an entered array of `element`.
void skipElements(sdbus::Message& msg, const std::string& element) {
    switch (element[0]) {
        case '{': {
            const std::string inner = element.substr(1, element.size() - 2);
            size_t pos = 0;
            const std::string key = completeType(inner, pos);
            const std::string value = completeType(inner, pos);
            while (msg.enterDictEntry(inner)) {
                skip(msg, key);
                skip(msg, value);
                msg.exitDictEntry();
            }
            break;
        }
        case '(': {
            const std::string inner = element.substr(1, element.size() - 2);
            while (msg.enterStruct(inner)) {
                for (size_t pos = 0; pos < inner.size();) {
                    skip(msg, completeType(inner, pos));
                }
                msg.exitStruct();
            }
            break;
        }
        case 'a':
            while (msg.enterContainer(element.substr(1))) {
                skipElements(msg, element.substr(1));
                msg.clearFlags();
                msg.exitContainer();
            }
            break;
        case 'v':
            // No BlueZ property is an array of variants; the end of such an
            // array cannot be found through this interface.
            throw std::runtime_error("arrays of variants are not read");
        default:
            // Basic elements: reading past the last one clears the message's flag.
            for (;;) {
                skip(msg, element);
                if (!msg) {
                    break;
                }
            }
            break;
    }
    msg.clearFlags();
}

void skip(sdbus::Message& msg, const std::string& type) {
    switch (type[0]) {
        case 'y': {
            uint8_t v = 0;
            msg >> v;
            break;
        }
        case 'b': {
            bool v = false;
            msg >> v;
            break;
        }
        case 'n': {
            int16_t v = 0;
            msg >> v;
            break;
        }
        case 'q': {
            uint16_t v = 0;
            msg >> v;
            break;
        }
        case 'i': {
            int32_t v = 0;
            msg >> v;
            break;
        }
        case 'u': {
            uint32_t v = 0;
            msg >> v;
            break;
        }
        case 'x': {
            int64_t v = 0;
            msg >> v;
            break;
        }
        case 't': {
            uint64_t v = 0;
            msg >> v;
            break;
        }
        case 'd': {
            double v = 0;
            msg >> v;
            break;
        }
        case 's': {
            char* v = nullptr;
            msg >> v;
            break;
        }
        case 'o': {
            sdbus::ObjectPath v;
            msg >> v;
            break;
        }
        case 'g': {
            sdbus::Signature v;
            msg >> v;
            break;
        }
        case 'h': {
            sdbus::UnixFd v;
            msg >> v;
            break;
        }
        case 'v': {
            std::string kind, contents;
            msg.peekType(kind, contents);
            msg.enterVariant(contents);
            skip(msg, contents);
            msg.exitVariant();
            break;
        }
        case 'a':
            msg.enterContainer(type.substr(1));
            skipElements(msg, type.substr(1));
            msg.exitContainer();
            break;
        case '(': {
            const std::string inner = type.substr(1, type.size() - 2);
            msg.enterStruct(inner);
            for (size_t pos = 0; pos < inner.size();) {
                skip(msg, completeType(inner, pos));
            }
            msg.exitStruct();
            break;
        }
        default:
            throw std::runtime_error("unknown D-Bus type " + type);
    }
}

// Reads a variant; types the central does not use are skipped.
Value readVariant(sdbus::Message& msg) {
    std::string kind, contents;
    msg.peekType(kind, contents);
    msg.enterVariant(contents);
    Value value;
    if (contents == "b") {
        bool v = false;
        msg >> v;
        value = v;
    } else if (contents == "y") {
        uint8_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "n") {
        int16_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "q") {
        uint16_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "i") {
        int32_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "u") {
        uint32_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "s") {
        std::string v;
        msg >> v;
        value = std::move(v);
    } else if (contents == "o") {
        sdbus::ObjectPath v;
        msg >> v;
        value = std::string(std::move(v));
    } else if (contents == "as") {
        std::vector<std::string> v;
        msg >> v;
        value = std::move(v);
    } else if (contents == "ay") {
        std::vector<uint8_t> v;
        msg >> v;
        value = std::move(v);
    } else {
        skip(msg, contents);
    }
    msg.exitVariant();
    return value;
}

// a{sv}
Properties readProperties(sdbus::Message& msg) {
    Properties props;
    msg.enterContainer("{sv}");
    while (msg.enterDictEntry("sv")) {
        std::string name;
        msg >> name;
        props[name] = readVariant(msg);
        msg.exitDictEntry();
    }
    msg.clearFlags();
    msg.exitContainer();
    return props;
}

// a{sa{sv}}
Interfaces readInterfaces(sdbus::Message& msg) {
    Interfaces interfaces;
    msg.enterContainer("{sa{sv}}");
    while (msg.enterDictEntry("sa{sv}")) {
        std::string name;
        msg >> name;
        interfaces[name] = readProperties(msg);
        msg.exitDictEntry();
    }
    msg.clearFlags();
    msg.exitContainer();
    return interfaces;
}

// The reply of GetManagedObjects: a{oa{sa{sv}}}
Objects parseSnapshot(sdbus::MethodReply& reply) {
    Objects snapshot;
    reply.enterContainer("{oa{sa{sv}}}");
    while (reply.enterDictEntry("oa{sa{sv}}")) {
        sdbus::ObjectPath path;
        reply >> path;
        snapshot[path] = readInterfaces(reply);
        reply.exitDictEntry();
    }
    reply.clearFlags();
    reply.exitContainer();
    return snapshot;
}

bool isDevice(const std::string& interface) {
    return interface == kDeviceInterface;
}

// Properties whose change means the device advertised again.
bool isAdvertisement(const std::string& property) {
    static const char* const names[] = {
        "RSSI",       "ManufacturerData", "ServiceData",     "Name", "Alias", "TxPower", "UUIDs",
        "Appearance", "AdvertisingFlags", "AdvertisingData", "Class"};
    for (const char* n : names) {
        if (property == n) {
            return true;
        }
    }
    return false;
}

std::string parentPath(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

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
    std::shared_ptr<AdapterBase> adapter;
    std::string path;
};

Central& Central::instance() {
    // Never destroyed: see the header.
    static Central* const central = new Central();
    return *central;
}

bool Central::connectBus() {
    std::lock_guard<std::mutex> lock(initMutex_);
    if (connected_) {
        return true;
    }
    std::unique_ptr<sdbus::IConnection> conn;
    try {
        conn = sdbus::createSystemBusConnection();
    } catch (const sdbus::Error&) {
        return false;  // no system bus: no Bluetooth
    }
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    try {
        // Subscribe before loading the objects, or changes in between are lost.
        conn->addMatch(
            "type='signal',sender='org.bluez',path='/',"
            "interface='org.freedesktop.DBus.ObjectManager'",
            [this](sdbus::Message& msg) { onObjectManagerSignal(msg); }, sdbus::floating_slot);
        conn->addMatch(
            "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
            "member='PropertiesChanged',path_namespace='/org/bluez'",
            [this](sdbus::Message& msg) { onPropertiesChanged(msg); }, sdbus::floating_slot);
        conn->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged',arg0='org.bluez'",
            [this](sdbus::Message& msg) { onNameOwnerChanged(msg); }, sdbus::floating_slot);
    } catch (const sdbus::Error&) {
        close(fd);
        return false;
    }
    conn_ = std::move(conn);
    wakeFd_ = fd;
    std::thread thread([this] { loop(); });
    loopId_ = thread.get_id();
    // Never joined: the thread serves the connection until the process ends.
    thread.detach();
    connected_ = true;
    return true;
}

bool Central::available() {
    if (!connected_ && !connectBus()) {
        return false;
    }
    if (broken_) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (loaded_) {
            return true;
        }
    }
    try {
        call(
            "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
            [this](sdbus::MethodReply& reply) { applySnapshot(parseSnapshot(reply)); },
            kCallTimeout);
    } catch (const CallError&) {
        return false;  // org.bluez is not on the bus
    }
    std::lock_guard<std::mutex> lock(cacheMutex_);
    return loaded_;
}

Interfaces Central::object(const std::string& path) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = objects_.find(path);
    return it == objects_.end() ? Interfaces{} : it->second;
}

void Central::visit(const std::function<void(const Objects&)>& fn) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    fn(objects_);
}

std::shared_ptr<AdapterBase> Central::adapter(const std::string& path) {
    std::lock_guard<std::mutex> lock(statesMutex_);
    auto& state = adapters_[path];
    if (!state) {
        state = std::make_shared<AdapterBase>(path);
    }
    return state;
}

std::shared_ptr<PeripheralBase> Central::device(const std::string& path) {
    std::lock_guard<std::mutex> lock(statesMutex_);
    auto& weak = devices_[path];
    auto state = weak.lock();
    if (!state) {
        state = std::make_shared<PeripheralBase>(path);
        weak = state;
    }
    return state;
}

// ---- calls ----

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
        finishCall(c, false, {kDisconnected, "the D-Bus connection is lost"});
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

void Central::announceScan(std::shared_ptr<AdapterBase> adapter, bool started) {
    post([this, adapter, started] {
        events_.emplace_back();
        events_.back().kind = started ? Event::ScanStarted : Event::ScanStopped;
        events_.back().adapter = adapter;
    });
}

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
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

// ---- the event loop ----

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
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
    int r = poll(fds, count, timeout);
    if (r > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t value = 0;
        ssize_t got = read(wakeFd_, &value, sizeof value);
        (void)got;
    }
    drain();
}

void Central::connectionLost(const std::string& why) {
    if (broken_) {
        return;
    }
    broken_ = true;
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [raw, entry] : pending) {
        graveyard_.push_back(std::move(entry.second));
        finishCall(entry.first, false, {kDisconnected, "the D-Bus connection is lost: " + why});
    }
    forgetAll();
}

// ---- signals (run inside sd-bus; they only update the cache and queue events) ----

void Central::onObjectManagerSignal(sdbus::Message& msg) {
    try {
        const std::string member = msg.getMemberName();
        if (member == "InterfacesAdded") {
            sdbus::ObjectPath path;
            msg >> path;
            for (auto& [name, props] : readInterfaces(msg)) {
                changed(path, name, std::move(props), {}, true);
            }
        } else if (member == "InterfacesRemoved") {
            sdbus::ObjectPath path;
            std::vector<std::string> interfaces;
            msg >> path >> interfaces;
            removed(path, interfaces);
        }
    } catch (...) {
        // A malformed signal is ignored; nothing may unwind through sd-bus.
    }
}

void Central::onPropertiesChanged(sdbus::Message& msg) {
    try {
        std::string path = msg.getPath();
        char* interface = nullptr;
        msg >> interface;
        if (interface == nullptr) {
            return;
        }
        const bool characteristic = std::strcmp(interface, kCharacteristicInterface) == 0;
        Properties props;
        msg.enterContainer("{sv}");
        while (msg.enterDictEntry("sv")) {
            char* name = nullptr;
            msg >> name;
            if (characteristic && name != nullptr && std::strcmp(name, "Value") == 0) {
                // The notification path: straight into the bytes handed over.
                // Every client on the bus hears every notification; the values of
                // characteristics nobody here subscribed to are skipped unread.
                std::shared_ptr<Subscription> sub = subscriptionOf(path);
                std::string kind, contents;
                msg.peekType(kind, contents);
                if (!sub || contents != "ay") {
                    skip(msg, "v");
                    msg.exitDictEntry();
                    continue;
                }
                msg.enterVariant("ay");
                std::vector<uint8_t> bytes;
                bytes.reserve(256);
                msg.enterContainer("y");
                for (;;) {
                    uint8_t byte = 0;
                    if (!(msg >> byte)) {
                        break;
                    }
                    bytes.push_back(byte);
                }
                msg.clearFlags();
                msg.exitContainer();
                msg.exitVariant();
                queueNotification(std::move(sub), std::move(bytes));
            } else if (name != nullptr) {
                props[name] = readVariant(msg);
            }
            msg.exitDictEntry();
        }
        msg.clearFlags();
        msg.exitContainer();
        std::vector<std::string> invalidated;
        msg >> invalidated;
        if (props.empty() && invalidated.empty()) {
            return;  // a notification alone: nothing for the cache
        }
        changed(path, interface, std::move(props), invalidated, false);
    } catch (...) {
        // A malformed signal is ignored; nothing may unwind through sd-bus.
    }
}

std::shared_ptr<Subscription> Central::subscriptionOf(const std::string& path) {
    std::lock_guard<std::mutex> lock(dispatchMutex_);
    auto it = characteristicSubs_.find(path);
    return it == characteristicSubs_.end() ? nullptr : it->second;
}

void Central::queueNotification(std::shared_ptr<Subscription> sub, std::vector<uint8_t>&& bytes) {
    events_.emplace_back();
    Event& e = events_.back();
    e.kind = Event::Notification;
    e.sub = std::move(sub);
    e.bytes = ByteArray(std::move(bytes));
}

void Central::onNameOwnerChanged(sdbus::Message& msg) {
    try {
        std::string name, oldOwner, newOwner;
        msg >> name >> oldOwner >> newOwner;
        if (name != kBluez) {
            return;
        }
        if (!oldOwner.empty()) {
            forgetAll();  // bluetoothd left: every object is gone
        }
        if (!newOwner.empty()) {
            loadObjects(nullptr);
        }
    } catch (...) {
    }
}

void Central::loadObjects(std::function<void(const CallError*)> done) {
    auto c = std::make_shared<Call>();
    c->path = "/";
    c->interface = "org.freedesktop.DBus.ObjectManager";
    c->method = "GetManagedObjects";
    c->timeoutUs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(kCallTimeout).count());
    c->done = std::move(done);
    c->read = [this](sdbus::MethodReply& reply) { applySnapshot(parseSnapshot(reply)); };
    startCall(c);
}

void Central::applySnapshot(Objects snapshot) {
    std::vector<std::pair<std::string, bool>> transitions;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        for (auto& [path, object] : snapshot) {
            if (object.count(kDeviceInterface) == 0) {
                continue;
            }
            bool now = flag(object, kDeviceInterface, "Connected");
            auto old = objects_.find(path);
            bool before = old != objects_.end() && flag(old->second, kDeviceInterface, "Connected");
            if (now != before) {
                transitions.emplace_back(path, now);
            }
        }
        for (auto& [path, object] : objects_) {
            if (snapshot.count(path) == 0 && flag(object, kDeviceInterface, "Connected")) {
                transitions.emplace_back(path, false);
            }
        }
        // Values of characteristics are not kept: they arrive as notifications.
        for (auto& [path, object] : snapshot) {
            auto it = object.find(kCharacteristicInterface);
            if (it != object.end()) {
                it->second.erase("Value");
            }
        }
        objects_ = std::move(snapshot);
        loaded_ = true;
    }
    cacheChanged_.notify_all();
    for (const auto& [path, connected] : transitions) {
        queueConnection(path, connected);
    }
    std::vector<std::shared_ptr<AdapterBase>> adapters;
    {
        std::lock_guard<std::mutex> lock(statesMutex_);
        for (auto& [path, state] : adapters_) {
            adapters.push_back(state);
        }
    }
    for (auto& state : adapters) {
        Interfaces object = this->object(state->path);
        auto it = object.find(kAdapterInterface);
        adapterChanged(state->path, it == object.end() ? Properties{} : it->second,
                       it == object.end());
    }
}

void Central::forgetAll() {
    Objects old;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        old.swap(objects_);
        loaded_ = false;
    }
    cacheChanged_.notify_all();
    for (const auto& [path, object] : old) {
        if (flag(object, kDeviceInterface, "Connected")) {
            queueConnection(path, false);
        }
        if (object.count(kAdapterInterface) != 0) {
            adapterChanged(path, {}, true);
        }
    }
}

void Central::changed(const std::string& path, const std::string& interface, Properties props,
                      const std::vector<std::string>& invalidated, bool added) {
    if (interface == kCharacteristicInterface) {
        props.erase("Value");
    }
    bool wasConnected = false, isConnected = false, isDeviceObject = false;
    bool advertised = added;
    std::string owner;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        auto object = objects_.find(path);
        if (!added && object == objects_.end()) {
            return;  // not known (yet): the snapshot will carry it
        }
        if (object == objects_.end()) {
            object = objects_.emplace(path, Interfaces{}).first;
        }
        if (!added && object->second.count(interface) == 0) {
            return;
        }
        auto& current = object->second[interface];
        if (isDevice(interface)) {
            isDeviceObject = true;
            wasConnected = flag(object->second, kDeviceInterface, "Connected");
            for (const auto& [name, value] : props) {
                if (isAdvertisement(name)) {
                    advertised = true;
                }
            }
        }
        for (auto& [name, value] : props) {
            current[name] = std::move(value);
        }
        for (const auto& name : invalidated) {
            current.erase(name);
        }
        if (isDeviceObject) {
            isConnected = flag(object->second, kDeviceInterface, "Connected");
            if (advertised) {
                const std::string* adapter =
                    get<std::string>(object->second, kDeviceInterface, "Adapter");
                owner = adapter != nullptr ? *adapter : parentPath(path);
            }
        }
    }
    cacheChanged_.notify_all();

    if (interface == kAdapterInterface) {
        Interfaces object = this->object(path);
        adapterChanged(path, object[kAdapterInterface], false);
    } else if (isDeviceObject) {
        if (wasConnected != isConnected) {
            queueConnection(path, isConnected);
        }
        if (advertised) {
            queueScan(path, owner);
        }
    } else if (interface == kBatteryInterface) {
        Interfaces object = this->object(path);
        if (const uint8_t* level = get<uint8_t>(object, kBatteryInterface, "Percentage")) {
            queueBattery(path, *level);
        }
    }
}

void Central::removed(const std::string& path, const std::vector<std::string>& interfaces) {
    bool wasConnected = false, wasAdapter = false;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        auto object = objects_.find(path);
        if (object == objects_.end()) {
            return;
        }
        for (const auto& name : interfaces) {
            if (name == kDeviceInterface) {
                wasConnected = flag(object->second, kDeviceInterface, "Connected");
            }
            if (name == kAdapterInterface) {
                wasAdapter = true;
            }
            object->second.erase(name);
        }
        if (object->second.empty()) {
            objects_.erase(object);
        }
    }
    cacheChanged_.notify_all();
    if (wasConnected) {
        queueConnection(path, false);
    }
    {
        // Forget the handle state of a dropped device once no handle uses it.
        std::lock_guard<std::mutex> lock(statesMutex_);
        auto it = devices_.find(path);
        if (it != devices_.end() && it->second.expired()) {
            devices_.erase(it);
        }
    }
    if (wasAdapter) {
        adapterChanged(path, {}, true);
    }
}

void Central::adapterChanged(const std::string& path, const Properties& props, bool gone) {
    std::shared_ptr<AdapterBase> state;
    {
        std::lock_guard<std::mutex> lock(statesMutex_);
        auto it = adapters_.find(path);
        if (it == adapters_.end()) {
            return;
        }
        state = it->second;
    }
    auto value = [&](const char* name) {
        auto it = props.find(name);
        const bool* b = it == props.end() ? nullptr : std::get_if<bool>(&it->second);
        return b != nullptr && *b;
    };
    bool ended = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->scanning) {
            return;
        }
        if (value("Discovering")) {
            state->sawDiscovering = true;
        } else if (state->sawDiscovering) {
            ended = true;  // BlueZ ended the discovery
        }
        if (gone || !value("Powered")) {
            ended = true;
        }
        if (ended) {
            state->scanning = false;
        }
    }
    if (ended) {
        events_.emplace_back();
        events_.back().kind = Event::ScanStopped;
        events_.back().adapter = state;
    }
}

void Central::queueConnection(const std::string& path, bool connected) {
    events_.emplace_back();
    events_.back().kind = connected ? Event::Connected : Event::Disconnected;
    events_.back().path = path;
}

void Central::queueScan(const std::string& path, const std::string& owner) {
    std::shared_ptr<AdapterBase> state;
    {
        std::lock_guard<std::mutex> lock(statesMutex_);
        auto it = adapters_.find(owner);
        if (it == adapters_.end()) {
            return;
        }
        state = it->second;
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->scanning) {
            return;
        }
    }
    events_.emplace_back();
    events_.back().kind = Event::Scan;
    events_.back().adapter = std::move(state);
    events_.back().path = path;
}

void Central::queueBattery(const std::string& path, uint8_t level) {
    std::shared_ptr<Subscription> sub;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        auto it = batterySubs_.find(path);
        if (it == batterySubs_.end()) {
            return;
        }
        sub = it->second;
    }
    events_.emplace_back();
    events_.back().kind = Event::Notification;
    events_.back().sub = std::move(sub);
    events_.back().bytes = ByteArray{level};
}

// ---- dispatch (event thread, outside sd-bus) ----

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

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
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
            AdapterBase& adapter = *event.adapter;
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
                try {
                    (*callback)(Peripheral(state));
                } catch (abi::__forced_unwind&) {
                    throw;
                } catch (...) {
                }
            }
            break;
        }
        case Event::Connected:
        case Event::Disconnected: {
            std::shared_ptr<PeripheralBase> state;
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
                try {
                    (*callback)();
                } catch (abi::__forced_unwind&) {
                    throw;
                } catch (...) {
                }
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
                try {
                    (*callback)();
                } catch (abi::__forced_unwind&) {
                    throw;
                } catch (...) {
                }
            }
            break;
        }
    }
}

// ---- subscriptions ----

void Central::waitNotRunning(std::unique_lock<std::mutex>& lock, const Subscription* sub) {
    // On the event thread the callback is either this caller or not running.
    if (!onEventThread()) {
        dispatchDone_.wait(lock, [&] { return running_ != sub; });
    }
}

void Central::subscribe(const std::string& path, bool battery, std::shared_ptr<Subscription> sub) {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    auto& slot = (battery ? batterySubs_ : characteristicSubs_)[path];
    std::shared_ptr<Subscription> old = std::move(slot);
    slot = std::move(sub);
    if (old) {
        old->active = false;
        waitNotRunning(lock, old.get());
    }
}

bool Central::unsubscribe(const std::string& path, bool battery) {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    auto& subs = battery ? batterySubs_ : characteristicSubs_;
    auto it = subs.find(path);
    if (it == subs.end()) {
        return false;
    }
    std::shared_ptr<Subscription> old = std::move(it->second);
    subs.erase(it);
    old->active = false;
    waitNotRunning(lock, old.get());
    return true;
}

bool Central::waitUntil(const std::function<bool(const Objects&)>& ready,
                        std::chrono::steady_clock::time_point deadline) {
    if (onEventThread()) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(cacheMutex_);
                if (ready(objects_)) {
                    return true;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pump(static_cast<int>(std::min<int64_t>(left.count(), 50)));
        }
    }
    std::unique_lock<std::mutex> lock(cacheMutex_);
    return cacheChanged_.wait_until(lock, deadline, [&] { return ready(objects_); });
}

}  // namespace SimpleBLE::detail
