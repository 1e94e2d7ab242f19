// Own binary: it replaces the global operator new to count allocations, which
// must not leak into the other tests.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "ProtocolTestSupport.h"
#include "ScanAssembler.h"

namespace {
std::atomic<uint64_t> allocations{0};
}

// g++ flags free() of memory from operator new, not knowing that this file
// replaces both sides with malloc/free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace Tavo::BLE;
using namespace Tavo::BLE::Testing;

// A steady stream, including lost samples (fillers) and dropped notifications
// of the wrong size, allocates nothing once the assembler exists.
TEST(AllocationTest, SteadyStreamAllocatesNothingPerNotification) {
    for (uint16_t channels : {uint16_t{8}, uint16_t{62}}) {
        DeviceConfiguration configuration;
        Configure(configuration, DenseLayout(channels, 2, channels));
        ScanAssembler assembler(configuration);
        std::vector<std::string> payloads;
        for (int32_t counter = 1; counter <= 100; ++counter) {
            std::vector<int32_t> samples(2u * channels, counter * 7);
            samples[channels - 1u] = samples[2u * channels - 1u] = counter + counter / 10;
            payloads.push_back(PayloadBytes(samples));
        }
        payloads.push_back(payloads.back().substr(1));
        NullSink sink;

        const uint64_t before = allocations.load();
        for (const auto& payload : payloads) {
            assembler.OnData(payload, 90, sink);
        }
        const uint64_t after = allocations.load();

        EXPECT_EQ(after - before, 0u) << channels << " channels";
        EXPECT_GT(sink.delivered, 200u);  // counter jumps produced fillers too
    }
}

TEST(AllocationTest, TheCounterSeesAllocations) {
    const uint64_t before = allocations.load();
    auto* p = new std::vector<float>(8);
    delete p;
    EXPECT_GE(allocations.load() - before, 1u);
}
