// Measures the notification path of the central against tavoble-sim: how long
// after the simulator sent a data notification the callback runs, and whether
// any is lost, at the amplifier's own rate and at the fastest rate.
// Usage: ble_notify_bench [seconds]

#include <simpleble/SimpleBLE.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "SimHarness.h"

namespace {

const char* const kAmpService = "b5211405-449f-4ba0-a651-b887924b81e8";
const char* const kData = "b5211406-449f-4ba0-a651-b887924b81e8";

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void run(bletest::SimHarness& sim, SimpleBLE::Peripheral& p, double rate, double seconds) {
    sim.setRate("UX-0001.00.01", rate);
    std::mutex mutex;
    std::vector<std::pair<uint64_t, SimpleBLE::ByteArray>> got;
    got.reserve(2000000);
    p.notify(kAmpService, kData, [&](SimpleBLE::ByteArray v) {
        const uint64_t now = monotonicNs();
        std::lock_guard<std::mutex> lock(mutex);
        got.emplace_back(now, std::move(v));
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    p.unsubscribe(kAmpService, kData);
    const uint64_t stopped = monotonicNs();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto sent = sim.sentDataTimed("UX-0001.00.01", 0, 4000000);
    // Match what arrived against what was sent, in order.
    std::vector<double> latencyUs;
    size_t s = 0, matched = 0, firstMatched = SIZE_MAX;
    for (auto& [when, bytes] : got) {
        while (s < sent.size() && SimpleBLE::ByteArray(sent[s].second) != bytes) {
            ++s;
        }
        if (s == sent.size()) {
            break;
        }
        firstMatched = std::min(firstMatched, s);
        latencyUs.push_back(static_cast<double>(when - sent[s].first) / 1000.0);
        ++matched;
        ++s;
    }
    std::sort(latencyUs.begin(), latencyUs.end());
    auto pct = [&](double q) {
        return latencyUs.empty()
                   ? 0.0
                   : latencyUs[static_cast<size_t>(q * static_cast<double>(latencyUs.size() - 1))];
    };
    // Sent while subscribed: from the first one received until unsubscribe returned.
    size_t during = 0;
    for (size_t i = firstMatched; i < sent.size(); ++i) {
        during += sent[i].first <= stopped ? 1 : 0;
    }
    std::printf(
        "rate x%-4g sent %zu, received %zu (%.0f/s), in order %zu, latency us p50 %.0f "
        "p99 %.0f max %.0f\n",
        rate, during, got.size(), static_cast<double>(got.size()) / seconds, matched, pct(0.5),
        pct(0.99), pct(1.0));
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    bletest::SimHarness sim;
    if (!sim.start(R"({"amplifiers": [{"sentDataCapacity": 4000000}]})").empty()) {
        std::puts("simulator did not start");
        return 2;
    }
    auto adapters = SimpleBLE::Adapter::get_adapters();
    if (adapters.size() != 1) {
        return 2;
    }
    std::mutex mutex;
    SimpleBLE::Peripheral p;
    adapters[0].set_callback_on_scan_found([&](SimpleBLE::Peripheral found) {
        std::lock_guard<std::mutex> lock(mutex);
        if (found.identifier() == "UX-0001.00.01") {
            p = found;
        }
    });
    adapters[0].scan_start();
    bletest::waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return p.initialized();
    });
    adapters[0].scan_stop();
    p.connect();
    run(sim, p, 1.0, seconds);
    run(sim, p, 4.0, seconds);
    run(sim, p, 40.0, seconds);
    run(sim, p, 0.0, seconds);
    p.disconnect();
    return 0;
}
