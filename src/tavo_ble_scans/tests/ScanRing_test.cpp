#include "ScanRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

using tavo_ble::ScanRing;

namespace {

// A scan whose every value is its sequence number.
std::vector<float> scanOf(uint32_t number, uint32_t width) {
    return std::vector<float>(width, static_cast<float>(number));
}

}  // namespace

// A writer faster than the reader on a small ring: every scan read is whole and
// in order, and the drops before each one say exactly which numbers are missing.
TEST(ScanRing, ChunksInOrderWithExactDropCounts) {
    constexpr uint32_t kWidth = 5;
    constexpr uint32_t kScans = 200000;
    ScanRing ring(kWidth, 64);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t n = 0; n < kScans; ++n) {
            ring.push(scanOf(n, kWidth).data(), kWidth, static_cast<double>(n));
        }
        done = true;
    });
    std::vector<float> out(kWidth * 16);
    std::vector<double> arrivals(16);
    std::vector<uint32_t> dropped(16);
    uint64_t expected = 0;
    uint64_t droppedTotal = 0;
    uint64_t read = 0;
    for (;;) {
        const bool finished = done;  // before the read: what it wrote is visible
        const uint32_t n = ring.read(out.data(), arrivals.data(), dropped.data(), 16);
        for (uint32_t i = 0; i < n; ++i) {
            expected += dropped[i];
            droppedTotal += dropped[i];
            for (uint32_t v = 0; v < kWidth; ++v) {
                ASSERT_EQ(out[i * kWidth + v], static_cast<float>(expected));
            }
            ASSERT_EQ(arrivals[i], static_cast<double>(expected));
            ++expected;
            ++read;
        }
        if (n == 0 && finished) {
            break;
        }
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    writer.join();
    EXPECT_EQ(read + droppedTotal + ring.pendingDropped(), kScans);
    // At least a full ring; more when the reader got turns while the writer ran
    // (on a busy machine the writer may finish first).
    EXPECT_GE(read, 64u);
}

