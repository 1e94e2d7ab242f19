// BlueZ turns `Discovering` true some time after StartDiscovery has answered
// (here 150 ms) and answers a second StartDiscovery of the same client with
// InProgress. Starts, stops and opens from several threads inside that window
// still end in the state asked for.

#include <atomic>
#include <thread>
#include <vector>

#include "AdapterDiscovering.h"
#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

using Batches = std::vector<std::vector<std::string>>;

const char* kTwoAmplifiers = R"({"timing": {"discoveringDelayMs": 150},
    "amplifiers": [{"name": "UX-0001.00.01"}, {"name": "UX-0002.00.02"}]})";

// Longer than the Discovering delay: a start still under way has ended by then.
void LetDiscoveryStateSettle() {
    std::this_thread::sleep_for(600ms);
}

}  // namespace

TEST_F(SimulatorTest, AStartRightAfterAStartScansOnce) {
    StartSimulator(kTwoAmplifiers);
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    for (int round = 0; round < 3; ++round) {
        seen.Clear();
        EXPECT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
        EXPECT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
        EXPECT_TRUE(
            seen.WaitFor([](const Batches& b) { return !b.empty() && b.back().size() == 2; }, 20s))
            << "round " << round;
        EXPECT_TRUE(bletest::waitFor(AdapterDiscovering, 5s));
        EXPECT_EQ(TAVOBLE_StopScanning(), 0) << LastError();
        EXPECT_TRUE(bletest::waitFor([] { return !AdapterDiscovering(); }, 5s));
    }
}

TEST_F(SimulatorTest, AStopRightAfterAStartLeavesBlueZNotDiscovering) {
    StartSimulator(kTwoAmplifiers);
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
        EXPECT_EQ(TAVOBLE_StopScanning(), 0) << LastError();
        LetDiscoveryStateSettle();
        EXPECT_FALSE(AdapterDiscovering()) << "round " << round;
    }
    // Stopping again, with nothing to stop, is no error either.
    EXPECT_EQ(TAVOBLE_StopScanning(), 0) << LastError();
}

TEST_F(SimulatorTest, TwoThreadsOpenTwoAmplifiersInsideTheDiscoveringDelay) {
    StartSimulator(kTwoAmplifiers);
    for (int round = 0; round < 3; ++round) {
        TAVOBLE_HANDLE first = 0;
        TAVOBLE_HANDLE second = 0;
        std::atomic<int32_t> secondResult{-9};
        std::thread other([&] { secondResult = TAVOBLE_OpenDevice("UX-0002.00.02", &second); });
        EXPECT_EQ(TAVOBLE_OpenDevice(kDefaultAmplifier, &first), 0) << LastError();
        other.join();
        EXPECT_EQ(secondResult, 0) << LastError();
        ASSERT_NE(first, 0u);
        ASSERT_NE(second, 0u);
        EXPECT_NE(first, second);
        EXPECT_EQ(TAVOBLE_CloseDevice(&first), 0);
        EXPECT_EQ(TAVOBLE_CloseDevice(&second), 0);
        // The opens' own discovery ends with them.
        LetDiscoveryStateSettle();
        EXPECT_FALSE(AdapterDiscovering()) << "round " << round;
    }
}

// An open ends any scan, the application's too, once it has its amplifier.
TEST_F(SimulatorTest, AnOpenInsideTheDiscoveringDelayEndsTheScanInBlueZToo) {
    StartSimulator(kTwoAmplifiers);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    EXPECT_NE(handle, 0u);
    LetDiscoveryStateSettle();
    EXPECT_FALSE(AdapterDiscovering());
    // The library knows it stopped: a new start scans again.
    EXPECT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
    EXPECT_TRUE(bletest::waitFor(AdapterDiscovering, 5s));
    EXPECT_EQ(TAVOBLE_StopScanning(), 0) << LastError();
    EXPECT_TRUE(bletest::waitFor([] { return !AdapterDiscovering(); }, 5s));
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

// Bluetooth switched off ends BlueZ's discovery under a running scan: the
// library does not go on believing it scans.
TEST_F(SimulatorTest, AScanThatBlueZEndedIsNotTakenForRunning) {
    StartSimulator(kTwoAmplifiers);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
    ASSERT_TRUE(bletest::waitFor(AdapterDiscovering, 5s));
    sim.setPowered("hci0", false);
    EXPECT_TRUE(bletest::waitFor([] { return TAVOBLE_StartScanning() == 2; }, 20s))
        << "the start still counts as running: " << LastError();
    sim.setPowered("hci0", true);
    EXPECT_TRUE(bletest::waitFor([] { return TAVOBLE_StartScanning() == 0; }, 20s));
    EXPECT_TRUE(bletest::waitFor(AdapterDiscovering, 5s)) << "not scanning again";
    EXPECT_EQ(TAVOBLE_StopScanning(), 0) << LastError();
}
