// The central against tavoble-sim: every test case runs in its own process
// (ctest runs them one by one) with its own private bus and simulator, because
// the central keeps one bus connection for the life of the process.

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

using namespace std::chrono_literals;
using SimpleBLE::Adapter;
using SimpleBLE::ByteArray;
using SimpleBLE::Peripheral;
namespace Exception = SimpleBLE::Exception;
using bletest::waitFor;

namespace {

const std::string kAmp = "UX-0001.00.01";
const std::string kAmpService = "b5211405-449f-4ba0-a651-b887924b81e8";
const std::string kData = "b5211406-449f-4ba0-a651-b887924b81e8";
const std::string kConfig = "b5211407-449f-4ba0-a651-b887924b81e8";
const std::string kPayloadConfig = "b5211408-449f-4ba0-a651-b887924b81e8";
const std::string kChannelConfig = "b5211409-449f-4ba0-a651-b887924b81e8";
const std::string kFilterConfig = "b521140a-449f-4ba0-a651-b887924b81e8";
const std::string kDis = "0000180a-0000-1000-8000-00805f9b34fb";
const std::string kSerial = "00002a25-0000-1000-8000-00805f9b34fb";
const std::string kBatteryService = "0000180f-0000-1000-8000-00805f9b34fb";
const std::string kBatteryLevel = "00002a19-0000-1000-8000-00805f9b34fb";

// One simulated world per process; a second test in the same process would
// talk to the first one's bus, so it is skipped (ctest never does that).
bool claimProcess() {
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

TEST_F(CentralTest, AdapterIsListedAndFollowsPower) {
    START_SIM();
    EXPECT_TRUE(Adapter::bluetooth_enabled());
    Adapter adapter = theAdapter();
    ASSERT_TRUE(adapter.initialized());
    EXPECT_EQ(adapter.identifier(), "hci0");
    EXPECT_EQ(adapter.address(), "00:1A:7D:DA:71:13");

    sim.setPowered("hci0", false);
    EXPECT_TRUE(waitFor([] { return !Adapter::bluetooth_enabled(); }));
    // As SimpleBLE: with Bluetooth off a scan start does nothing.
    adapter.scan_start();
    EXPECT_FALSE(adapter.scan_is_active());

    sim.setPowered("hci0", true);
    EXPECT_TRUE(waitFor([] { return Adapter::bluetooth_enabled(); }));
    adapter.scan_start();
    EXPECT_TRUE(adapter.scan_is_active());  // at once, not only once Discovering turns true
    adapter.scan_start();                   // a second start is harmless
    adapter.scan_stop();
    EXPECT_FALSE(adapter.scan_is_active());
    adapter.scan_stop();
}

TEST_F(CentralTest, SeveralAdaptersAreListedInOrder) {
    START_SIM(R"({"adapters": [{"id": "hci0", "powered": false},
                               {"id": "hci1", "address": "00:1A:7D:DA:71:14"}],
                  "amplifiers": []})");
    auto adapters = Adapter::get_adapters();
    ASSERT_EQ(adapters.size(), 2U);
    EXPECT_EQ(adapters[0].identifier(), "hci0");
    EXPECT_EQ(adapters[1].identifier(), "hci1");
    EXPECT_EQ(adapters[1].address(), "00:1A:7D:DA:71:14");
    EXPECT_TRUE(Adapter::bluetooth_enabled());  // one of them is powered
}