// Leading fillers from another thread, far more than the ring holds: none
// takes a slot, and a reader that got the first measured scan sees them all.
TEST(ScanRing, LeadingFillersAreCountedNotHeld) {
    constexpr uint32_t kFillers = 100000;
    ScanRing ring(3, 16);
    ring.skipLeadingFillers(2);
    std::thread writer([&] {
        for (uint32_t n = 0; n < kFillers; ++n) {
            const float filler[3] = {static_cast<float>(n), 7.0f, 0.0f};
            ring.push(filler, 3, 1.0);
        }
        for (uint32_t n = 0; n < 3; ++n) {
            const float scan[3] = {static_cast<float>(kFillers + n), 7.0f, n == 1 ? 0.0f : 1.0f};
            ring.push(scan, 3, 2.0);
        }
    });
    std::vector<float> out(3 * 16);
    std::vector<double> arrivals(16);
    std::vector<uint32_t> dropped(16);
    uint32_t n = 0;
    while ((n = ring.read(out.data(), arrivals.data(), dropped.data(), 1)) == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(ring.skipped(), kFillers);
    EXPECT_EQ(out[0], static_cast<float>(kFillers));
    writer.join();
    EXPECT_EQ(ring.read(out.data(), arrivals.data(), dropped.data(), 16),
              2u);  // a later filler is held
    EXPECT_EQ(out[3 + 2], 1.0f);
    EXPECT_EQ(ring.pendingDropped(), 0u);
}

// A writer's runs of fillers longer than the ring, read in small chunks
// meanwhile: every scan comes out once, in order, as it was pushed; a filler
// that does not continue a run (another value, a number that jumps) starts
// its own; the run still open at the end comes out after endRun().
TEST(ScanRing, FillerRunsTakeOneSlotAndComeOutScanByScan) {
    constexpr uint32_t kWidth = 3;  // value, sample number, data valid
    ScanRing ring(kWidth, 16);      // room for the 9 slots the scans take
    ring.compactFillerRuns(2, 1);
    std::vector<std::vector<float>> pushed;
    for (uint32_t round = 0; round < 3; ++round) {
        const float base = static_cast<float>(pushed.size());
        pushed.push_back({base, base, 1.0f});
        for (uint32_t k = 1; k <= 5000; ++k) {  // the measured scan repeated, numbered on
            pushed.push_back({base, base + static_cast<float>(k), 0.0f});
        }
        pushed.push_back({base + 1.0f, base + 5002.0f, 0.0f});  // a jump: a run of its own
    }
    std::thread writer([&] {
        for (const std::vector<float>& scan : pushed) {
            ring.push(scan.data(), kWidth, 1.0);
        }
    });
    std::vector<float> out(kWidth * 7);
    std::vector<double> arrivals(7);
    std::vector<uint32_t> dropped(7);
    size_t next = 0;
    auto readAll = [&] {
        while (uint32_t n = ring.read(out.data(), arrivals.data(), dropped.data(), 7)) {
            for (uint32_t i = 0; i < n; ++i, ++next) {
                ASSERT_LT(next, pushed.size());
                EXPECT_EQ(dropped[i], 0u);
                for (uint32_t c = 0; c < kWidth; ++c) {
                    ASSERT_EQ(out[i * kWidth + c], pushed[next][c]) << "scan " << next;
                }
            }
        }
    };
    while (next + 1 < pushed.size()) {
        readAll();
        std::this_thread::yield();
    }
    writer.join();
    readAll();
    EXPECT_EQ(next, pushed.size() - 1);  // the last run waits for the scan after it
    ring.endRun();
    readAll();
    EXPECT_EQ(next, pushed.size());
    EXPECT_EQ(ring.pendingDropped(), 0u);
}

TEST(ScanRing, ShortScansArePaddedWithNanAndLongOnesCut) {
    ScanRing ring(3, 4);
    const float longScan[5] = {1, 2, 3, 4, 5};
    ring.push(longScan, 1, 0.5);
    ring.push(longScan, 5, 0.75);
    float out[6];
    double arrivals[2];
    uint32_t dropped[2];
    ASSERT_EQ(ring.read(out, arrivals, dropped, 2), 2u);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_TRUE(std::isnan(out[1]) && std::isnan(out[2]));
    EXPECT_EQ(out[3], 1.0f);
    EXPECT_EQ(out[5], 3.0f);
    EXPECT_EQ(arrivals[1], 0.75);
}

// wait() returns for a scan, a wake-up or its timeout, and spaces its returns by
// the minimum gap so a fast stream is read in chunks.
TEST(ScanRing, WaitReturnsForDataWakeOrTimeout) {
    ScanRing ring(1, 8);
    double t0 = tavo_ble::monotonicSeconds();
    EXPECT_EQ(ring.wait(0.05, 0.0), 0u);
    EXPECT_GE(tavo_ble::monotonicSeconds() - t0, 0.045);

    const float v = 1;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ring.push(&v, 1, 0);
    });
    t0 = tavo_ble::monotonicSeconds();
    EXPECT_EQ(ring.wait(10.0, 0.0), 1u);
    EXPECT_LT(tavo_ble::monotonicSeconds() - t0, 5.0);
    writer.join();

    // Data is there, but the previous return was just now: the gap is kept.
    t0 = tavo_ble::monotonicSeconds();
    EXPECT_EQ(ring.wait(10.0, 0.05), 1u);
    EXPECT_GE(tavo_ble::monotonicSeconds() - t0, 0.045);

    float out;
    double arrival;
    uint32_t dropped;
    ASSERT_EQ(ring.read(&out, &arrival, &dropped, 1), 1u);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ring.wake();
    });
    t0 = tavo_ble::monotonicSeconds();
    EXPECT_EQ(ring.wait(10.0, 0.0), 0u);
    EXPECT_LT(tavo_ble::monotonicSeconds() - t0, 5.0);
    waker.join();
}
