#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ScanDelivery.h"
#include "ScanQueue.h"

using namespace Tavo::BLE;
using namespace std::chrono_literals;

namespace {

// Four columns as the device makes them: a signal, the sample number, the
// battery level, data-valid.
constexpr uint16_t kWidth = 4;
constexpr int kCounter = 1;

std::vector<float> ScanNumbered(uint32_t number) {
    return {static_cast<float>(number) * 0.5f, static_cast<float>(number), 80.0f, 1.0f};
}

std::vector<std::vector<float>> Drain(ScanQueue& queue) {
    std::vector<std::vector<float>> scans;
    while (const float* scan = queue.Pop()) {
        scans.emplace_back(scan, scan + kWidth);
    }
    return scans;
}

std::vector<float> PopOne(ScanQueue& queue) {
    const float* scan = queue.Pop();
    return scan != nullptr ? std::vector<float>(scan, scan + kWidth) : std::vector<float>{};
}

}  // namespace

TEST(ScanQueueTest, AFullQueueTurnsItsOldestScansIntoFillersCountedExactly) {
    ScanQueue queue(kWidth, 8, kCounter);
    for (uint32_t n = 1; n <= 3; ++n) {
        queue.Push(ScanNumbered(n).data());
    }
    EXPECT_EQ(queue.Pop(), nullptr) << "a notification is handed over whole";
    queue.Commit();
    ASSERT_NE(queue.Pop(), nullptr);
    ASSERT_NE(queue.Pop(), nullptr);  // scan 2 is the last one taken
    // Scan 3 still queued + 25 more: 26 for 8 slots, so scans 3..20 give way.
    for (uint32_t n = 4; n <= 28; ++n) {
        queue.Push(ScanNumbered(n).data());
        if (n % 3 == 0) {
            queue.Commit();
        }
    }
    queue.Commit();
    EXPECT_EQ(queue.Dropped(), 18u);

    const auto scans = Drain(queue);
    ASSERT_EQ(scans.size(), 26u) << "every scan arrives, dropped ones as fillers";
    uint64_t fillers = 0;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const float number = static_cast<float>(i + 3);
        EXPECT_EQ(scans[i][kCounter], number) << "sample numbers run on without gap or repeat";
        if (scans[i][3] == 0.0f) {
            ++fillers;
            // As for a lost notification: the last scan delivered, renumbered.
            EXPECT_EQ(scans[i][0], 1.0f);
            EXPECT_EQ(scans[i][2], 80.0f);
        } else {
            EXPECT_EQ(scans[i], ScanNumbered(static_cast<uint32_t>(i + 3)));
        }
    }
    EXPECT_EQ(fillers, queue.Dropped());
    EXPECT_TRUE(queue.Empty());

    // After the overload the queue is a plain queue again.
    queue.Push(ScanNumbered(29).data());
    queue.Commit();
    EXPECT_EQ(PopOne(queue), ScanNumbered(29));
}

TEST(ScanQueueTest, ClearingForgetsQueuedScansAndFillersButNotTheFillerPattern) {
    ScanQueue queue(kWidth, 2, kCounter);
    queue.Push(ScanNumbered(1).data());
    queue.Commit();
    float* taken = queue.Pop();
    ASSERT_NE(taken, nullptr);
    taken[0] = -7.0f;  // the application may write into the scan it gets
    for (uint32_t n = 2; n <= 6; ++n) {
        queue.Push(ScanNumbered(n).data());
    }
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Pop(), nullptr);

    for (uint32_t n = 10; n <= 12; ++n) {
        queue.Push(ScanNumbered(n).data());
    }
    queue.Commit();
    const std::vector<float> scan = PopOne(queue);
    ASSERT_EQ(scan.size(), kWidth);
    EXPECT_EQ(scan[kCounter], 10.0f);
    EXPECT_EQ(scan[0], ScanNumbered(1)[0]) << "the filler copies the last scan taken";
    EXPECT_EQ(scan[3], 0.0f);
}