TEST_F(CentralTest, ScanReportsFoundOnceThenUpdated) {
    START_SIM();
    Adapter adapter = theAdapter();
    std::mutex mutex;
    std::map<std::string, int> found, updated;
    std::set<std::thread::id> threads;
    adapter.set_callback_on_scan_found([&](Peripheral p) {
        std::lock_guard<std::mutex> lock(mutex);
        ++found[p.identifier()];
        threads.insert(std::this_thread::get_id());
    });
    adapter.set_callback_on_scan_updated([&](Peripheral p) {
        std::lock_guard<std::mutex> lock(mutex);
        ++updated[p.identifier()];
        threads.insert(std::this_thread::get_id());
    });
    auto count = [&](std::map<std::string, int>& m) {
        std::lock_guard<std::mutex> lock(mutex);
        return m[kAmp];
    };

    adapter.scan_start();
    EXPECT_TRUE(waitFor([&] { return count(updated) >= 3; }));
    EXPECT_EQ(count(found), 1);
    adapter.scan_stop();
    EXPECT_FALSE(adapter.scan_is_active());
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0U) << "callbacks on the caller";
        EXPECT_EQ(threads.size(), 1U) << "callbacks on one event thread";
    }

    // A device BlueZ already knows is found again after a restart.
    adapter.scan_start();
    EXPECT_TRUE(waitFor([&] { return count(found) == 2; }));
    adapter.scan_stop();

    // Removed callbacks are not called.
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
    const int before = count(found) + count(updated);
    adapter.scan_start();
    std::this_thread::sleep_for(400ms);
    adapter.scan_stop();
    EXPECT_EQ(count(found) + count(updated), before);
}

TEST_F(CentralTest, ReportedPeripheralDescribesTheAdvertiser) {
    START_SIM(R"({"amplifiers": [{"name": "UX-0001.00.01", "address": "C0:FF:EE:00:00:01",
                                  "rssi": -61},
                                 {"name": null, "address": "C0:FF:EE:00:00:02"}]})");
    Adapter adapter = theAdapter();
    Peripheral amp = find(adapter, kAmp);
    ASSERT_TRUE(amp.initialized());
    EXPECT_EQ(amp.address(), "C0:FF:EE:00:00:01");
    EXPECT_TRUE(amp.is_connectable());
    EXPECT_FALSE(amp.is_connected());
    EXPECT_LT(amp.rssi(), 0);
    Peripheral unnamed = find(adapter, "");
    ASSERT_TRUE(unnamed.initialized());
    EXPECT_EQ(unnamed.address(), "C0:FF:EE:00:00:02");
    EXPECT_FALSE(unnamed.is_connectable());
}

TEST_F(CentralTest, ScanStopFromTheScanCallback) {
    START_SIM();
    Adapter adapter = theAdapter();
    std::atomic<bool> stopped{false};
    adapter.set_callback_on_scan_found([&](Peripheral) {
        if (!stopped) {
            Adapter(adapter).scan_stop();
            stopped = true;
        }
    });
    adapter.scan_start();
    ASSERT_TRUE(waitFor([&] { return stopped.load(); }));
    EXPECT_FALSE(adapter.scan_is_active());
    // The scan can start again, which a stale discovery session would refuse.
    adapter.scan_start();
    EXPECT_TRUE(adapter.scan_is_active());
    adapter.scan_stop();
}

TEST_F(CentralTest, ScanEndsWhenTheAdapterPowersOff) {
    START_SIM();
    Adapter adapter = theAdapter();
    std::atomic<int> stops{0};
    adapter.set_callback_on_scan_stop([&] { ++stops; });
    adapter.scan_start();
    std::this_thread::sleep_for(100ms);
    sim.setPowered("hci0", false);
    EXPECT_TRUE(waitFor([&] { return !adapter.scan_is_active(); }));
    EXPECT_TRUE(waitFor([&] { return stops.load() == 1; }));
}

