// Each open amplifier's scans reach its data callback on a thread of that
// device's own: a slow or blocked callback holds up neither the library's
// calls nor another amplifier, and closing never waits for it.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

const char* kTwoAmplifiers = R"({"amplifiers": [{"name": "UX-0001.00.01"},
                                                {"name": "UX-0002.00.01"}]})";
constexpr const char* kSecondAmplifier = "UX-0002.00.01";
// The default amplifier: 8 channels (the 8th the packet counter), battery,
// data-valid; 250 scans/s in notifications of 2.
constexpr std::size_t kCounterColumn = 7;
constexpr std::size_t kValidColumn = 9;

using Clock = std::chrono::steady_clock;

std::atomic<int> slowScans{0};
// An application that plots every scan: 50 ms each, while 250 arrive per second.
void SlowCallback(TAVOBLE_HANDLE, float*, uint32_t) {
    ++slowScans;
    std::this_thread::sleep_for(50ms);
}

// A callback waiting on a lock the application holds.
std::mutex applicationLock;
std::atomic<int> blockedEntries{0};
std::atomic<int> blockedReturns{0};
void BlockedCallback(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    ++blockedEntries;
    { std::lock_guard<std::mutex> lock(applicationLock); }
    ScanRecorder::Callback(handle, scan, count);
    ++blockedReturns;
}

uint64_t SentScans(bletest::SimHarness& sim, const std::string& name) {
    return sim.counters(name)["data"] * 2;
}

}  // namespace

TEST_F(SimulatorTest, ASlowCallbackHoldsUpNeitherTheLibrarysCallsNorAnotherAmplifier) {
    StartSimulator(kTwoAmplifiers);
    TAVOBLE_HANDLE slow = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(slow, &SlowCallback), 0);
    ASSERT_TRUE(bletest::waitFor([] { return slowScans > 2; }, 20s));

    // A's notifications pile up far faster than its callback takes them.
    const auto start = Clock::now();
    ASSERT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
    ASSERT_EQ(TAVOBLE_StopScanning(), 0) << LastError();
    TAVOBLE_HANDLE other = Open(kSecondAmplifier);
    ASSERT_NE(other, 0u);
    EXPECT_LT(Clock::now() - start, 4s) << "scan start/stop and the open took their usual time";

    ScanRecorder& scans = ScanRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(other, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(scans.WaitForCount(50, 20s));
    // Over a second and more of B's stream, B's callback keeps up with what
    // B sends (only the scans in flight may be missing) while A stays slow.
    const std::size_t receivedBefore = scans.Count();
    const uint64_t sentBefore = SentScans(sim, kSecondAmplifier);
    ASSERT_TRUE(bletest::waitFor(
        [&] { return SentScans(sim, kSecondAmplifier) >= sentBefore + 300; }, 30s));
    ASSERT_TRUE(scans.WaitForCount(receivedBefore + 300, 5s))
        << "B's scans wait behind A's callback";
    EXPECT_GT(slowScans, 0);
    for (const Scan& scan : scans.Take()) {
        EXPECT_EQ(scan.handle, other);
        EXPECT_EQ(scan.values[kValidColumn], 1.0f) << "B lost nothing";
    }

    EXPECT_EQ(TAVOBLE_CloseDevice(&other), 0) << LastError();
    EXPECT_EQ(TAVOBLE_CloseDevice(&slow), 0) << LastError();
}

TEST_F(SimulatorTest, ClosingAndRemovingACallbackReturnWhileTheCallbackIsBlocked) {
    StartSimulator(kTwoAmplifiers);
    TAVOBLE_HANDLE blocked = Open(kDefaultAmplifier);
    TAVOBLE_HANDLE other = Open(kSecondAmplifier);
    std::unique_lock<std::mutex> hold(applicationLock);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(blocked, &BlockedCallback), 0);
    ASSERT_TRUE(bletest::waitFor([] { return blockedEntries > 0; }, 20s));

    auto start = Clock::now();
    EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(blocked, nullptr), 0) << LastError();
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(blocked, &BlockedCallback), 0);
    start = Clock::now();
    EXPECT_EQ(TAVOBLE_CloseDevice(&other), 0) << LastError();
    EXPECT_EQ(TAVOBLE_CloseDevice(&blocked), 0) << LastError();
    EXPECT_LT(Clock::now() - start, 2s) << "two closes, each within 1 s";
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kDefaultAmplifier); }, 5s));
    EXPECT_EQ(blockedReturns, 0);

    // The callback returns into memory that is still there (ASan watches),
    // and no further scan follows the close.
    hold.unlock();
    ASSERT_TRUE(bletest::waitFor([] { return blockedReturns == 1; }, 20s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(blockedEntries, 1);
    EXPECT_EQ(ScanRecorder::Instance().Count(), 1u);
}

// A program ends (exit from main) while its callback waits on a lock that the
// main thread holds: the process ends, and the amplifier is disconnected.
TEST_F(SimulatorTest, AProgramEndsWhileItsCallbackIsBlocked) {
    StartSimulator();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        applicationLock.lock();
        TAVOBLE_HANDLE handle = 0;
        if (TAVOBLE_OpenDevice(kDefaultAmplifier, &handle) != 0 ||
            TAVOBLE_RegisterDataAvailableCallback(handle, &BlockedCallback) != 0) {
            _exit(3);
        }
        while (blockedEntries == 0) {
            std::this_thread::sleep_for(5ms);
        }
        std::exit(0);
    }
    ExpectChildExitsCleanly(child);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kDefaultAmplifier); }, 5s));
}

// A callback blocked for longer than the queue holds (4 s of data): the scans
// that did not fit arrive as fillers, one per dropped scan, and the sample
// numbers run on without gap or repeat.
TEST_F(SimulatorTest, ACallbackThatFallsBehindSeesEveryDroppedScanAsAFiller) {
    StartSimulator();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    std::unique_lock<std::mutex> hold(applicationLock);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &BlockedCallback), 0);
    ASSERT_TRUE(bletest::waitFor([] { return blockedEntries > 0; }, 20s));
    // 4 s of data fit; 6 s are sent while blocked.
    const uint64_t sentAtBlock = SentScans(sim, kDefaultAmplifier);
    ASSERT_TRUE(bletest::waitFor(
        [&] { return SentScans(sim, kDefaultAmplifier) >= sentAtBlock + 1500; }, 60s));
    hold.unlock();

    ScanRecorder& scans = ScanRecorder::Instance();
    const uint64_t sentAtRelease = SentScans(sim, kDefaultAmplifier);
    ASSERT_TRUE(scans.WaitForCount(sentAtRelease - 20, 30s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    const std::vector<Scan> received = scans.Take();
    ASSERT_EQ(sim.counters(kDefaultAmplifier)["dropped"], 0u) << "the radio lost nothing";

    std::size_t fillers = 0;
    float expected = received.front().values[kCounterColumn];
    for (const Scan& scan : received) {
        ASSERT_EQ(scan.values[kCounterColumn], expected) << "no gap, no repeat";
        expected += 1.0f;
        if (scan.values[kValidColumn] == 0.0f) {
            ++fillers;
        }
    }
    // About 6 s sent against 1,000 slots: some 500 dropped, give or take
    // what the callback took before and after the block.
    EXPECT_GT(fillers, 200u);
    EXPECT_LT(fillers, received.size() - 900);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
}
