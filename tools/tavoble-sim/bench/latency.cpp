// Measures how late data notifications reach a subscriber: connects to the
// simulated amplifier, sets its rate, subscribes for a while with a plain
// sd-bus client, then compares every arrival with the send time the simulator
// recorded (GetSentData). Run it under `tavoble-sim run`:
//
//   tavoble-sim run -- tavoble-sim-latency [notifications/s] [seconds]
#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "UX-0001.00.01";
constexpr const char* kData = "b5211406-449f-4ba0-a651-b887924b81e8";

uint64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void check(int r, const char* what, const sd_bus_error* e = nullptr) {
    if (r < 0) {
        std::fprintf(stderr, "%s failed: %s\n", what,
                     e != nullptr && e->message ? e->message : std::strerror(-r));
        std::exit(1);
    }
}

void callEmpty(sd_bus* bus, const char* path, const char* iface, const char* member) {
    sd_bus_error e{};
    check(sd_bus_call_method(bus, "org.bluez", path, iface, member, &e, nullptr, ""), member, &e);
}

// Finds the object path of a device named kName, or of the data characteristic below it.
std::string findPath(sd_bus* bus, const std::string& under, bool wantData) {
    sd_bus_error e{};
    sd_bus_message* m = nullptr;
    check(sd_bus_call_method(bus, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                             "GetManagedObjects", &e, &m, ""),
          "GetManagedObjects", &e);
    std::string found;
    sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
        const char* path = nullptr;
        sd_bus_message_read(m, "o", &path);
        sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
        while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
            const char* iface = nullptr;
            sd_bus_message_read(m, "s", &iface);
            sd_bus_message_enter_container(m, 'a', "{sv}");
            while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
                const char* key = nullptr;
                sd_bus_message_read(m, "s", &key);
                const char* contents = nullptr;
                sd_bus_message_peek_type(m, nullptr, &contents);
                const std::string k = key;
                if (contents != nullptr && std::string(contents) == "s" &&
                    ((!wantData && k == "Name" && std::string(iface) == "org.bluez.Device1") ||
                     (wantData && k == "UUID" &&
                      std::string(iface) == "org.bluez.GattCharacteristic1"))) {
                    const char* v = nullptr;
                    sd_bus_message_read(m, "v", "s", &v);
                    if ((!wantData && std::string(v) == kName) ||
                        (wantData && std::string(v) == kData &&
                         std::string(path).rfind(under, 0) == 0)) {
                        found = path;
                    }
                } else {
                    sd_bus_message_skip(m, "v");
                }
                sd_bus_message_exit_container(m);
            }
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_unref(m);
    return found;
}

struct Arrival {
    uint64_t t;
    std::vector<uint8_t> bytes;
};

int onValue(sd_bus_message* m, void* userdata, sd_bus_error* /*e*/) {
    const uint64_t t = nowNs();
    auto* out = static_cast<std::vector<Arrival>*>(userdata);
    const char* iface = nullptr;
    sd_bus_message_read(m, "s", &iface);
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(m, "s", &key);
        if (std::string(key) == "Value") {
            const void* p = nullptr;
            size_t n = 0;
            sd_bus_message_enter_container(m, 'v', "ay");
            sd_bus_message_read_array(m, 'y', &p, &n);
            const auto* b = static_cast<const uint8_t*>(p);
            out->push_back({t, std::vector<uint8_t>(b, b + n)});
            sd_bus_message_exit_container(m);
        } else {
            sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
    }
    return 0;
}