TEST_F(CentralTest, ConnectResolvesTheGattProfile) {
    START_SIM();
    Adapter adapter = theAdapter();
    Peripheral p = find(adapter, kAmp);
    ASSERT_TRUE(p.initialized());
    std::atomic<int> connects{0};
    p.set_callback_on_connected([&] { ++connects; });
    p.connect();
    EXPECT_TRUE(p.is_connected());
    EXPECT_TRUE(sim.isConnected(kAmp));
    EXPECT_TRUE(waitFor([&] { return connects.load() == 1; }));
    p.connect();  // connected already: returns at once

    std::map<std::string, std::vector<std::string>> capabilities;
    int batteries = 0;
    for (auto& service : p.services()) {
        batteries += service.uuid() == kBatteryService ? 1 : 0;
        for (auto& c : service.characteristics()) {
            capabilities[service.uuid() + "/" + c.uuid()] = c.capabilities();
        }
    }
    using V = std::vector<std::string>;
    EXPECT_EQ(capabilities[kAmpService + "/" + kData], V{"notify"});
    EXPECT_EQ(capabilities[kAmpService + "/" + kConfig], V{"read"});
    for (const auto& c : {kChannelConfig, kPayloadConfig, kFilterConfig}) {
        EXPECT_EQ(capabilities[kAmpService + "/" + c], V{"notify"}) << c;
    }
    for (const char* c : {"2a24", "2a25", "2a26", "2a27", "2a29"}) {
        std::string uuid = std::string("0000") + c + "-0000-1000-8000-00805f9b34fb";
        EXPECT_EQ(capabilities[kDis + "/" + uuid], V{"read"}) << c;
    }
    // org.bluez.Battery1 appears as the Battery Service.
    EXPECT_EQ(batteries, 1);
    EXPECT_EQ(capabilities[kBatteryService + "/" + kBatteryLevel], (V{"read", "notify"}));
}

TEST_F(CentralTest, ReadReturnsTheWholeValue) {
    START_SIM(R"({"amplifiers": [{"deviceInformation": {"serialNumber": "UX-0001.00.01"}}]})");
    Peripheral p = connected();
    ASSERT_TRUE(p.is_connected());
    EXPECT_EQ(std::string(p.read(kDis, kSerial)), kAmp);
    EXPECT_EQ(p.read(kAmpService, kConfig).size(), 16U);
    EXPECT_EQ(p.read(kBatteryService, kBatteryLevel), ByteArray({87}));
}

TEST_F(CentralTest, NotifyDeliversWhatTheAmplifierSentInOrder) {
    START_SIM();
    Peripheral p = connected();
    Recorder rec;
    std::atomic<bool> onCaller{false};
    const auto caller = std::this_thread::get_id();
    p.notify(kAmpService, kData, [&](ByteArray v) {
        onCaller = onCaller || std::this_thread::get_id() == caller;
        rec.add(std::move(v));
    });
    ASSERT_TRUE(waitFor([&] { return rec.count >= 20; }));
    p.unsubscribe(kAmpService, kData);
    EXPECT_FALSE(onCaller);

    auto got = rec.snapshot();
    auto sent = sim.sentData(kAmp, 0, 100000);
    ASSERT_GE(sent.size(), got.size());
    // What arrived is what was sent, none lost, none reordered.
    auto start = std::find_if(sent.begin(), sent.end(), [&](const std::vector<uint8_t>& s) {
        return ByteArray(s) == got[0];
    });
    ASSERT_NE(start, sent.end());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_LT(static_cast<size_t>(start - sent.begin()) + i, sent.size());
        EXPECT_EQ(ByteArray(*(start + static_cast<std::ptrdiff_t>(i))), got[i]) << i;
    }

    // Nothing more after unsubscribe.
    const int after = rec.count;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rec.count, after);
}

TEST_F(CentralTest, UnsubscribeWaitsForTheRunningCallback) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    p.notify(kAmpService, kData, [&](ByteArray) {
        inside = true;
        std::this_thread::sleep_for(30ms);
        ++calls;
        inside = false;
    });
    ASSERT_TRUE(waitFor([&] { return calls >= 2 && inside; }));
    p.unsubscribe(kAmpService, kData);
    EXPECT_FALSE(inside) << "callback still running after unsubscribe returned";
    const int after = calls;
    // Notifications that were queued or still in flight are dropped.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(calls, after);
}

