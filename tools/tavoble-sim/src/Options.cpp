#include "Options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace tavosim {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "tavoble-sim: %s\n", what.c_str());
    std::exit(2);
}

Scenario scenarioOf(const Options& o) {
    Scenario s;
    try {
        s = o.scenarioFile ? loadScenario(*o.scenarioFile) : defaultScenario();
    } catch (const std::exception& e) {
        die(e.what());
    }
    const char* env = std::getenv("TAVOBLE_SIM_NO_ACQUIRE_NOTIFY");
    if (o.noAcquireNotify || (env != nullptr && *env != '\0' && std::string(env) != "0")) {
        s.acquireNotify = false;
    }
    return s;
}

sd_bus* connectBus(const std::string& address, sd_event* loop) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r >= 0)
        r = sd_bus_attach_event(bus, loop, SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) {
        sd_bus_unref(bus);
        die("cannot connect to the bus " + address + ": " + std::strerror(-r));
    }
    return bus;
}

}  // namespace tavosim