TEST(ScanQueueTest, ScansNobodyTookComeBackAsFillersUnderTheirNumbersBeforeTheNextStream) {
    ScanQueue queue(kWidth, 4, kCounter);
    queue.Push(ScanNumbered(1).data());
    queue.Commit();
    ASSERT_EQ(PopOne(queue), ScanNumbered(1));
    // 2..3 committed, 4 staged (its notification half assembled), and one
    // dropped before them (5 scans for 4 slots: 2 gave way).
    for (uint32_t n = 2; n <= 5; ++n) {
        queue.Push(ScanNumbered(n).data());
        if (n == 4) {
            queue.Commit();
        }
    }
    queue.Push(ScanNumbered(6).data());  // 2 gives way
    queue.Abandon();                     // the callback is removed
    EXPECT_TRUE(!queue.Empty());
    queue.Skip(ScanNumbered(7).data());  // assembled before the subscription ended
    queue.Skip(ScanNumbered(8).data());
    for (uint32_t n = 9; n <= 10; ++n) {  // the next stream
        queue.Push(ScanNumbered(n).data());
    }
    queue.Commit();
    const auto scans = Drain(queue);
    ASSERT_EQ(scans.size(), 9u);
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const uint32_t number = static_cast<uint32_t>(i + 2);
        EXPECT_EQ(scans[i][kCounter], static_cast<float>(number)) << i;
        if (number < 9) {
            EXPECT_EQ(scans[i][3], 0.0f) << number;
            EXPECT_EQ(scans[i][0], ScanNumbered(1)[0]) << "the last scan delivered, renumbered";
        } else {
            EXPECT_EQ(scans[i], ScanNumbered(number));
        }
    }
    EXPECT_EQ(queue.Dropped(), 1u) << "only what gave way counts as dropped";
}

TEST(ScanQueueTest, WithoutACounterFillersStillShowTheLossAndTheCapacityIsBounded) {
    ScanQueue queue(kWidth, 1, -1);
    queue.Push(ScanNumbered(1).data());
    queue.Push(ScanNumbered(2).data());
    queue.Commit();
    const auto scans = Drain(queue);
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[0][3], 0.0f);
    EXPECT_EQ(scans[1], ScanNumbered(2));

    EXPECT_EQ(ScanQueue::CapacityFor(250, 10, 2), 1000u);  // 4 s of data
    EXPECT_EQ(ScanQueue::CapacityFor(1, 10, 2), 256u);
    // A hostile rate and width cannot size more than the ceiling of floats.
    const uint64_t floats = uint64_t{ScanQueue::CapacityFor(65535, 65535, 1)} * 65535u;
    EXPECT_LE(floats, uint64_t{1} << 23);
    EXPECT_GE(ScanQueue::CapacityFor(65535, 65535, 1), 2u);
}

TEST(ScanQueueTest, TwoNotificationsAlwaysFitWhateverTheRateSays) {
    // 300 scans a notification with the rate field 0 or too low.
    EXPECT_EQ(ScanQueue::CapacityFor(0, 10, 300), 600u);
    EXPECT_EQ(ScanQueue::CapacityFor(10, 10, 300), 600u);
    EXPECT_EQ(ScanQueue::CapacityFor(65535, 65535, 300), 600u);

    // One notification being delivered while the next is queued whole: no
    // real scan is lost.
    ScanQueue queue(kWidth, ScanQueue::CapacityFor(0, kWidth, 300), kCounter);
    uint32_t number = 0;
    for (int notification = 0; notification < 4; ++notification) {
        for (int i = 0; i < 300; ++i) {
            queue.Push(ScanNumbered(++number).data());
        }
        queue.Commit();
        if (notification % 2 == 1) {
            Drain(queue);
        }
    }
    EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(ScanQueueTest, FillersCarryExactlyTheDroppedNumbersWhenTheCounterRestarts) {
    ScanQueue queue(kWidth, 4, kCounter);
    // Dropped: 101..105, then the amplifier restarts at 1: 1..3, and once
    // more at 50: 50..51. Queued last: 52..55.
    std::vector<uint32_t> sent;
    for (uint32_t n = 101; n <= 105; ++n)
        sent.push_back(n);
    for (uint32_t n = 1; n <= 3; ++n)
        sent.push_back(n);
    for (uint32_t n = 50; n <= 55; ++n)
        sent.push_back(n);
    for (const uint32_t n : sent) {
        queue.Push(ScanNumbered(n).data());
    }
    queue.Commit();
    const auto scans = Drain(queue);
    ASSERT_EQ(scans.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(scans[i][kCounter], static_cast<float>(sent[i])) << i;
        EXPECT_EQ(scans[i][3], i < sent.size() - 4 ? 0.0f : 1.0f) << i;
    }

    // Past float precision: each filler shows what its scan showed.
    ScanQueue far(kWidth, 1, kCounter);
    const std::vector<float> numbers = {16777216.0f, 16777216.0f, 16777218.0f, 3.0f, 4.0f};
    for (const float n : numbers) {
        std::vector<float> scan = {0.0f, n, 80.0f, 1.0f};
        far.Push(scan.data());
    }
    far.Commit();
    const auto farScans = Drain(far);
    ASSERT_EQ(farScans.size(), numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_EQ(farScans[i][kCounter], numbers[i]) << i;
    }
}

namespace {

// What the callbacks of the delivery tests saw; C callbacks carry no user data.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<float>> scans;
    std::vector<TAVOBLE_HANDLE> handles;
    std::thread::id thread;
    bool release = false;  // lets a blocking callback return
    bool entered = false;

    void Record(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex);
        scans.emplace_back(scan, scan + count);
        handles.push_back(handle);
        thread = std::this_thread::get_id();
        changed.notify_all();
    }
    template <typename Ready>
    bool WaitFor(Ready ready, std::chrono::seconds limit = 20s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] { return ready(); });
    }
};
Seen* seen = nullptr;

