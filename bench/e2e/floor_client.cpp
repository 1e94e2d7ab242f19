// The floor: the least a BlueZ client on sdbus-c++ must do to receive the
// amplifier's data notifications. It finds and connects the default amplifier
// with plain BlueZ calls, subscribes to the data characteristic (StartNotify)
// and timestamps each PropertiesChanged as the first thing its handler does,
// then reads the packet counter out of the value to know which notification
// it was. No configuration, no decoding, no queue: anything libtavoble costs
// on top of this is measured against it.
//
// With --acquire it takes the notifications as BlueZ hands them out past the
// bus daemon instead: AcquireNotify gives a socket, one notification per
// read, and one thread reads it (poll, then recv; timestamp first).
//
//   e2e_floor_client [--acquire] [--seconds S | --notifications N] [--out LOG] [--warmup N] ...
//
// Run on a bus with tavoble-sim (DBUS_SYSTEM_BUS_ADDRESS); prints one JSON line.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "e2e_util.h"

namespace {

const char* const kBluez = "org.bluez";
const char* const kAdapterPath = "/org/bluez/hci0";
const char* const kDataUuid = "b5211406-449f-4ba0-a651-b887924b81e8";
const char* const kCharacteristic = "org.bluez.GattCharacteristic1";

using Properties = std::map<std::string, sdbus::Variant>;
using Objects = std::map<sdbus::ObjectPath, std::map<std::string, Properties>>;

e2e_log g_log;
std::atomic<uint64_t> g_received{0};
uint64_t g_gaps = 0;
uint64_t g_last = UINT64_MAX;

uint64_t Received() {
    return g_received.load(std::memory_order_relaxed);
}

Objects ManagedObjects(sdbus::IProxy& root) {
    Objects objects;
    root.callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .storeResultsTo(objects);
    return objects;
}

template <typename Found>
std::string WaitFor(sdbus::IProxy& root, Found found, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& [path, interfaces] : ManagedObjects(root)) {
            if (found(path, interfaces)) {
                return path;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error(std::string("timed out waiting for ") + what);
}

bool HasString(const std::map<std::string, Properties>& interfaces, const char* interface,
               const char* property, const std::string& value) {
    auto i = interfaces.find(interface);
    if (i == interfaces.end()) {
        return false;
    }
    auto p = i->second.find(property);
    return p != i->second.end() && p->second.containsValueOfType<std::string>() &&
           p->second.get<std::string>() == value;
}

// Notes one notification that arrived at t.
void Note(const uint8_t* value, size_t size, uint64_t t) {
    if (size < E2E_COUNTER_OFFSET + 3) {
        return;
    }
    const uint64_t counter = (uint64_t{value[E2E_COUNTER_OFFSET]} << 16) |
                             (uint64_t{value[E2E_COUNTER_OFFSET + 1]} << 8) |
                             value[E2E_COUNTER_OFFSET + 2];
    const uint64_t index = counter - 1;
    if (g_last != UINT64_MAX && index != g_last + 1) {
        ++g_gaps;
    }
    g_last = index;
    const uint64_t n = g_received.load(std::memory_order_relaxed);
    if (n < g_log.capacity) {
        g_log.entries[n] = e2e_entry{index, t};
    }
    g_received.store(n + 1, std::memory_order_release);
}

// Reads the acquired socket until it is hung up or `stop` is set.
void ReadSocket(int fd, const std::atomic<bool>& stop) {
    uint8_t value[512];
    while (!stop.load(std::memory_order_relaxed)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = recv(fd, value, sizeof value, MSG_DONTWAIT);
        const uint64_t t = e2e_now_ns();
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return;
        }
        if (n > 0) {
            Note(value, static_cast<size_t>(n), t);
        }
    }
}

// The handler of the data characteristic's PropertiesChanged.
void OnPropertiesChanged(sdbus::Message& msg) {
    const uint64_t t = e2e_now_ns();
    char* interface = nullptr;
    msg >> interface;
    if (interface == nullptr || std::strcmp(interface, kCharacteristic) != 0 ||
        !msg.enterContainer("{sv}")) {
        return;
    }
    uint8_t value[256];
    size_t size = 0;
    while (msg.enterDictEntry("sv")) {
        char* name = nullptr;
        msg >> name;
        if (name != nullptr && std::strcmp(name, "Value") == 0 && msg.enterVariant("ay") &&
            msg.enterContainer("y")) {
            uint8_t byte = 0;
            while (msg >> byte) {
                if (size < sizeof value) {
                    value[size++] = byte;
                }
            }
            msg.clearFlags();
            msg.exitContainer();
            msg.exitVariant();
        } else {
            sdbus::Variant skipped;
            msg >> skipped;
        }
        msg.exitDictEntry();
    }
    msg.clearFlags();
    msg.exitContainer();
    Note(value, size, t);
}

}  // namespace

