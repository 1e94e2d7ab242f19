#include "ScanRoutes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using tavo_ble::ScanRing;
using tavo_ble::ScanRoutes;

namespace {

std::atomic<int> callbackCalls{0};
ScanRoutes* routesUnderTest = nullptr;

void countingCallback(uint64_t, const float*, uint32_t) {
    ++callbackCalls;
}

// Takes itself out of the route from inside the delivery, as an application
// stopping its stream from its own callback does.
void selfRemovingCallback(uint64_t handle, const float*, uint32_t) {
    ++callbackCalls;
    routesUnderTest->set(handle, {}, nullptr);
}

}  // namespace

// Rings come and go (and are destroyed at once) while a delivery thread streams:
// no delivery ever touches a ring after its removal returned (ASan/TSan watch).
TEST(ScanRoutes, RingsRemovedWhileStreamingAreNeverTouchedAgain) {
    ScanRoutes routes;
    const float scan[4] = {1, 2, 3, 4};
    std::atomic<bool> stop{false};
    std::thread delivery([&] {
        while (!stop) {
            routes.deliver(7, scan, 4);
            routes.deliver(8, scan, 4);  // another amplifier, never routed
        }
    });
    auto kept = std::make_unique<ScanRing>(4, 1 << 16);
    for (int i = 0; i < 300 || kept->available() < 1000; ++i) {
        auto passing = std::make_unique<ScanRing>(4, 64);
        ASSERT_TRUE(routes.set(7, {kept.get(), passing.get()}, countingCallback));
        std::this_thread::yield();
        ASSERT_TRUE(routes.set(7, {kept.get()}, nullptr));
        passing.reset();
    }
    ASSERT_TRUE(routes.set(7, {}, nullptr));
    const uint64_t seen = kept->available() + kept->pendingDropped();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(kept->available() + kept->pendingDropped(), seen);  // unrouted: nothing more
    stop = true;
    delivery.join();
    EXPECT_GT(seen, 0u);
}

TEST(ScanRoutes, ACallbackMayChangeItsOwnRoute) {
    ScanRoutes routes;
    routesUnderTest = &routes;
    callbackCalls = 0;
    ScanRing ring(1, 8);
    ASSERT_TRUE(routes.set(3, {&ring}, selfRemovingCallback));
    const float v = 5;
    std::thread delivery([&] {
        routes.deliver(3, &v, 1);
        routes.deliver(3, &v, 1);  // the route is gone now
    });
    delivery.join();
    EXPECT_EQ(callbackCalls.load(), 1);
    EXPECT_EQ(ring.available(), 1u);
}

TEST(ScanRoutes, HandleZeroAndAFullTableAreRefused) {
    auto routes = std::make_unique<ScanRoutes>();
    ScanRing ring(1, 1);
    EXPECT_FALSE(routes->set(0, {&ring}, nullptr));
    for (uint64_t h = 1; h <= ScanRoutes::kSlots; ++h) {
        ASSERT_TRUE(routes->set(h, {&ring}, nullptr));
    }
    EXPECT_FALSE(routes->set(ScanRoutes::kSlots + 1, {&ring}, nullptr));
    EXPECT_TRUE(routes->set(5, {}, nullptr));
    EXPECT_TRUE(routes->set(ScanRoutes::kSlots + 1, {&ring}, countingCallback));
    EXPECT_TRUE(routes->set(12345, {}, nullptr));  // removing an unknown handle: nothing to do
}
