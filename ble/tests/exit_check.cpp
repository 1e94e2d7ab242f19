// Exits the process while notifications stream, with a static object whose
// destructor unsubscribes and disconnects through the central, as the
// library's device registry does at unload. Must end with status 0, promptly.

#include <simpleble/SimpleBLE.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "SimHarness.h"

namespace {

const char* const kAmpService = "b5211405-449f-4ba0-a651-b887924b81e8";
const char* const kData = "b5211406-449f-4ba0-a651-b887924b81e8";
std::atomic<int> received{0};

struct OpenDevice {
    SimpleBLE::Peripheral peripheral;
    ~OpenDevice() {
        if (!peripheral.initialized()) {
            return;
        }
        try {
            peripheral.unsubscribe(kAmpService, kData);
            peripheral.disconnect();
            std::printf("closed at exit after %d notifications\n", received.load());
        } catch (const std::exception& e) {
            std::printf("close at exit failed: %s\n", e.what());
            std::_Exit(3);
        }
    }
};

}  // namespace

int main() {
    // Destroyed after `device`: the bus must outlive its clean-up.
    static bletest::SimHarness sim;
    static OpenDevice device;
    if (!sim.start(R"({"amplifiers": [{"rate": 0}]})").empty()) {
        std::puts("simulator did not start");
        return 2;
    }
    auto adapters = SimpleBLE::Adapter::get_adapters();
    if (adapters.size() != 1) {
        return 2;
    }
    SimpleBLE::Adapter adapter = adapters[0];
    std::atomic<bool> found{false};
    adapter.set_callback_on_scan_found([&](SimpleBLE::Peripheral p) {
        if (!found && p.identifier() == "UX-0001.00.01") {
            device.peripheral = p;
            found = true;
        }
    });
    adapter.scan_start();
    if (!bletest::waitFor([&] { return found.load(); })) {
        return 2;
    }
    adapter.set_callback_on_scan_found({});
    adapter.scan_stop();
    device.peripheral.connect();
    device.peripheral.notify(kAmpService, kData, [](SimpleBLE::ByteArray) { ++received; });
    bletest::waitFor([] { return received > 50; });
    std::exit(0);  // with the event thread busy delivering
}
