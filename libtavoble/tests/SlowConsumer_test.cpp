// A data callback slower than its amplifier: the device's reader keeps taking
// notifications off the bus, the queue keeps the newest 4 s of data, and
// what gave way reaches the callback as fillers numbered exactly as the
// scans they stand for. Compared scan by scan with what the simulator sent.
#include <time.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "SentPayload.h"
#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// One signal and the packet counter, two scans per notification, the sample
// order spelled out: (1, frame 0), (2, frame 0), (1, frame 1), (2, frame 1).
std::string Amplifier(const std::string& extra) {
    return R"({"amplifiers": [{"name": "UX-0001.00.01",
        "channels": [{"number": 1, "type": 1, "scale": 0.5},
                     {"number": 2, "type": 5, "scale": 1.0}],
        "payloadLayout": [[1, 0], [2, 0], [1, 1], [2, 1]])" +
           extra + "}]}";
}
constexpr std::size_t kSignal = 0, kNumber = 1, kValid = 3;

uint64_t Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

struct Received {
    float signal;
    float number;
    float valid;
    uint64_t at;  // CLOCK_MONOTONIC ns
};

std::mutex receivedMutex;
std::vector<Received> received;
void Record(const float* scan, uint32_t count) {
    if (count != 4) {
        return;
    }
    std::lock_guard<std::mutex> lock(receivedMutex);
    received.push_back({scan[kSignal], scan[kNumber], scan[kValid], Now()});
}
std::size_t ReceivedCount() {
    std::lock_guard<std::mutex> lock(receivedMutex);
    return received.size();
}

void Fast(TAVOBLE_HANDLE, float* scan, uint32_t count) {
    Record(scan, count);
}
// An application that plots each scan: 20 ms, while 250 arrive per second.
void Slow(TAVOBLE_HANDLE, float* scan, uint32_t count) {
    Record(scan, count);
    std::this_thread::sleep_for(20ms);
}
// Waits on a lock the application holds.
std::mutex applicationLock;
std::atomic<int> blockedEntries{0};
void Blocked(TAVOBLE_HANDLE, float* scan, uint32_t count) {
    ++blockedEntries;
    { std::lock_guard<std::mutex> lock(applicationLock); }
    Record(scan, count);
}

// The scans the amplifier sent, in order: number, signal and send time.
struct Sent {
    float number;
    float signal;
    uint64_t at;
};
std::vector<Sent> SentScans(bletest::SimHarness& sim) {
    std::vector<Sent> scans;
    for (const auto& [at, payload] : sim.sentDataTimed(kDefaultAmplifier, 0, 200000)) {
        if (payload.size() != 12) {
            continue;
        }
        const float counter = Sample(payload, 1);
        for (int frame = 0; frame < 2; ++frame) {
            scans.push_back({2.0f * (counter - 1.0f) + static_cast<float>(frame) + 1.0f,
                             Sample(payload, 2 * frame) * 0.5f, at});
        }
    }
    return scans;
}

// Checks that `got` is exactly the sent sequence from where it starts on:
// every scan once, in order, real ones with the values sent, fillers with
// the number of the scan they stand for. Returns the index into `sent` of
// got[0].
std::size_t ExpectSentSequence(const std::vector<Sent>& sent, const std::vector<Received>& got) {
    std::size_t start = 0;
    while (start < sent.size() &&
           !(sent[start].number == got.front().number &&
             (got.front().valid == 0.0f || sent[start].signal == got.front().signal))) {
        ++start;
    }
    EXPECT_LT(start, sent.size()) << "the first scan received was never sent";
    for (std::size_t i = 0; i < got.size() && start + i < sent.size(); ++i) {
        const Sent& s = sent[start + i];
        EXPECT_EQ(got[i].number, s.number) << "scan " << i;
        if (got[i].valid == 1.0f) {
            EXPECT_EQ(got[i].signal, s.signal) << "scan " << i;
        }
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    return start;
}

class SlowConsumer : public SimulatorTest {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(receivedMutex);
        received.clear();
    }
};

}  // namespace