void pump(sd_bus* bus, uint64_t untilNs) {
    while (nowNs() < untilNs) {
        int r = sd_bus_process(bus, nullptr);
        check(r, "sd_bus_process");
        if (r == 0) {
            sd_bus_wait(bus, 10000);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double rate = argc > 1 ? std::atof(argv[1]) : 20000.0;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    sd_bus* bus = nullptr;
    check(sd_bus_open_system(&bus), "connecting to DBUS_SYSTEM_BUS_ADDRESS");

    callEmpty(bus, "/org/bluez/hci0", "org.bluez.Adapter1", "StartDiscovery");
    std::string device;
    for (int i = 0; i < 100 && device.empty(); ++i) {
        pump(bus, nowNs() + 20'000'000);
        device = findPath(bus, "", false);
    }
    if (device.empty()) {
        std::fprintf(stderr, "%s not found\n", kName);
        return 1;
    }
    callEmpty(bus, "/org/bluez/hci0", "org.bluez.Adapter1", "StopDiscovery");
    callEmpty(bus, device.c_str(), "org.bluez.Device1", "Connect");
    std::string data;
    for (int i = 0; i < 100 && data.empty(); ++i) {
        pump(bus, nowNs() + 20'000'000);
        data = findPath(bus, device + "/", true);
    }
    sd_bus_error e{};
    // The default amplifier sends 125 notifications/s in real time.
    check(sd_bus_call_method(bus, "org.bluez", "/org/tavoble/simulator", "org.tavoble.Simulator1",
                             "SetRate", &e, nullptr, "sd", kName, rate / 125.0),
          "SetRate", &e);

    std::vector<Arrival> arrivals;
    arrivals.reserve(static_cast<size_t>(rate * seconds * 1.2) + 1000);
    check(sd_bus_match_signal(bus, nullptr, "org.bluez", data.c_str(),
                              "org.freedesktop.DBus.Properties", "PropertiesChanged", &onValue,
                              &arrivals),
          "AddMatch");
    callEmpty(bus, data.c_str(), "org.bluez.GattCharacteristic1", "StartNotify");
    pump(bus, nowNs() + static_cast<uint64_t>(seconds * 1e9));
    callEmpty(bus, data.c_str(), "org.bluez.GattCharacteristic1", "StopNotify");
    pump(bus, nowNs() + 200'000'000);

    // What was sent, with send times; index 0 is the first notification of the amplifier's life.
    sd_bus_message* reply = nullptr;
    check(sd_bus_call_method(bus, "org.bluez", "/org/tavoble/simulator", "org.tavoble.Simulator1",
                             "GetSentData", &e, &reply, "stu", kName, uint64_t{0},
                             uint32_t{0xFFFFFFFF}),
          "GetSentData", &e);
    std::vector<Arrival> sent;
    sd_bus_message_enter_container(reply, 'a', "(tay)");
    while (sd_bus_message_enter_container(reply, 'r', "tay") > 0) {
        uint64_t t = 0;
        const void* p = nullptr;
        size_t n = 0;
        sd_bus_message_read(reply, "t", &t);
        sd_bus_message_read_array(reply, 'y', &p, &n);
        const auto* b = static_cast<const uint8_t*>(p);
        sent.push_back({t, std::vector<uint8_t>(b, b + n)});
        sd_bus_message_exit_container(reply);
    }
    sd_bus_message_unref(reply);

    std::vector<double> latencyUs;
    size_t j = 0;
    size_t unmatched = 0;
    for (const auto& a : arrivals) {
        while (j < sent.size() && sent[j].bytes != a.bytes) {
            ++j;
        }
        if (j == sent.size()) {
            ++unmatched;
            j = 0;
            continue;
        }
        latencyUs.push_back(static_cast<double>(a.t - sent[j].t) / 1000.0);
        ++j;
    }
    std::sort(latencyUs.begin(), latencyUs.end());
    auto pct = [&](double p) {
        return latencyUs.empty()
                   ? 0.0
                   : latencyUs[std::min(
                         latencyUs.size() - 1,
                         static_cast<size_t>(p * static_cast<double>(latencyUs.size())))];
    };
    const double span =
        sent.size() > 1 ? static_cast<double>(sent.back().t - sent.front().t) / 1e9 : 0.0;
    std::printf(
        "requested %.0f/s for %.1f s: sent %zu (%.0f/s), received %zu, lost %zu, unmatched %zu\n",
        rate, seconds, sent.size(), span > 0 ? static_cast<double>(sent.size()) / span : 0.0,
        arrivals.size(), sent.size() - std::min(sent.size(), arrivals.size()), unmatched);
    std::printf("latency us: median %.1f  p90 %.1f  p99 %.1f  max %.1f\n", pct(0.5), pct(0.9),
                pct(0.99), latencyUs.empty() ? 0.0 : latencyUs.back());
    sd_bus_flush_close_unref(bus);
    return 0;
}
