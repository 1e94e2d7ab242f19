#include <cmath>
#include <thread>

#include "SentPayload.h"
#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// Four channels, the fourth a packet counter; two scans per notification, the
// sample order spelled out so that the test decodes what was sent on its own.
const char* kAmplifier = R"({"name": "UX-0001.00.01", "samplingRate": 1000,
    "scansPerNotification": 2,
    "channels": [{"number": 1, "type": 1, "scale": 0.5},
                 {"number": 2, "type": 1, "scale": 0.25, "waveform": "square"},
                 {"number": 3, "type": 3, "scale": 2.0, "waveform": "sawtooth"},
                 {"number": 4, "type": 5, "scale": 1.0}],
    "payloadLayout": [[1, 0], [2, 0], [3, 0], [4, 0], [1, 1], [2, 1], [3, 1], [4, 1]],
    "battery": {"level": 77}%s})";
constexpr float kScale[4] = {0.5f, 0.25f, 2.0f, 1.0f};
constexpr int kValues = 6;  // 4 channels, battery, data valid

std::string Scenario(const std::string& faults = "") {
    char text[2048];
    std::snprintf(text, sizeof text, kAmplifier, faults.c_str());
    return std::string(R"({"amplifiers": [)") + text + "]}";
}

class Streaming : public SimulatorTest {
  protected:
    void StartStreaming(const std::string& faults = "") {
        StartSimulator(Scenario(faults));
        handle = Open(kDefaultAmplifier);
        ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    }

    TAVOBLE_HANDLE handle = 0;
};

}  // namespace

TEST_F(Streaming, DeliversExactlyWhatTheAmplifierSent) {
    StartStreaming();
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(400, 10s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    const std::vector<Scan> scans = ScanRecorder::Instance().Take();
    const auto sent = sim.sentData(kDefaultAmplifier, 0, 1000);
    ASSERT_GE(sent.size() * 2, scans.size());
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const Scan& scan = scans[i];
        ASSERT_EQ(scan.handle, handle);
        ASSERT_EQ(scan.values.size(), static_cast<std::size_t>(kValues));
        EXPECT_EQ(scan.values[5], 1.0f) << "scan " << i;
        EXPECT_EQ(scan.values[4], 77.0f);
        // Counter 1 in the first notification numbers its scans 1 and 2.
        EXPECT_EQ(scan.values[3], static_cast<float>(i + 1));
        const auto& payload = sent[i / 2];
        ASSERT_EQ(payload.size(), 24u);
        for (int channel = 0; channel < 3; ++channel) {
            const float expected =
                Sample(payload, static_cast<int>(i % 2) * 4 + channel) * kScale[channel];
            EXPECT_EQ(scan.values[channel], expected) << "scan " << i << " channel " << channel;
        }
    }
}

TEST_F(Streaming, LostNotificationsBecomeNumberedFillerScans) {
    // Every 5th notification is dropped, every 7th truncated (and so ignored).
    StartStreaming(R"(, "faults": {"dropEvery": 5, "truncateEvery": 7})");
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(300, 10s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    const std::vector<Scan> scans = ScanRecorder::Instance().Take();
    int fillers = 0;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const std::vector<float>& v = scans[i].values;
        ASSERT_EQ(v[3], static_cast<float>(i + 1)) << "sample numbers run without a gap";
        if (v[5] == 0.0f) {
            ++fillers;
            // A filler repeats the last real scan's channel values.
            ASSERT_GT(i, 0u);
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(v[c], scans[i - 1].values[c]);
            }
        } else {
            EXPECT_EQ(v[5], 1.0f);
        }
    }
    EXPECT_GT(fillers, 0);
}

namespace {
// Every scan of a stream that stopped after `before` scans and started again:
// numbered 1, 2, ... without a gap, fillers only after the stop; `fillers`
// counts them.
void ExpectNumbersRunOnWithFillersFrom(const std::vector<Scan>& scans, std::size_t before,
                                       std::size_t& fillers) {
    for (std::size_t i = 0; i < scans.size(); ++i) {
        ASSERT_EQ(scans[i].values[3], static_cast<float>(i + 1)) << "sample numbers run on";
        if (scans[i].values[5] == 0.0f) {
            EXPECT_GE(i, before) << "a filler only where the stream was stopped";
            ++fillers;
        }
    }
}
}  // namespace

TEST_F(Streaming, StopsAndStartsAgainFillingOnlyWhatWasLostInFlight) {
    StartStreaming();
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(50, 10s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    std::this_thread::sleep_for(200ms);
    const uint64_t sentWhenStopped = sim.counters(kDefaultAmplifier)["data"];
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim.counters(kDefaultAmplifier)["data"], sentWhenStopped);
    const std::size_t before = ScanRecorder::Instance().Count();
    // A notification already on its way when the callback was removed is dropped; the
    // amplifier's counter has moved past it, so the next period starts with its fillers.
    ASSERT_LE(before, sentWhenStopped * 2);
    const std::size_t lostInFlight = sentWhenStopped * 2 - before;
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(before + lostInFlight + 50, 10s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    std::size_t fillers = 0;
    ExpectNumbersRunOnWithFillersFrom(ScanRecorder::Instance().Take(), before, fillers);
    EXPECT_EQ(fillers, lostInFlight);
}

namespace {
// Slower than the amplifier's 1000 scans/s: scans wait in the queue.
void SlowRecorder(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    ScanRecorder::Callback(handle, scan, count);
    std::this_thread::sleep_for(2ms);
}
}  // namespace

TEST_F(Streaming, ScansQueuedWhenTheStreamStopsComeAsFillersWhenItStartsAgain) {
    StartSimulator(Scenario());
    handle = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &SlowRecorder), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(100, 10s));
    // Stopped with a backlog: the assembler has counted those scans off, so
    // none may simply vanish.
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    std::this_thread::sleep_for(300ms);
    const std::size_t before = ScanRecorder::Instance().Count();
    const uint64_t sent = sim.counters(kDefaultAmplifier)["data"];
    ASSERT_GT(sent * 2, before + 20) << "the stop should have found scans queued";
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(sent * 2 + 50, 10s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    std::size_t fillers = 0;
    ExpectNumbersRunOnWithFillersFrom(ScanRecorder::Instance().Take(), before, fillers);
    EXPECT_EQ(fillers, sent * 2 - before) << "every scan sent and not delivered, as a filler";
}

TEST_F(Streaming, BatteryNotificationsShowInTheBatteryColumn) {
    StartStreaming();
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(10, 10s));
    sim.setBatteryLevel(kDefaultAmplifier, 42);
    EXPECT_TRUE(bletest::waitFor([] {
        const auto scans = ScanRecorder::Instance().Take();
        return !scans.empty() && scans.back().values[4] == 42.0f;
    }));
}

TEST_F(Streaming, BatteryAsAGattServiceWorksToo) {
    StartSimulator(
        R"({"amplifiers": [{"name": "UX-0001.00.01", "battery": {"gattService": true, "level": 55}}]})");
    handle = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(4, 10s));
    EXPECT_EQ(ScanRecorder::Instance().Take()[0].values[8], 55.0f);
    sim.setBatteryLevel(kDefaultAmplifier, 12);
    EXPECT_TRUE(bletest::waitFor([] {
        const auto scans = ScanRecorder::Instance().Take();
        return !scans.empty() && scans.back().values[8] == 12.0f;
    }));
}