TEST_F(CentralTest, AStuckCallbackGetsItsLaterNotificationsOnAnotherThreadInOrder) {
    START_SIM();
    Peripheral p = connected();
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::vector<ByteArray> got;
    std::set<std::thread::id> threads;
    std::atomic<bool> firstInside{false};
    p.notify(kAmpService, kData, [&](ByteArray v) {
        std::unique_lock<std::mutex> lock(mutex);
        got.push_back(std::move(v));
        threads.insert(std::this_thread::get_id());
        if (got.size() == 1) {
            firstInside = true;
            released.wait(lock, [&] { return release; });
        }
    });
    ASSERT_TRUE(waitFor([&] { return firstInside.load(); }));
    // The bus is served meanwhile, and the notifications go on elsewhere.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.read(kAmpService, kConfig).size(), 16U);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size() >= 30;
    }));
    // Unsubscribing waits only briefly for the stuck call.
    const auto before = std::chrono::steady_clock::now();
    p.unsubscribe(kAmpService, kData);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    std::vector<ByteArray> seen;
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        seen = got;
        EXPECT_GE(threads.size(), 2U);
    }
    released.notify_all();
    auto sent = sim.sentData(kAmp, 0, 100000);
    auto first = std::find_if(sent.begin(), sent.end(), [&](const std::vector<uint8_t>& s) {
        return ByteArray(s) == seen[0];
    });
    ASSERT_NE(first, sent.end());
    ASSERT_LE(static_cast<size_t>(first - sent.begin()) + seen.size(), sent.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(ByteArray(*(first + static_cast<std::ptrdiff_t>(i))), seen[i]) << i;
    }
}

TEST_F(CentralTest, ACallbackThatNeverReturnsIsGivenOnlyAFewThreads) {
    START_SIM();
    Peripheral p = connected();
    auto gate = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto state = std::make_shared<std::pair<int, bool>>(0, false);  // inside, released
    p.notify(kAmpService, kData, [gate, state](ByteArray) {
        std::unique_lock<std::mutex> lock(gate->first);
        ++state->first;
        gate->second.wait(lock, [&] { return state->second; });
        --state->first;
    });
    std::this_thread::sleep_for(1500ms);
    {
        std::lock_guard<std::mutex> lock(gate->first);
        EXPECT_GE(state->first, 2);
        EXPECT_LE(state->first, 4);
    }
    p.unsubscribe(kAmpService, kData);
    {
        std::lock_guard<std::mutex> lock(gate->first);
        state->second = true;
    }
    gate->second.notify_all();
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(gate->first);
        return state->first == 0;
    }));
}

TEST_F(CentralTest, UnsubscribeFromInsideItsOwnCallback) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<int> calls{0};
    std::atomic<bool> done{false};
    p.notify(kAmpService, kData, [&](ByteArray) {
        if (++calls == 1) {
            Peripheral(p).unsubscribe(kAmpService, kData);
            done = true;
        }
    });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(CentralTest, ReadFromANotificationCallback) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<int> size{-1};
    p.notify(kAmpService, kData, [&](ByteArray) {
        if (size < 0) {
            size = static_cast<int>(Peripheral(p).read(kAmpService, kConfig).size());
        }
    });
    ASSERT_TRUE(waitFor([&] { return size >= 0; }));
    EXPECT_EQ(size, 16);
    p.unsubscribe(kAmpService, kData);
}

TEST_F(CentralTest, ResubscribingReplacesTheCallback) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<int> first{0}, second{0};
    p.notify(kAmpService, kData, [&](ByteArray) { ++first; });
    ASSERT_TRUE(waitFor([&] { return first > 0; }));
    p.notify(kAmpService, kData, [&](ByteArray) { ++second; });
    const int frozen = first;
    ASSERT_TRUE(waitFor([&] { return second > 3; }));
    EXPECT_EQ(first, frozen);
    p.unsubscribe(kAmpService, kData);
}

TEST_F(CentralTest, SubscriptionOutlivesTheLastHandle) {
    START_SIM();
    auto calls = std::make_shared<std::atomic<int>>(0);
    {
        Peripheral p = connected();
        p.notify(kAmpService, kData, [calls](ByteArray) {
            ++*calls;
            std::this_thread::sleep_for(2ms);
        });
        ASSERT_TRUE(waitFor([&] { return *calls >= 3; }));
    }  // the last handle goes while callbacks run
    const int before = *calls;
    EXPECT_TRUE(waitFor([&] { return *calls >= before + 10; }));
    sim.disconnectPeer(kAmp);
    EXPECT_TRUE(waitFor([&] { return !sim.isConnected(kAmp); }));
}

