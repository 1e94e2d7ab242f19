// The application's scan belongs to the application: the library's own
// searches for a lost amplifier run beside it without starting, stopping or
// emptying it, and once TAVOBLE_StopScanning has returned no list follows.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "AdapterDiscovering.h"
#include "LinkLossTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

using Batches = std::vector<std::vector<std::string>>;

bool Lists(const std::vector<std::string>& batch, const std::string& name) {
    return std::find(batch.begin(), batch.end(), name) != batch.end();
}

class ApplicationScan : public LinkLossTest {
  protected:
    void LoseAndRecoverTheLink() {
        const uint64_t connects = Connects();
        sim.setUnreachable(kDefaultAmplifier, 1.0);
        AwaitRecovery(connects);
    }
};

// Blocks on its first list until released, and counts the calls that began.
struct HeldCallback {
    static HeldCallback& Instance() {
        static HeldCallback* instance = new HeldCallback;
        return *instance;
    }
    static void Callback(char (*)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t) {
        HeldCallback& self = Instance();
        std::unique_lock<std::mutex> lock(self.mutex);
        ++self.calls;
        self.changed.notify_all();
        self.changed.wait(lock, [&] { return self.released; });
    }
    int Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool released = false;
};

}  // namespace

TEST_F(ApplicationScan, TheLinkKeepersSearchLeavesTheApplicationsScanAlone) {
    StartStreaming();
    sim.addAmplifier(R"({"name": "UX-0002.00.02"})");
    DiscoveryRecorder& seen = DiscoveryRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&DiscoveryRecorder::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(seen.WaitFor(
        [](const Batches& b) { return !b.empty() && Lists(b.back(), "UX-0002.00.02"); }, 10s));

    // The keeper searches while the application scans, and leaves the scan
    // running: an amplifier switched on afterwards is reported.
    LoseAndRecoverTheLink();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(AdapterDiscovering()) << "the keeper's search ended the application's scan";
    sim.addAmplifier(R"({"name": "UX-0003.00.03"})");
    EXPECT_TRUE(seen.WaitFor(
        [](const Batches& b) { return !b.empty() && Lists(b.back(), "UX-0003.00.03"); }, 10s));

    // A start during the scan changes nothing: the list is not emptied, so
    // every list from here on still holds both amplifiers.
    const std::size_t before = seen.Batches().size();
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    LoseAndRecoverTheLink();
    std::this_thread::sleep_for(500ms);
    const Batches batches = seen.Batches();
    for (std::size_t i = before; i < batches.size(); ++i) {
        EXPECT_TRUE(Lists(batches[i], "UX-0002.00.02") && Lists(batches[i], "UX-0003.00.03"))
            << "list " << i << " was started afresh";
    }

    // Not scanning: the keeper's search reports nothing and leaves no
    // discovery behind.
    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
    seen.Clear();
    LoseAndRecoverTheLink();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(seen.Batches().size(), 0u) << "a list reached the callback after the stop";
    EXPECT_FALSE(AdapterDiscovering());
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

TEST_F(SimulatorTest, NoListReachesTheCallbackOnceStopScanningHasReturned) {
    StartSimulator();
    HeldCallback& held = HeldCallback::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&HeldCallback::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(bletest::waitFor([&] { return held.Calls() == 1; }, 10s));
    // A second amplifier's list waits while the first call is held.
    sim.addAmplifier(R"({"name": "UX-0002.00.02"})");
    ASSERT_TRUE(bletest::waitFor([&] { return sim.deviceAddresses().size() == 2; }, 10s));
    std::this_thread::sleep_for(300ms);

    ASSERT_EQ(TAVOBLE_StopScanning(), 0);
    const int callsAtStop = held.Calls();
    held.Release();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(held.Calls(), callsAtStop) << "a list reached the callback after the stop";
}
