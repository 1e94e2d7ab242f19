// The library's own scan state: starts and stops from several threads at
// once, and Bluetooth switched off under a running session.
#include <thread>
#include <vector>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
using Batches = std::vector<std::vector<std::string>>;
}  // namespace

TEST_F(SimulatorTest, ConcurrentStartsAndStopsEndInTheStateAskedForLast) {
    StartSimulator();
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 20; ++i) {
                const int32_t result =
                    (i + t) % 2 == 0 ? TAVOBLE_StartScanning() : TAVOBLE_StopScanning();
                failures += result != 0 ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0) << LastError();

    // Stopped: nothing is reported any more.
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
    seen.Clear();
    // Started: the amplifier is reported, from a list emptied by the start.
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    EXPECT_TRUE(seen.WaitFor([](const Batches& b) { return !b.empty(); }, 20s));
    EXPECT_EQ(TAVOBLE_StartScanning(), 0);  // already scanning: nothing changes
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);

    // Two opens at once each find their amplifier while sharing one scan.
    sim.addAmplifier(R"({"name": "UX-0002.00.02"})");
    TAVOBLE_HANDLE first = 0;
    TAVOBLE_HANDLE second = 0;
    std::thread other([&second] { TAVOBLE_OpenDevice("UX-0002.00.02", &second); });
    EXPECT_EQ(TAVOBLE_OpenDevice(kDefaultAmplifier, &first), 0) << LastError();
    other.join();
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    TAVOBLE_CloseDevice(&first);
    TAVOBLE_CloseDevice(&second);
}

TEST_F(SimulatorTest, StartingAfterBluetoothWasSwitchedOffIsCode2) {
    StartSimulator();
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
    sim.setPowered("hci0", false);
    ASSERT_TRUE(bletest::waitFor([] { return TAVOBLE_StartScanning() == 2; }, 20s));
    EXPECT_EQ(LastError(), "Bluetooth adapter not enabled.");
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);

    // Switched on again, scanning works as before.
    sim.setPowered("hci0", true);
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    ASSERT_TRUE(bletest::waitFor([] { return TAVOBLE_StartScanning() == 0; }, 20s));
    EXPECT_TRUE(seen.WaitFor([](const Batches& b) { return !b.empty(); }, 20s));
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
}
