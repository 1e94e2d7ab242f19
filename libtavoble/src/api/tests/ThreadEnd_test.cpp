// Threads ended inside the library: interpreters cancel or pthread_exit their
// threads at shutdown, wherever those threads are.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeBackend.h"
#include "tavoble.h"

using namespace Tavo::BLE::Testing;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> searching{false};

void* OpenAndBlock(void* handle) {
    TAVOBLE_OpenDevice("UA-0000.00.41", static_cast<TAVOBLE_HANDLE*>(handle));
    return nullptr;
}

template <typename Predicate>
bool WaitFor(Predicate ready) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(ThreadEnd, ACancelledOpenUnwindsAndLeavesNoHalfOpenDevice) {
    // The search sleeps (a cancellation point) until the thread is cancelled.
    Fake().beforeCreate = [](const std::string&) {
        searching = true;
        for (;;) {
            std::this_thread::sleep_for(5ms);
        }
    };
    const int created = Fake().created;
    TAVOBLE_HANDLE handle = 77;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, &OpenAndBlock, &handle), 0);
    ASSERT_TRUE(WaitFor([] { return searching.load(); }));
    ASSERT_EQ(pthread_cancel(thread), 0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(handle, 77u);
    EXPECT_EQ(Fake().created, created);

    // The name is no longer "being opened": a new open neither waits nor
    // finds a leftover device.
    Fake().Reset();
    ASSERT_EQ(TAVOBLE_OpenDevice("UA-0000.00.41", &handle), 0);
    EXPECT_NE(handle, 77u);
    EXPECT_EQ(Fake().created, created + 1);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    Fake().Reset();
}
