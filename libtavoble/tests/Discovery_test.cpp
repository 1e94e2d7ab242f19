#include <thread>

#include "SimulatorTest.h"

using namespace e2e;
using Batches = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;

namespace {

// One recognised amplifier and devices whose names are not amplifier serials.
const char* kScenario = R"({"amplifiers": [
    {"name": "UX-0001.00.01"},
    {"name": "Headphones", "channels": 1},
    {"name": "UX-0001-00.01", "channels": 1},
    {"name": "UX0001.00.01", "channels": 1},
    {"name": "U.-0001.00.01", "channels": 1},
    {"name": "UX-000.1", "channels": 1},
    {"name": null, "channels": 1}]})";

bool HasBatchOf(const Batches& batches, std::size_t count) {
    for (const auto& b : batches) {
        if (b.size() == count) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_F(SimulatorTest, ReportsTheWholeListOncePerChange) {
    StartSimulator(kScenario);
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return !b.empty(); }, 5s));
    // Repeated advertisements (about every 100 ms) and unrecognised names
    // must not report again.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(seen.Batches(), (Batches{{"UX-0001.00.01"}}));

    // A second amplifier, and one whose name is longer than a slot.
    sim.addAmplifier(R"({"name": "UX-0002.00.02"})");
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return b.size() == 2; }, 5s));
    sim.addAmplifier(R"({"name": "UX-0003.00.03-extended"})");
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return b.size() == 3; }, 5s));
    EXPECT_EQ(seen.Batches().back(),
              (std::vector<std::string>{"UX-0001.00.01", "UX-0002.00.02", "UX-0003.00.03-"}));

    // A restart empties the list: the first report after it holds one name.
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
    seen.Clear();
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return b.size() == 3; }, 5s));
    EXPECT_EQ(seen.Batches()[0].size(), 1u);
    EXPECT_EQ(seen.Batches()[2].size(), 3u);
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
}

TEST_F(SimulatorTest, WithoutACallbackTheListIsStillKeptAndATruncatedNameOpensWhole) {
    StartSimulator(R"({"amplifiers": [{"name": "UX-0003.00.03-extended"}]})");
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(nullptr), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    std::this_thread::sleep_for(1s);
    // Already in the list: found in the first 100 ms pass, and the scan is stopped.
    const auto start = std::chrono::steady_clock::now();
    TAVOBLE_HANDLE handle = Open("UX-0003.00.03-extended");
    EXPECT_NE(handle, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    TAVOBLE_DEVICE_INFORMATION info{};
    ASSERT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0);
    EXPECT_STREQ(info.serialNumber, "UX-0003.00.03-extended");
    // The search stopped the application's scan: starting again reports afresh.
    DiscoveryRecorder::Instance().Clear();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    ASSERT_TRUE(
        DiscoveryRecorder::Instance().WaitFor([](const Batches& b) { return !b.empty(); }, 5s));
    EXPECT_EQ(DiscoveryRecorder::Instance().Batches()[0],
              (std::vector<std::string>{"UX-0003.00.03-"}));
}

TEST_F(SimulatorTest, ASilentAmplifierIsDroppedAfterTenSeconds) {
    // "Headphones" keeps advertising, so reports keep coming to sweep the list.
    StartSimulator(R"({"amplifiers": [
        {"name": "UX-0001.00.01"},
        {"name": "Headphones", "channels": 1}]})");
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return !b.empty(); }, 10s));
    const auto silentFrom = std::chrono::steady_clock::now();
    sim.setAdvertising(kDefaultAmplifier, false);
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return HasBatchOf(b, 0); }, 30s));
    EXPECT_GT(std::chrono::steady_clock::now() - silentFrom, 10s);
    const Batches batches = seen.Batches();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0], (std::vector<std::string>{"UX-0001.00.01"}));
    EXPECT_TRUE(batches[1].empty());
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
}

// With no other advertiser to trigger a sweep, a timer must drop it.
TEST_F(SimulatorTest, TheOnlyAmplifierSwitchedOffLeavesTheListAfterTenSeconds) {
    StartSimulator();
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return !b.empty(); }, 10s));
    const auto silentFrom = std::chrono::steady_clock::now();
    sim.setAdvertising(kDefaultAmplifier, false);
    ASSERT_TRUE(seen.WaitFor([](const Batches& b) { return HasBatchOf(b, 0); }, 30s));
    const auto after = std::chrono::steady_clock::now() - silentFrom;
    EXPECT_GT(after, 10s);
    EXPECT_LT(after, 15s);
    EXPECT_EQ(seen.Batches().size(), 2u);
    EXPECT_EQ(seen.NullLists(), 0) << "the empty list came without a buffer";
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
}
