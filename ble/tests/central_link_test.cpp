// Connecting, reading, and every way a link or a look-up fails.

#include "central_fixture.h"

using namespace centraltest;

namespace {

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

// Values the amplifier sent before its link went are on their way when the
// central hears of the loss (here: queued behind a callback that holds the
// reader): they still arrive, all of them and in order, on either path.
TEST_F(CentralTest, ValuesSentBeforeTheLinkWentStillArrive) {
    START_SIM();
    Peripheral p = connected();
    std::atomic<int> disconnects{0};
    p.set_callback_on_disconnected([&] { ++disconnects; });
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::vector<ByteArray> got;
    p.notify(kAmpService, kData, [&](ByteArray v) {
        std::unique_lock<std::mutex> lock(mutex);
        got.push_back(std::move(v));
        if (got.size() == 1) {
            released.wait(lock, [&] { return release; });
        }
    });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !got.empty();
    }));
    std::this_thread::sleep_for(300ms);  // more values wait behind the first
    sim.disconnectPeer(kAmp);
    ASSERT_TRUE(waitFor([&] { return disconnects.load() == 1; }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    const auto sent = sim.sentData(kAmp, 0, 100000);
    std::vector<ByteArray> copy;
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        copy = got;
        return !sent.empty() && copy.back() == ByteArray(sent.back());
    })) << copy.size()
        << " of the values arrived";
    auto first = std::find_if(sent.begin(), sent.end(), [&](const std::vector<uint8_t>& s) {
        return ByteArray(s) == copy[0];
    });
    ASSERT_NE(first, sent.end());
    ASSERT_EQ(static_cast<size_t>(sent.end() - first), copy.size());
    EXPECT_GT(copy.size(), 5U);
    for (size_t i = 0; i < copy.size(); ++i) {
        EXPECT_EQ(ByteArray(*(first + static_cast<std::ptrdiff_t>(i))), copy[i]) << i;
    }
    EXPECT_THROW(p.unsubscribe(kAmpService, kData), Exception::NotConnected);
    p.disconnect();
}

}  // namespace
