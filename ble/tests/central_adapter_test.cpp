// The adapter, its scan, the handles, and a machine without Bluetooth.

#include "central_fixture.h"

using namespace centraltest;

namespace {

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