// The battery both as org.bluez.Battery1 (real BlueZ) and as a GATT service.
class BatteryTest : public CentralTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BatteryTest, ReadAndNotifyTheLevel) {
    const bool gatt = GetParam();
    START_SIM(std::string(R"({"amplifiers": [{"battery": {"level": 64, "gattService": )") +
              (gatt ? "true" : "false") + "}}]}");
    Peripheral p = connected();
    ASSERT_TRUE(p.is_connected());
    int batteries = 0;
    for (auto& s : p.services()) {
        batteries += s.uuid() == kBatteryService ? 1 : 0;
    }
    EXPECT_EQ(batteries, 1);
    EXPECT_EQ(p.read(kBatteryService, kBatteryLevel), ByteArray({64}));

    Recorder rec;
    p.notify(kBatteryService, kBatteryLevel, [&](ByteArray v) { rec.add(std::move(v)); });
    std::this_thread::sleep_for(100ms);
    sim.setBatteryLevel(kAmp, 42);
    ASSERT_TRUE(waitFor([&] {
        auto values = rec.snapshot();
        return !values.empty() && values.back() == ByteArray({42});
    }));
    p.unsubscribe(kBatteryService, kBatteryLevel);
    const int after = rec.count;
    sim.setBatteryLevel(kAmp, 41);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rec.count, after);
}

std::string batteryForm(const ::testing::TestParamInfo<bool>& form) {
    return form.param ? "Gatt" : "Battery1";
}

INSTANTIATE_TEST_SUITE_P(BothForms, BatteryTest, ::testing::Values(false, true), batteryForm);

TEST_F(CentralTest, DisconnectEndsTheLink) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<int> disconnects{0};
    p.set_callback_on_disconnected([&] { ++disconnects; });
    p.disconnect();
    EXPECT_FALSE(p.is_connected());
    EXPECT_FALSE(sim.isConnected(kAmp));
    EXPECT_TRUE(waitFor([&] { return disconnects.load() == 1; }));
    p.disconnect();  // not connected: nothing to do
    EXPECT_THROW(p.read(kAmpService, kConfig), Exception::NotConnected);
    p.connect();  // and back
    EXPECT_TRUE(p.is_connected());
}

TEST_F(CentralTest, OperationsOnANotConnectedPeripheral) {
    START_SIM();
    Adapter adapter = theAdapter();
    Peripheral p = find(adapter, kAmp);
    ASSERT_TRUE(p.initialized());
    EXPECT_THROW(p.read(kAmpService, kConfig), Exception::NotConnected);
    EXPECT_THROW(p.notify(kAmpService, kData, [](ByteArray) {}), Exception::NotConnected);
    EXPECT_THROW(p.unsubscribe(kAmpService, kData), Exception::NotConnected);
    p.disconnect();
}

TEST_F(CentralTest, LookupAndCapabilityErrors) {
    START_SIM();
    Peripheral p = connected();
    ASSERT_TRUE(p.is_connected());
    const std::string unknown = "0000feed-0000-1000-8000-00805f9b34fb";
    struct Case {
        const char* what;
        std::function<void()> op;
        std::string text;
    };
    auto noop = [](ByteArray) {};
    std::vector<Case> cases = {
        {"unknown service", [&] { p.read(unknown, kConfig); },
         "Service with UUID " + unknown + " not found."},
        // UUIDs are compared exactly as BlueZ reports them.
        {"upper-case service", [&] { p.read("B5211405-449F-4BA0-A651-B887924B81E8", kConfig); },
         "Service with UUID B5211405-449F-4BA0-A651-B887924B81E8 not found."},
        {"unknown characteristic", [&] { p.notify(kAmpService, unknown, noop); },
         "Characteristic with UUID " + unknown + " not found"},
        {"characteristic of another service", [&] { p.unsubscribe(kDis, kData); },
         "Characteristic with UUID " + kData + " not found"},
        {"read of a notify-only characteristic", [&] { p.read(kAmpService, kData); },
         "The requested operation is not supported."},
        {"notify of a read-only characteristic", [&] { p.notify(kAmpService, kConfig, noop); },
         "The requested operation is not supported."},
    };
    for (auto& c : cases) {
        try {
            c.op();
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const Exception::BaseException& e) {
            EXPECT_EQ(e.what(), c.text) << c.what;
        }
    }
    EXPECT_TRUE(p.is_connected());
}