// 20 ms a scan at 250 scans/s: the callback takes a fifth of the stream. The
// data it gets is never older than the queue's 4 s (plus the slack of a loaded
// machine), the rest comes as fillers, and as soon as a fast callback takes
// over it is served live: nothing waited on the bus meanwhile.
TEST_F(SlowConsumer, ASlowCallbackGetsRecentDataOrFillersAndTheBusIsDrained) {
    StartSimulator(Amplifier(""));
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &Slow), 0);
    std::this_thread::sleep_for(9s);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &Fast), 0);
    const std::size_t slowScans = ReceivedCount();
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    ASSERT_EQ(sim.counters(kDefaultAmplifier)["dropped"], 0u) << "the radio lost nothing";

    const std::vector<Sent> sent = SentScans(sim);
    std::vector<Received> got;
    {
        std::lock_guard<std::mutex> lock(receivedMutex);
        got = received;
    }
    ASSERT_GT(slowScans, 100u);
    ASSERT_GT(got.size(), slowScans + 100);
    const std::size_t start = ExpectSentSequence(sent, got);
    ASSERT_FALSE(HasFailure());

    std::size_t fillers = 0;
    uint64_t oldest = 0;
    for (std::size_t i = 0; i < got.size() && start + i < sent.size(); ++i) {
        if (got[i].valid == 0.0f) {
            ++fillers;
        } else {
            oldest = std::max(oldest, got[i].at - sent[start + i].at);
        }
    }
    EXPECT_GT(fillers, 200u) << "what did not fit in 4 s shows as fillers";
    EXPECT_LT(oldest, 5500000000u) << "no real scan older than the queue's 4 s and some slack";
    // The fast callback's last scans are live: the reader kept up with the bus.
    const Received& last = got.back();
    ASSERT_EQ(last.valid, 1.0f);
    const std::size_t lastIndex = start + got.size() - 1;
    ASSERT_LT(lastIndex, sent.size());
    // (A bus backlog would leave it 8 s behind; 1.5 s allows a loaded machine.)
    EXPECT_LT(last.at - sent[lastIndex].at, 1500000000u);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
}

// A counter that restarts every 100 notifications while the callback is
// blocked for longer than the queue holds: every dropped scan's filler
// carries the number that scan had, restarts included.
TEST_F(SlowConsumer, FillersCarryTheNumbersSentWhenTheCounterRestarts) {
    StartSimulator(Amplifier(R"(, "counter": {"restartEvery": 100})"));
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    std::unique_lock<std::mutex> hold(applicationLock);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &Blocked), 0);
    ASSERT_TRUE(bletest::waitFor([] { return blockedEntries > 0; }, 20s));
    // 4 s of data fit; about 6 s are sent while blocked.
    std::this_thread::sleep_for(6s);
    hold.unlock();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);

    const std::vector<Sent> sent = SentScans(sim);
    std::vector<Received> got;
    {
        std::lock_guard<std::mutex> lock(receivedMutex);
        got = received;
    }
    ASSERT_GT(got.size(), 1200u);
    ExpectSentSequence(sent, got);
    std::size_t fillers = 0;
    for (const Received& scan : got) {
        fillers += scan.valid == 0.0f ? 1u : 0u;
    }
    EXPECT_GT(fillers, 200u);
    EXPECT_LT(fillers, got.size() - 900);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
}

// 300 scans in each notification and no rate in the configuration (0): the
// queue still holds two notifications, so a callback that keeps up loses
// nothing.
TEST_F(SlowConsumer, LongNotificationsWithoutAStatedRateLoseNothing) {
    StartSimulator(R"({"amplifiers": [{"name": "UX-0001.00.01", "samplingRate": 1000,
        "scansPerNotification": 300, "channels": 2,
        "faults": {"configuration": {"samplingRate": 0}, "payloadRecords": {"intervalMs": 0}}}]})");
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    TAVOBLE_DEVICE_INFORMATION info{};
    ASSERT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0) << LastError();
    EXPECT_EQ(info.samplingRate, 0u);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &Fast), 0);
    ASSERT_TRUE(bletest::waitFor([] { return ReceivedCount() >= 1200; }, 30s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    std::lock_guard<std::mutex> lock(receivedMutex);
    for (std::size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(received[i].valid, 1.0f) << "scan " << i;
        ASSERT_EQ(received[i].number, static_cast<float>(i + 1)) << "scan " << i;
    }
}