void Record(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    seen->Record(handle, scan, count);
}

// Blocks at its first scan until the test releases it (an application lock).
void BlockOnce(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    {
        std::unique_lock<std::mutex> lock(seen->mutex);
        if (!seen->entered) {
            seen->entered = true;
            seen->changed.notify_all();
            seen->changed.wait(lock, [] { return seen->release; });
        }
    }
    seen->Record(handle, scan, count);
}

std::atomic<int> exits{0};
void ExitThread(TAVOBLE_HANDLE, float*, uint32_t) {
    ++exits;
    pthread_exit(nullptr);
}

ScanDelivery* self = nullptr;
// Another thread registers a callback while this one ends its thread.
void RegisterThenExit(TAVOBLE_HANDLE, float*, uint32_t) {
    self->SetCallback(&Record);
    ++exits;
    pthread_exit(nullptr);
}

void RemoveSelf(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    seen->Record(handle, scan, count);
    self->SetCallback(nullptr);
    self->WaitForCallback();  // must not wait for itself
}

class ScanDeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override { seen = &record; }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(record.mutex);
            record.release = true;
        }
        record.changed.notify_all();
        delivery->Stop();
        seen = nullptr;
    }
    void Push(uint32_t first, uint32_t last) {
        for (uint32_t n = first; n <= last; ++n) {
            delivery->Push(ScanNumbered(n).data());
        }
        delivery->EndNotification();
    }

    Seen record;
    std::shared_ptr<ScanDelivery> delivery =
        std::make_shared<ScanDelivery>(7, kWidth, 16, kCounter);
};

}  // namespace

TEST_F(ScanDeliveryTest, ScansReachTheCallbackOnItsOwnThreadInOrderOnce) {
    Push(1, 3);  // no callback yet: numbered for fillers, as after a removal
    delivery->SetCallback(&Record);
    Push(4, 13);
    ASSERT_TRUE(record.WaitFor([&] { return record.scans.size() >= 13; }));
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> lock(record.mutex);
    ASSERT_EQ(record.scans.size(), 13u);
    for (std::size_t i = 0; i < 13; ++i) {
        EXPECT_EQ(record.scans[i][kCounter], static_cast<float>(i + 1));
        if (i >= 3) {
            EXPECT_EQ(record.scans[i], ScanNumbered(static_cast<uint32_t>(i + 1)));
        } else {
            EXPECT_EQ(record.scans[i][3], 0.0f);
        }
        EXPECT_EQ(record.handles[i], 7u);
    }
    EXPECT_NE(record.thread, std::this_thread::get_id());
}