TEST(Handles, DefaultConstructedHandlesAreNotInitialized) {
    Adapter a;
    Peripheral p;
    SimpleBLE::Service s;
    SimpleBLE::Characteristic c;
    EXPECT_FALSE(a.initialized());
    EXPECT_FALSE(p.initialized());
    EXPECT_THROW(a.scan_start(), Exception::NotInitialized);
    EXPECT_THROW(p.identifier(), Exception::NotInitialized);
    EXPECT_THROW(p.connect(), Exception::NotInitialized);
    EXPECT_THROW(s.uuid(), Exception::NotInitialized);
    EXPECT_THROW(c.can_read(), Exception::NotInitialized);
    try {
        p.is_connected();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Object has not been initialized.");
    }
}

TEST(Handles, ByteArrayConvertsBothWays) {
    ByteArray fromString(std::string("\x01\x00\xff", 3));
    ByteArray fromVector(std::vector<uint8_t>{1, 0, 255});
    const uint8_t raw[] = {1, 0, 255};
    ByteArray fromPointer(raw, sizeof raw);
    EXPECT_EQ(fromString, fromVector);
    EXPECT_EQ(fromPointer, ByteArray({1, 0, 255}));
    EXPECT_EQ(std::string(fromVector), std::string("\x01\x00\xff", 3));
    EXPECT_EQ(std::vector<uint8_t>(fromString), (std::vector<uint8_t>{1, 0, 255}));
    EXPECT_EQ(ByteArray("abc").size(), 3U);
    EXPECT_TRUE(ByteArray().empty());
}

