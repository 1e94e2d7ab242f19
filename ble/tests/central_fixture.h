// The central against tavoble-sim: every test case runs in its own process
// (ctest runs them one by one) with its own private bus and simulator, because
// the central keeps one bus connection for the life of the process.
#pragma once

#include <gtest/gtest.h>
#include <simpleble/SimpleBLE.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "SimHarness.h"

namespace centraltest {

using namespace std::chrono_literals;
using SimpleBLE::Adapter;
using SimpleBLE::ByteArray;
using SimpleBLE::Peripheral;
namespace Exception = SimpleBLE::Exception;
using bletest::waitFor;

inline const std::string kAmp = "UX-0001.00.01";
inline const std::string kAmpService = "b5211405-449f-4ba0-a651-b887924b81e8";
inline const std::string kData = "b5211406-449f-4ba0-a651-b887924b81e8";
inline const std::string kConfig = "b5211407-449f-4ba0-a651-b887924b81e8";
inline const std::string kPayloadConfig = "b5211408-449f-4ba0-a651-b887924b81e8";
inline const std::string kChannelConfig = "b5211409-449f-4ba0-a651-b887924b81e8";
inline const std::string kFilterConfig = "b521140a-449f-4ba0-a651-b887924b81e8";
inline const std::string kDis = "0000180a-0000-1000-8000-00805f9b34fb";
inline const std::string kSerial = "00002a25-0000-1000-8000-00805f9b34fb";
inline const std::string kBatteryService = "0000180f-0000-1000-8000-00805f9b34fb";
inline const std::string kBatteryLevel = "00002a19-0000-1000-8000-00805f9b34fb";

// One simulated world per process; a second test in the same process would
// talk to the first one's bus, so it is skipped (ctest never does that).
inline bool claimProcess() {
    static bool used = false;
    bool first = !used;
    used = true;
    return first;
}

#define START_SIM(...)                                            \
    do {                                                          \
        if (!claimProcess())                                      \
            GTEST_SKIP() << "needs a process of its own (ctest)"; \
        const std::string error_ = sim.start(__VA_ARGS__);        \
        ASSERT_EQ(error_, "");                                    \
    } while (0)

// Counts calls and keeps the last values, safely across threads.
struct Recorder {
    std::mutex mutex;
    std::vector<ByteArray> values;
    std::atomic<int> count{0};
    void add(ByteArray v) {
        std::lock_guard<std::mutex> lock(mutex);
        values.push_back(std::move(v));
        ++count;
    }
    std::vector<ByteArray> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
};

class CentralTest : public ::testing::Test {
  protected:
    Adapter theAdapter() {
        auto adapters = Adapter::get_adapters();
        EXPECT_EQ(adapters.size(), 1U);
        return adapters.empty() ? Adapter() : adapters[0];
    }

    // Scans until the named peripheral has been reported, then stops.
    Peripheral find(Adapter& adapter, const std::string& name) {
        std::mutex mutex;
        Peripheral found;
        auto onReport = [&](Peripheral p) {
            if (p.identifier() == name) {
                std::lock_guard<std::mutex> lock(mutex);
                found = p;
            }
        };
        adapter.set_callback_on_scan_found(onReport);
        adapter.set_callback_on_scan_updated(onReport);
        adapter.scan_start();
        waitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return found.initialized();
        });
        adapter.set_callback_on_scan_found({});
        adapter.set_callback_on_scan_updated({});
        adapter.scan_stop();
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(found.initialized()) << name << " was not found";
        return found;
    }

    Peripheral connected(const std::string& name = kAmp) {
        Adapter adapter = theAdapter();
        Peripheral p = find(adapter, name);
        if (p.initialized()) {
            p.connect();
        }
        return p;
    }

    bletest::SimHarness sim;
};

}  // namespace centraltest
