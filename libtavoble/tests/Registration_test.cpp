// Registrations of the data callback that overlap, from application threads
// and from inside the callback: once they end, the amplifier streams exactly
// when a callback is stored.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

const char* kFastAmplifier = R"({"amplifiers": [{"name": "UX-0001.00.01", "rate": 4}]})";

std::atomic<bool> removerStarted{false};
std::atomic<int> reRegistrations{0};
std::atomic<int> reRegisterResult{-100};

// At its first scan, waits until another thread is inside Register(h, NULL),
// then registers itself again.
void ReRegister(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    if (reRegistrations++ == 0) {
        bletest::waitFor([] { return removerStarted.load(); }, 20s);
        std::this_thread::sleep_for(300ms);  // the remover is inside its call now
        reRegisterResult = TAVOBLE_RegisterDataAvailableCallback(handle, &ReRegister);
        return;
    }
    ScanRecorder::Callback(handle, scan, count);
}

std::atomic<bool> racing{false};
// Registers or removes itself at random while application threads do the same.
void RacingCallback(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    ScanRecorder::Callback(handle, scan, count);
    if (racing && count > 0 && static_cast<uint32_t>(scan[7]) % 7 == 0) {
        EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(
                      handle, static_cast<uint32_t>(scan[7]) % 2 == 0 ? nullptr : &RacingCallback),
                  0);
    }
}

// Whether scans still arrive: new ones within a generous wait.
bool Streaming(ScanRecorder& scans) {
    const std::size_t before = scans.Count();
    return scans.WaitForCount(before + 20, 5s);
}

}  // namespace

TEST_F(SimulatorTest, ACallbackRegisteringItselfWhileAnotherThreadRemovesItWinsAsTheLaterCall) {
    StartSimulator(kFastAmplifier);
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ReRegister), 0);
    ASSERT_TRUE(bletest::waitFor([] { return reRegistrations > 0; }, 20s));
    std::thread remover([&] {
        removerStarted = true;
        EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0) << LastError();
    });
    remover.join();
    ASSERT_TRUE(bletest::waitFor([] { return reRegisterResult != -100; }, 20s));
    EXPECT_EQ(reRegisterResult, 0) << LastError();

    // The registration from the callback came after the removal took effect:
    // it is the callback stored, and the amplifier streams to it.
    EXPECT_TRUE(ScanRecorder::Instance().WaitForCount(20, 10s))
        << "a callback is stored but nothing is subscribed";
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
}

TEST_F(SimulatorTest, RacingRegistrationsLeaveTheSubscriptionMatchingTheStoredCallback) {
    StartSimulator(kFastAmplifier);
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ScanRecorder& scans = ScanRecorder::Instance();
    for (int round = 0; round < 6; ++round) {
        racing = true;
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([handle, seed = round * 3 + t] {
                std::mt19937 random(static_cast<unsigned>(seed));
                for (int i = 0; i < 15; ++i) {
                    const bool set = (random() & 1u) != 0;
                    EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(
                                  handle, set ? &RacingCallback : nullptr),
                              0)
                        << LastError();
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        racing = false;
        // Whatever is stored now, the subscription must agree with it: the
        // last word is a known one, then both states are checked.
        const uint64_t sentBefore = sim.counters(kDefaultAmplifier)["data"];
        ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &RacingCallback), 0);
        EXPECT_TRUE(Streaming(scans)) << "round " << round;
        EXPECT_GT(sim.counters(kDefaultAmplifier)["data"], sentBefore);
        ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
        std::this_thread::sleep_for(100ms);
        const uint64_t sentAfter = sim.counters(kDefaultAmplifier)["data"];
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(sim.counters(kDefaultAmplifier)["data"], sentAfter)
            << "round " << round << ": the amplifier streams with no callback";
        scans.Take();
    }
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
}
