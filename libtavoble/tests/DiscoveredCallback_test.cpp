// The application's discovered callback runs on a thread of its own: however
// long it takes, the library's Bluetooth calls and scans go on meanwhile.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// A callback that blocks until the test lets it go, keeping every list it got.
struct BlockingCallback {
    static BlockingCallback& Instance() {
        static BlockingCallback instance;
        return instance;
    }
    static void Callback(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count) {
        BlockingCallback& self = Instance();
        std::unique_lock<std::mutex> lock(self.mutex);
        std::vector<std::string> batch;
        for (uint32_t i = 0; i < count; ++i) {
            batch.emplace_back(names[i]);
        }
        self.batches.push_back(batch);
        ++self.inside;
        self.changed.notify_all();
        self.changed.wait(lock, [&] { return self.released; });
        --self.inside;
        self.changed.notify_all();
    }
    template <class Ready>
    bool WaitFor(Ready ready, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, ready);
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<std::string>> batches;
    int inside = 0;
    bool released = false;
};

}  // namespace

TEST_F(SimulatorTest, ABlockedDiscoveredCallbackDelaysNeitherOpeningNorTheList) {
    StartSimulator();
    BlockingCallback& blocked = BlockingCallback::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&BlockingCallback::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(blocked.WaitFor([&] { return blocked.inside == 1; }, 10s));

    // Two more amplifiers are found while the callback still holds the first list.
    sim.addAmplifier(R"({"name": "UX-0002.00.02"})");
    sim.addAmplifier(R"({"name": "UX-0003.00.03"})");
    ASSERT_TRUE(bletest::waitFor([&] { return sim.deviceAddresses().size() == 3; }, 10s));
    std::this_thread::sleep_for(500ms);  // both are in the list by now

    // Opening needs the scan reports and D-Bus replies: it completes while
    // the callback is still blocked (and ends the scan, as every open does).
    const auto start = std::chrono::steady_clock::now();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_NE(handle, 0u);
    const auto openTime = std::chrono::steady_clock::now() - start;
    EXPECT_LT(openTime, 5s);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    EXPECT_TRUE(ScanRecorder::Instance().WaitForCount(10, 10s));
    {
        std::lock_guard<std::mutex> lock(blocked.mutex);
        EXPECT_EQ(blocked.inside, 1);
        EXPECT_EQ(blocked.batches.size(), 1u);
    }
    blocked.Release();
    ASSERT_TRUE(blocked.WaitFor([&] { return blocked.inside == 0; }, 10s));
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

TEST_F(SimulatorTest, ListsFoundWhileTheCallbackIsBlockedAreCoalesced) {
    StartSimulator();
    BlockingCallback& blocked = BlockingCallback::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(&BlockingCallback::Callback), 0);
    ASSERT_EQ(TAVOBLE_StartScanning(), 0);
    ASSERT_TRUE(blocked.WaitFor([&] { return blocked.inside == 1; }, 10s));
    sim.addAmplifier(R"({"name": "UX-0002.00.02"})");
    sim.addAmplifier(R"({"name": "UX-0003.00.03"})");
    ASSERT_TRUE(bletest::waitFor([&] { return sim.deviceAddresses().size() == 3; }, 10s));
    std::this_thread::sleep_for(500ms);

    // The next call carries the newest list, not every step.
    blocked.Release();
    ASSERT_TRUE(
        blocked.WaitFor([&] { return blocked.batches.size() >= 2 && blocked.inside == 0; }, 10s));
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard<std::mutex> lock(blocked.mutex);
        EXPECT_EQ(blocked.batches.size(), 2u);
        std::vector<std::string> last = blocked.batches.back();
        std::sort(last.begin(), last.end());
        EXPECT_EQ(last,
                  (std::vector<std::string>{"UX-0001.00.01", "UX-0002.00.02", "UX-0003.00.03"}));
    }
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
}