TEST_F(ScanDeliveryTest, ScansQueuedOrAssembledAcrossAStopReachTheNextCallbackAsFillers) {
    delivery->SetCallback(&BlockOnce);
    Push(1, 1);
    ASSERT_TRUE(record.WaitFor([&] { return record.entered; }));
    Push(2, 5);                      // queued behind the callback
    delivery->SetCallback(nullptr);  // stopped: none of them is delivered ...
    Push(6, 7);                      // ... nor what comes before the unsubscription
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        record.release = true;
    }
    record.changed.notify_all();
    ASSERT_TRUE(record.WaitFor([&] { return record.scans.size() >= 1; }));
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        ASSERT_EQ(record.scans.size(), 1u) << "no scan after the removal";
    }
    delivery->SetCallback(&Record);  // started again
    Push(8, 9);
    ASSERT_TRUE(record.WaitFor([&] { return record.scans.size() >= 9; }));
    std::lock_guard<std::mutex> lock(record.mutex);
    ASSERT_EQ(record.scans.size(), 9u);
    for (std::size_t i = 0; i < record.scans.size(); ++i) {
        EXPECT_EQ(record.scans[i][kCounter], static_cast<float>(i + 1)) << "no number skipped";
        EXPECT_EQ(record.scans[i][3], i == 0 || i >= 7 ? 1.0f : 0.0f) << i;
    }
}

TEST_F(ScanDeliveryTest, ABlockedCallbackNeitherHoldsUpThePusherNorTheStopAndSeesEveryLoss) {
    delivery->SetCallback(&BlockOnce);
    Push(1, 1);
    ASSERT_TRUE(record.WaitFor([&] { return record.entered; }));
    // Far more than the 16 slots while the callback is blocked: the pushes
    // return at once (a stuck pusher would hang the test).
    Push(2, 1001);
    EXPECT_EQ(delivery->Dropped(), 1000u - 16u);
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        record.release = true;
    }
    record.changed.notify_all();
    ASSERT_TRUE(record.WaitFor([&] { return record.scans.size() >= 1001; }));
    std::lock_guard<std::mutex> lock(record.mutex);
    uint64_t fillers = 0;
    for (std::size_t i = 0; i < record.scans.size(); ++i) {
        EXPECT_EQ(record.scans[i][kCounter], static_cast<float>(i + 1));
        fillers += record.scans[i][3] == 0.0f ? 1u : 0u;
    }
    EXPECT_EQ(fillers, delivery->Dropped());
}

TEST_F(ScanDeliveryTest, StoppingLeavesABlockedCallbackBehindAndItsMemoryAlive) {
    delivery->SetCallback(&BlockOnce);
    Push(1, 1);
    ASSERT_TRUE(record.WaitFor([&] { return record.entered; }));
    const auto start = std::chrono::steady_clock::now();
    delivery->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    std::weak_ptr<ScanDelivery> weak = delivery;
    delivery.reset();
    EXPECT_FALSE(weak.expired()) << "the thread in the callback keeps it";
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        record.release = true;
    }
    record.changed.notify_all();
    EXPECT_TRUE(record.WaitFor([&] { return record.scans.size() == 1; }));
    for (int i = 0; i < 2000 && !weak.expired(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(weak.expired()) << "freed once the callback returned";
    delivery = std::make_shared<ScanDelivery>(7, kWidth, 16, kCounter);  // for TearDown
}

TEST_F(ScanDeliveryTest, ACallbackMayRemoveItselfAndAThreadItEndsIsReplaced) {
    self = delivery.get();
    delivery->SetCallback(&RemoveSelf);
    Push(1, 5);
    ASSERT_TRUE(record.WaitFor([&] { return record.scans.size() >= 1; }));
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        EXPECT_EQ(record.scans.size(), 1u) << "removed from inside: no scan after it";
    }

    delivery->SetCallback(&ExitThread);
    Push(6, 6);
    for (int i = 0; i < 2000 && exits == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(exits, 1);
    delivery->SetCallback(&Record);
    Push(7, 8);
    EXPECT_TRUE(record.WaitFor([&] { return record.scans.size() >= 3; }));

    // Registered while the ending thread was still inside the callback: the
    // new callback gets a thread without another registration.
    delivery->SetCallback(&RegisterThenExit);
    Push(9, 9);
    for (int i = 0; i < 2000 && exits < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(exits, 2);
    Push(10, 11);
    EXPECT_TRUE(record.WaitFor([&] { return record.scans.size() >= 5; }));
}