int main(int argc, char** argv) {
    bool acquire = false;
    if (argc > 1 && std::strcmp(argv[1], "--acquire") == 0) {
        acquire = true;
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    e2e_options options;
    if (e2e_parse(argc, argv, &options) != 0) {
        return 2;
    }
    if (e2e_log_init(&g_log, options.out != nullptr ? options.capacity : 1) != 0) {
        return 1;
    }
    try {
        auto connection = sdbus::createSystemBusConnection();
        auto root = sdbus::createProxy(*connection, kBluez, "/");
        auto adapter = sdbus::createProxy(*connection, kBluez, kAdapterPath);

        adapter->callMethod("StartDiscovery").onInterface("org.bluez.Adapter1");
        const std::string device = WaitFor(
            *root,
            [](const std::string&, const std::map<std::string, Properties>& interfaces) {
                return HasString(interfaces, "org.bluez.Device1", "Name", E2E_AMPLIFIER);
            },
            "the amplifier");
        adapter->callMethod("StopDiscovery").onInterface("org.bluez.Adapter1");

        auto peer = sdbus::createProxy(*connection, kBluez, device);
        peer->callMethod("Connect").onInterface("org.bluez.Device1");
        const std::string data = WaitFor(
            *root,
            [&device](const std::string& path,
                      const std::map<std::string, Properties>& interfaces) {
                return path.rfind(device + "/", 0) == 0 &&
                       HasString(interfaces, kCharacteristic, "UUID", kDataUuid);
            },
            "the data characteristic");

        auto characteristic = sdbus::createProxy(*connection, kBluez, data);
        sdbus::UnixFd socket;
        std::atomic<bool> stop{false};
        std::thread reader;
        if (acquire) {
            uint16_t mtu = 0;
            characteristic->callMethod("AcquireNotify")
                .onInterface(kCharacteristic)
                .withArguments(std::map<std::string, sdbus::Variant>{})
                .storeResultsTo(socket, mtu);
            reader = std::thread([&] { ReadSocket(socket.get(), stop); });
        } else {
            connection->addMatch(
                "type='signal',sender='org.bluez',"
                "interface='org.freedesktop.DBus.Properties',"
                "member='PropertiesChanged',path='" +
                    data + "'",
                OnPropertiesChanged, sdbus::floating_slot);
            connection->enterEventLoopAsync();
            characteristic->callMethod("StartNotify").onInterface(kCharacteristic);
        }

        auto alloc =
            reinterpret_cast<e2e_alloc_window_fn>(dlsym(RTLD_DEFAULT, "tavobench_alloc_window"));
        e2e_run run;
        e2e_drive(&options, Received, alloc, &run);

        if (acquire) {
            stop = true;
            reader.join();
            socket.reset();  // closing releases the notifications
        } else {
            characteristic->callMethod("StopNotify").onInterface(kCharacteristic);
            connection->leaveEventLoop();
        }
        peer->callMethod("Disconnect").onInterface("org.bluez.Device1");

        const uint64_t items = Received();
        if (options.out != nullptr && e2e_log_write(&g_log, items, options.out) != 0) {
            std::fprintf(stderr, "cannot write %s\n", options.out);
            return 1;
        }
        std::printf("{\"client\": \"%s\", ", acquire ? "floor-socket" : "floor");
        e2e_print_run(&run);
        std::printf(", \"items\": %llu, \"fillers\": 0, \"gaps\": %llu}\n",
                    static_cast<unsigned long long>(items),
                    static_cast<unsigned long long>(g_gaps));
        return run.ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "floor client: %s\n", e.what());
        return 1;
    }
}