TEST_F(CentralTest, ConnectFailureIsReportedWithItsCause) {
    START_SIM(R"({"amplifiers": [{"faults": {"connect": {"fail": "error"}}}]})");
    Adapter adapter = theAdapter();
    Peripheral p = find(adapter, kAmp);
    ASSERT_TRUE(p.initialized());
    try {
        p.connect();
        FAIL() << "connect succeeded";
    } catch (const Exception::OperationFailed& e) {
        EXPECT_NE(std::string(e.what()).find("le-connection-abort-by-local"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(p.is_connected());
}

TEST_F(CentralTest, ConnectRetriesATransientFailure) {
    START_SIM(R"({"amplifiers": [{"faults": {"connect": {"fail": "error", "attempts": 2}}}]})");
    Peripheral p = connected();
    EXPECT_TRUE(p.is_connected());
}

TEST_F(CentralTest, ConnectGivesUpWhenServicesNeverResolve) {
    START_SIM(R"({"amplifiers": [{"faults": {"connect": {"fail": "unresolved"}}}]})");
    Adapter adapter = theAdapter();
    Peripheral p = find(adapter, kAmp);
    ASSERT_TRUE(p.initialized());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(p.connect(), Exception::OperationFailed);
    // Bounded (about 10 s), and the half-open link is closed again.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
    EXPECT_TRUE(waitFor([&] { return !sim.isConnected(kAmp); }));
}

TEST_F(CentralTest, HandleOfARemovedDeviceFailsCleanly) {
    START_SIM(R"({"timing": {"deviceTimeoutMs": 200}})");
    Adapter adapter = theAdapter();
    Peripheral p = find(adapter, kAmp);
    ASSERT_TRUE(p.initialized());
    const std::string address = p.address();
    // Silent devices are dropped by BlueZ after a while.
    sim.removeAmplifier(kAmp);
    ASSERT_TRUE(waitFor([&] {
        auto addresses = sim.deviceAddresses();
        return std::find(addresses.begin(), addresses.end(), address) == addresses.end();
    }));
    // The central hears of it a little later; until then BlueZ refuses the call.
    std::string failure;
    EXPECT_TRUE(waitFor([&] {
        try {
            p.connect();
            failure = "connect succeeded";
        } catch (const std::exception& e) {
            failure = e.what();
        }
        return failure.find("no longer known") != std::string::npos;
    })) << failure;
    EXPECT_EQ(p.identifier(), kAmp);  // what was last seen
    EXPECT_EQ(p.address(), address);
    EXPECT_FALSE(p.is_connected());
    EXPECT_TRUE(p.services().empty());
    EXPECT_THROW(p.read(kAmpService, kConfig), Exception::NotConnected);
    EXPECT_THROW(p.unsubscribe(kAmpService, kData), Exception::NotConnected);
    p.disconnect();
}

TEST_F(CentralTest, PeerVanishesMidStream) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<int> disconnects{0};
    p.set_callback_on_disconnected([&] { ++disconnects; });
    std::atomic<int> calls{0};
    p.notify(kAmpService, kData, [&](ByteArray) { ++calls; });
    ASSERT_TRUE(waitFor([&] { return calls >= 5; }));
    sim.disconnectPeer(kAmp);
    ASSERT_TRUE(waitFor([&] { return disconnects.load() == 1; }));
    EXPECT_FALSE(p.is_connected());
    std::this_thread::sleep_for(100ms);
    const int after = calls;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls, after);
    // The session's clean-up path: unsubscribe reports the lost link but drops
    // the callback; disconnect has nothing left to do.
    EXPECT_THROW(p.unsubscribe(kAmpService, kData), Exception::NotConnected);
    p.disconnect();
    p.connect();  // the peer is still there and takes a new connection
    EXPECT_TRUE(p.is_connected());
}

TEST(NoBluetooth, NoBusMeansNoAdapter) {
    if (!claimProcess())
        GTEST_SKIP() << "needs a process of its own (ctest)";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ble-central-test", 1);
    EXPECT_FALSE(Adapter::bluetooth_enabled());
    EXPECT_TRUE(Adapter::get_adapters().empty());
    EXPECT_FALSE(Adapter::bluetooth_enabled());
}

TEST(NoBluetooth, BusWithoutBluezMeansNoAdapter) {
    if (!claimProcess())
        GTEST_SKIP() << "needs a process of its own (ctest)";
    bletest::SimHarness bus;
    ASSERT_EQ(bus.start("", false), "");
    EXPECT_FALSE(Adapter::bluetooth_enabled());
    EXPECT_TRUE(Adapter::get_adapters().empty());
}

TEST(NoBluetooth, BluetoothServiceComingAndGoing) {
    if (!claimProcess())
        GTEST_SKIP() << "needs a process of its own (ctest)";
    bletest::SimHarness bus;
    ASSERT_EQ(bus.start("", false), "");
    EXPECT_FALSE(Adapter::bluetooth_enabled());
    bus.serve();
    ASSERT_TRUE(waitFor([] { return Adapter::bluetooth_enabled(); }));
    auto adapters = Adapter::get_adapters();
    ASSERT_EQ(adapters.size(), 1U);
    adapters[0].scan_start();
    EXPECT_TRUE(adapters[0].scan_is_active());
    bus.endServe();
    // Its objects and the scan went with it.
    EXPECT_TRUE(waitFor([] { return !Adapter::bluetooth_enabled(); }));
    EXPECT_TRUE(Adapter::get_adapters().empty());
    EXPECT_FALSE(adapters[0].scan_is_active());
    EXPECT_THROW(adapters[0].scan_start(), Exception::OperationFailed);
}

}  // namespace
