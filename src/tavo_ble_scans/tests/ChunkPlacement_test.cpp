#include "ChunkPlacement.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "SampleClock.h"

using tavo_ble::LineState;
using tavo_ble::placeChunk;

namespace {

constexpr double kRate = 250.0;
constexpr uint32_t kWidth = 3;  // sample number, value, data valid
constexpr int64_t kValid = 2;

// A line already running, as the timeline leaves it after its first notification.
LineState running() {
    LineState s{};
    s.nominalPeriod = 1.0 / kRate;
    s.forget = 0.9995;
    s.lateLimit = 3.0;
    s.period = 1.0 / kRate;
    s.sameNotification = 0.5 / kRate;
    s.gapMin = 0.04;
    s.gapDeviations = 6.0;
    s.b = 1.0;
    s.p00 = 1e4;
    s.p11 = 1e-4;
    s.deviation = 1.0;
    tavo_ble::clockUpdate(s, 1, 100.0);
    s.scansPerNotification = 2;
    s.sampleCount = 2;
    s.groupMeasured = 2;
    s.groupChecked = 1;
    s.lastMeasured = 1;
    s.lastArrival = 100.0;
    s.groupArrival = 100.0;
    s.lastTime = 100.0;
    s.lastMeasuredArrival = 100.0;
    return s;
}

struct Chunk {
    std::vector<float> values;
    std::vector<double> arrivals;
    void add(double arrival, float valid) {
        values.insert(values.end(), {static_cast<float>(arrivals.size()), 0.5f, valid});
        arrivals.push_back(arrival);
    }
    uint32_t size() const { return static_cast<uint32_t>(arrivals.size()); }
};

bool same(const LineState& a, const LineState& b) {
    return std::memcmp(&a, &b, sizeof(LineState)) == 0;
}

}  // namespace

// Notifications on time are placed whole, with rising times on the line; a
// filler stops the run before it, the state as after the last scan placed.
TEST(ChunkPlacement, PlacesTheRunOnTheLineAndStopsBeforeAFiller) {
    Chunk chunk;
    for (int k = 1; k <= 50; ++k) {
        const double arrival = 100.0 + 2.0 * k / kRate + (k % 3) * 0.001;
        chunk.add(arrival, 1.0f);
        chunk.add(arrival + 1e-6, 1.0f);
    }
    chunk.add(100.5, 0.0f);
    std::vector<double> times(chunk.size()), groups(chunk.size());
    LineState s = running();
    const uint32_t placed =
        placeChunk(s, chunk.values.data(), kWidth, kValid, chunk.arrivals.data(), chunk.size(),
                   times.data(), groups.data());
    ASSERT_EQ(placed, 100u);
    for (uint32_t i = 1; i < placed; ++i) {
        EXPECT_GT(times[i], times[i - 1]);
        EXPECT_NEAR(times[i] - times[i - 1], 1.0 / kRate, 0.1 / kRate);
        EXPECT_EQ(groups[i],
                  chunk.arrivals[i - i % 2]);  // a notification's scans share its arrival
    }
    EXPECT_EQ(s.sampleCount, 102);
    EXPECT_EQ(s.scansPerNotification, 2);
    const LineState after = s;
    EXPECT_EQ(placeChunk(s, chunk.values.data() + placed * kWidth, kWidth, kValid,
                         chunk.arrivals.data() + placed, 1, times.data(), groups.data()),
              0u);
    EXPECT_TRUE(same(s, after));
}

// A notification far later than the line: the run stops at its first scan and
// the state is exactly as after the scans before it, clock step included.
TEST(ChunkPlacement, StopsBeforeALateNotificationWithTheStateBeforeIt) {
    Chunk chunk;
    for (int k = 1; k <= 10; ++k) {
        chunk.add(100.0 + 2.0 * k / kRate, 1.0f);
        chunk.add(100.0 + 2.0 * k / kRate, 1.0f);
    }
    chunk.add(100.0 + 22.0 / kRate + 0.3, 1.0f);
    chunk.add(100.0 + 22.0 / kRate + 0.3, 1.0f);
    std::vector<double> times(chunk.size()), groups(chunk.size());
    LineState whole = running();
    LineState prefix = running();
    EXPECT_EQ(placeChunk(whole, chunk.values.data(), kWidth, kValid, chunk.arrivals.data(),
                         chunk.size(), times.data(), groups.data()),
              20u);
    EXPECT_EQ(placeChunk(prefix, chunk.values.data(), kWidth, kValid, chunk.arrivals.data(), 20,
                         times.data(), groups.data()),
              20u);
    EXPECT_TRUE(same(whole, prefix));
}

// Without a data-valid value inside the scan (an index past the width, or
// none) every scan counts as measured, and nothing past a row is read.
TEST(ChunkPlacement, AValidIndexPastTheWidthIsNotRead) {
    std::vector<float> values = {0.0f, 0.0f};  // width 1: two scans
    std::vector<double> arrivals = {100.0 + 2.0 / kRate, 100.0 + 2.0 / kRate};
    std::vector<double> times(2), groups(2);
    for (const int64_t index : {int64_t{1}, int64_t{-1}}) {
        LineState s = running();
        EXPECT_EQ(
            placeChunk(s, values.data(), 1, index, arrivals.data(), 2, times.data(), groups.data()),
            2u);
    }
}
