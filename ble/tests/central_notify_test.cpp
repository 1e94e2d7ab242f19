// Notifications: order, threads, unsubscribing, and the battery level.

#include "central_fixture.h"

using namespace centraltest;

namespace {

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

}  // namespace
