#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ApiException.h"
#include "DeviceRegistry.h"
#include "FakeBackend.h"

using namespace Tavo::BLE;
using namespace Tavo::BLE::Testing;

namespace {

class DeviceRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { Fake().Reset(); }
    void TearDown() override { Fake().Reset(); }
};

template <typename F>
void ExpectApiError(F&& f, int32_t code, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << text;
    } catch (const ApiException& e) {
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_EQ(std::string(e.what()), text);
    }
}

}  // namespace

TEST_F(DeviceRegistryTest, IssuesHandlesInOrderAndAFailedOpenUsesUpItsNumber) {
    DeviceRegistry registry(Fake());
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.01"), 1u);
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.02"), 2u);
    Fake().beforeCreate = [](const std::string&) {
        throw ApiException("Could not find device with the specified serial number.", 3);
    };
    ExpectApiError([&] { registry.OpenDevice("UA-0000.00.03"); }, 3,
                   "Could not find device with the specified serial number.");
    Fake().beforeCreate = nullptr;
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.04"), 4u);
}

TEST_F(DeviceRegistryTest, TheSameSerialGivesTheSameHandleWithoutASecondDevice) {
    DeviceRegistry registry(Fake());
    const int created = Fake().created;
    const TAVOBLE_HANDLE first = registry.OpenDevice("UA-0000.00.01");
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.01"), first);
    EXPECT_EQ(Fake().created, created + 1);
    // Matching is whole-string and case-sensitive.
    EXPECT_NE(registry.OpenDevice("ua-0000.00.01"), first);
    EXPECT_NE(registry.OpenDevice("UA-0000.00.0"), first);
}

TEST_F(DeviceRegistryTest, ClosedHandlesAreGoneForGoodAndNeverReissued) {
    DeviceRegistry registry(Fake());
    const TAVOBLE_HANDLE handle = registry.OpenDevice("UA-0000.00.01");
    const int destroyed = Fake().destroyed;
    registry.CloseDevice(handle);
    EXPECT_EQ(Fake().destroyed, destroyed + 1);
    ExpectApiError([&] { registry.CloseDevice(handle); }, 1, "Couldn't get device handle.");
    ExpectApiError([&] { registry.GetDevice(handle); }, 1, "Couldn't get device from handle.");
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.01"), handle + 1);
}

TEST_F(DeviceRegistryTest, DestroysTheDevicesStillOpenWhenItEnds) {
    const int destroyed = Fake().destroyed;
    {
        DeviceRegistry registry(Fake());
        registry.OpenDevice("UA-0000.00.01");
        registry.OpenDevice("UA-0000.00.02");
    }
    EXPECT_EQ(Fake().destroyed, destroyed + 2);
}

TEST_F(DeviceRegistryTest, TwoThreadsClosingOneHandleDestroyItExactlyOnce) {
    DeviceRegistry registry(Fake());
    Fake().onDestroy = [](FakeDevice*) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    for (int round = 0; round < 20; ++round) {
        const TAVOBLE_HANDLE handle = registry.OpenDevice("UA-0000.00.01");
        const int destroyed = Fake().destroyed;
        std::atomic<int> ok{0}, refused{0};
        auto close = [&] {
            try {
                registry.CloseDevice(handle);
                ++ok;
            } catch (const ApiException& e) {
                EXPECT_STREQ(e.what(), "Couldn't get device handle.");
                ++refused;
            }
        };
        std::thread a(close), b(close);
        a.join();
        b.join();
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(refused, 1);
        EXPECT_EQ(Fake().destroyed, destroyed + 1);
    }
}

// Application threads open, read, register and close while the devices
// deliver scans. Run under ThreadSanitizer.
TEST_F(DeviceRegistryTest, ConcurrentUseThroughTheCInterfaceIsRaceFree) {
    const char* serials[] = {"UA-0000.00.11", "UA-0000.00.12", "UA-0000.00.13"};
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (!stop) {
            const char* serial = serials[random() % 3];
            TAVOBLE_HANDLE handle = 0;
            const int32_t opened = TAVOBLE_OpenDevice(serial, &handle);
            EXPECT_EQ(opened, 0);
            TAVOBLE_DEVICE_INFORMATION info;
            const int32_t read = TAVOBLE_GetDeviceInformation(handle, &info);
            EXPECT_TRUE(read == 0 || read == 1);
            const DataAvailableCallback callback = [](TAVOBLE_HANDLE h, float*, uint32_t n) {
                EXPECT_NE(h, 0u);
                EXPECT_EQ(n, 10u);
            };
            const int32_t registered =
                TAVOBLE_RegisterDataAvailableCallback(handle, random() % 2 ? callback : nullptr);
            EXPECT_TRUE(registered == 0 || registered == 1);
            if (random() % 3 == 0) {
                const int32_t closed = TAVOBLE_CloseDevice(&handle);
                EXPECT_TRUE(closed == 0 || closed == 1);
                EXPECT_EQ(handle, 0u);
            }
            ++calls;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i) {
        threads.emplace_back(worker, i + 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    for (const char* serial : serials) {
        TAVOBLE_HANDLE handle = 0;
        ASSERT_EQ(TAVOBLE_OpenDevice(serial, &handle), 0);
        EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    }
    EXPECT_GT(calls, 0);
}

TEST_F(DeviceRegistryTest, TheNameADeviceWasFoundByAlsoGivesItsHandle) {
    // An amplifier whose Device Information serial differs from its name.
    Fake().reportedSerial = [](const std::string& name) { return name + "-dis"; };
    DeviceRegistry registry(Fake());
    const int created = Fake().created;
    const TAVOBLE_HANDLE first = registry.OpenDevice("UA-0000.00.05");
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.05"), first);
    EXPECT_EQ(registry.OpenDevice("UA-0000.00.05-dis"), first);
    EXPECT_EQ(Fake().created, created + 1);
    registry.CloseDevice(first);
    // Closed, neither name finds it.
    EXPECT_NE(registry.OpenDevice("UA-0000.00.05"), first);
}

TEST_F(DeviceRegistryTest, OpensWaitingForASearchThatFindsNothingFailAlike) {
    std::atomic<int> searches{0};
    std::atomic<bool> release{false};
    Fake().beforeCreate = [&](const std::string&) {
        ++searches;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        throw ApiException("Could not find device with the specified serial number.", 3);
    };
    DeviceRegistry registry(Fake());
    std::vector<std::thread> waiters;
    std::atomic<int> notFound{0};
    std::atomic<int> started{0};
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            ++started;
            try {
                registry.OpenDevice("UA-0000.00.06");
            } catch (const ApiException& e) {
                notFound += e.ErrorCode() == 3 &&
                                    std::string(e.what()) ==
                                        "Could not find device with the specified serial number."
                                ? 1
                                : 0;
            }
        });
    }
    // Every open has started: one searches, the others are about to wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((searches == 0 || started < 3) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release = true;
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(notFound, 3);
    EXPECT_EQ(searches, 1) << "a waiting open searched again";

    // The failure is not remembered: a later open searches afresh.
    Fake().beforeCreate = nullptr;
    EXPECT_NE(registry.OpenDevice("UA-0000.00.06"), 0u);
}
