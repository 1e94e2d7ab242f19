// Soak: one amplifier sends as fast as the bus takes them; every scan of every
// notification must arrive, numbered without a gap, with no filler, and with
// the values the amplifier sent. Leaks show under AddressSanitizer when the
// process ends. TAVOBLE_SOAK_NOTIFICATIONS sets the length (default 20000;
// the long run is 1000000, see docs/faults.md).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "FaultTable.h"
#include "SimHarness.h"
#include "tavoble.h"

using namespace robustness;
using namespace std::chrono_literals;

namespace {

constexpr const char* kName = "UX-0001.00.01";
constexpr std::size_t kChannels = 4;  // the 4th is the counter
constexpr std::size_t kValues = kChannels + 2;

// The scans' channel values, kept without allocating in the callback.
struct Record {
    std::vector<float> values;  // kChannels per scan
    std::atomic<std::size_t> scans{0};
    std::atomic<std::size_t> fillers{0};
    std::atomic<std::size_t> breaks{0};
    std::atomic<std::size_t> badShape{0};
    float lastNumber = 0.0f;
};
Record record;

void OnScan(TAVOBLE_HANDLE, float* sample, uint32_t count) {
    if (count != kValues) {
        ++record.badShape;
        return;
    }
    const std::size_t index = record.scans.load(std::memory_order_relaxed);
    if (sample[kValues - 1] != 1.0f) {
        ++record.fillers;
    }
    if (sample[kChannels - 1] != record.lastNumber + 1.0f) {
        ++record.breaks;
    }
    record.lastNumber = sample[kChannels - 1];
    if ((index + 1) * kChannels <= record.values.size()) {
        std::copy(sample, sample + kChannels,
                  record.values.begin() + static_cast<std::ptrdiff_t>(index * kChannels));
    }
    record.scans.store(index + 1, std::memory_order_release);
}

std::size_t Notifications() {
    const char* text = std::getenv("TAVOBLE_SOAK_NOTIFICATIONS");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 20000;
}

}  // namespace

constexpr int kClaimedRate = 16000;

TEST(Soak, EveryScanOfAFastStreamArrives) {
    const std::size_t notifications = Notifications();
    const std::size_t scans = 2 * notifications;
    // Room for what the bus still holds when the count is reached.
    record.values.assign((scans + scans / 2 + 65536) * kChannels, 0.0f);

    bletest::SimHarness sim;
    const Json amplifier = {
        {"name", kName},
        // The library queues a few seconds of scans at the amplifier's own
        // rate for its callback; a flood at rate 0 is only lossless within
        // that bound when the amplifier claims a rate of that order too.
        {"samplingRate", kClaimedRate},
        {"rate", 0},
        {"channels",
         {{{"number", 1}, {"type", 1}, {"scale", 0.5}},
          {{"number", 2}, {"type", 1}, {"scale", 0.25}, {"waveform", "square"}},
          {{"number", 3}, {"type", 3}, {"scale", 2.0}, {"waveform", "sawtooth"}},
          {{"number", 4}, {"type", 5}, {"scale", 1.0}, {"waveform", "counter"}}}},
        {"battery", {{"level", 64}, {"drainIntervalMs", 0}}}};
    const std::string error = sim.start(Json{{"amplifiers", {amplifier}}}.dump());
    ASSERT_EQ(error, "") << error;

    TAVOBLE_HANDLE handle = 0;
    ASSERT_EQ(TAVOBLE_OpenDevice(kName, &handle), 0) << TAVOBLE_GetLastErrorText();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &OnScan), 0);
    // Generous: a loaded machine under a sanitizer may manage a few thousand a second.
    const auto limit = 60s + std::chrono::milliseconds(scans);
    const bool complete =
        bletest::waitFor([&] { return record.scans.load() >= scans; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t received = record.scans.load();

    // At rate 0 the simulator sends as fast as the bus takes them, and the bus
    // queues what the library has not read yet. Slow the amplifier down and
    // let that queue drain: then every notification it ever sent must have
    // arrived, and removing the callback is not queued behind seconds of them.
    sim.setRate(kName, 250.0 / kClaimedRate);  // 125 notifications/s
    const auto draining = std::chrono::steady_clock::now();
    const bool drained = bletest::waitFor(
        [&] { return record.scans.load() >= 2 * sim.counters(kName).at("sentTotal"); }, 120s);
    const double drainSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - draining).count();
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0)
        << TAVOBLE_GetLastErrorText();
    const double stopSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
    std::this_thread::sleep_for(200ms);
    const std::size_t delivered = record.scans.load(std::memory_order_acquire);
    std::printf(
        "soak: %zu scans of %zu notifications in %.1f s (%.0f notifications/s); the bus "
        "queue drained in %.1f s, removing the callback took %.2f s; %zu scans in all\n",
        received, received / 2, seconds, static_cast<double>(received) / 2 / seconds, drainSeconds,
        stopSeconds, delivered);
    EXPECT_TRUE(complete) << "only " << received << " of " << scans << " scans arrived";
    EXPECT_TRUE(drained) << "notifications the amplifier sent never arrived";
    EXPECT_EQ(record.badShape.load(), 0u);
    EXPECT_EQ(record.fillers.load(), 0u) << "filler scans stand for lost samples";
    EXPECT_EQ(record.breaks.load(), 0u) << "sample numbers must run 1, 2, 3, ...";

    // The amplifier keeps its last notifications (262144 by default): the
    // scans they stand for must carry exactly their values.
    const auto counters = sim.counters(kName);
    const uint64_t sent = counters.at("sentTotal");
    EXPECT_GE(sent * 2, delivered);
    const uint64_t kept = std::min<uint64_t>(sent, 262144);
    const uint64_t first = sent - kept;
    const std::size_t stored = std::min(delivered, record.values.size() / kChannels);
    Layout layout = Layout::FromAmplifier(amplifier);
    ExpectedScans decoder(layout);
    std::vector<std::vector<float>> expected;
    std::size_t compared = 0;
    std::size_t mismatched = 0;
    for (uint64_t index = first; index < sent && 2 * index < stored; index += 50000) {
        const auto chunk = sim.sentData(kName, index, 50000);
        for (std::size_t i = 0; i < chunk.size() && 2 * (index + i) < stored; ++i) {
            expected.clear();
            decoder.Add(chunk[i], expected);
            for (std::size_t frame = 0; frame < expected.size(); ++frame) {
                const std::size_t scan = 2 * (index + i) + frame;
                if (scan >= stored) {
                    break;
                }
                const float* got = record.values.data() + scan * kChannels;
                if (!std::equal(expected[frame].begin(), expected[frame].end(), got)) {
                    ++mismatched;
                }
                ++compared;
            }
        }
    }
    std::printf("soak: compared the values of %zu scans with what was sent\n", compared);
    EXPECT_GT(compared, std::min<std::size_t>(stored, 2 * 262144) / 2);
    EXPECT_EQ(mismatched, 0u);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kName); }, 5s));
}
