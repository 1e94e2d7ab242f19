// Torture: four amplifiers stream while application threads open, read,
// register and remove data callbacks and close in random order, callbacks
// call back into the library, and the amplifiers drop their links and stop
// advertising at random. Nothing may crash, hang, race or leak (run it under
// the sanitizers), and every exported function must return a documented code.
// TAVOBLE_TORTURE_SECONDS sets how long new operations start (default 4),
// TAVOBLE_TORTURE_SEED the random seed (default: from the clock, printed).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ErrorText.h"
#include "FaultTable.h"
#include "SimHarness.h"
#include "tavoble.h"

using namespace robustness;
using namespace std::chrono_literals;

namespace {

constexpr int kAmplifiers = 4;
constexpr int kAppThreads = 4;
constexpr uint32_t kValues = 6;  // 4 channels (the 4th the counter), battery, data valid

std::string NameOf(int amplifier) {
    return "UX-000" + std::to_string(amplifier + 1) + ".00.01";
}

// Results that are not among the documented codes, by function; and what
// the opens gave (a text read right after a failure may be another thread's).
std::mutex undocumentedMutex;
std::vector<std::string> undocumented;
std::map<std::string, int> openResults;
std::chrono::milliseconds longestOpen{0};

int32_t Checked(const char* function, int32_t code) {
    if (code != 0 && code != -1 && code != 1 && code != 2 && code != 3) {
        std::lock_guard<std::mutex> lock(undocumentedMutex);
        undocumented.push_back(std::string(function) + " returned " + std::to_string(code));
    }
    if (code != 0 && LastErrorTextNow().empty()) {
        std::lock_guard<std::mutex> lock(undocumentedMutex);
        undocumented.push_back(std::string(function) + " failed without a text");
    }
    return code;
}

// What the callbacks saw. Sample numbers of one handle must run without a
// gap: fillers stand in for what was lost while the callback was away.
struct Streams {
    std::mutex mutex;
    std::map<TAVOBLE_HANDLE, float> lastNumber;
    // Registrations per handle. Scans that arrive while the callback is being
    // removed are decoded but not delivered, so a stop and start may skip
    // sample numbers; only a stream left alone must run without a gap.
    std::map<TAVOBLE_HANDLE, uint64_t> registrations;
    std::map<TAVOBLE_HANDLE, uint64_t> registrationsSeen;
    std::atomic<uint64_t> scans{0};
    std::atomic<uint64_t> fillers{0};
    std::atomic<uint64_t> breaks{0};
    std::atomic<uint64_t> wrong{0};
    std::atomic<uint64_t> reentrant{0};
    std::atomic<uint64_t> discoveries{0};
};
Streams streams;

int32_t Register(TAVOBLE_HANDLE handle, DataAvailableCallback callback) {
    {
        std::lock_guard<std::mutex> lock(streams.mutex);
        ++streams.registrations[handle];
    }
    return TAVOBLE_RegisterDataAvailableCallback(handle, callback);
}

void OnScan(TAVOBLE_HANDLE handle, float* sample, uint32_t count) {
    ++streams.scans;
    if (count != kValues || (sample[kValues - 1] != 0.0f && sample[kValues - 1] != 1.0f)) {
        ++streams.wrong;
        return;
    }
    if (sample[kValues - 1] == 0.0f) {
        ++streams.fillers;
    }
    const float number = sample[3];
    {
        std::lock_guard<std::mutex> lock(streams.mutex);
        auto [it, added] = streams.lastNumber.emplace(handle, number);
        uint64_t& seen = streams.registrationsSeen[handle];
        const uint64_t now = streams.registrations[handle];
        const bool restarted = seen != now;
        seen = now;
        if (!added && !restarted && number != it->second + 1.0f) {
            ++streams.breaks;
        }
        it->second = number;
    }
    // Now and then call back into the library, as the header allows.
    thread_local std::minstd_rand random(static_cast<unsigned>(handle * 7919 + 17));
    switch (random() % 1000) {
        case 0: {
            TAVOBLE_DEVICE_INFORMATION info;
            Checked("TAVOBLE_GetDeviceInformation (callback)",
                    TAVOBLE_GetDeviceInformation(handle, &info));
            ++streams.reentrant;
            break;
        }
        case 1:
            Checked("TAVOBLE_RegisterDataAvailableCallback (callback)", Register(handle, nullptr));
            ++streams.reentrant;
            break;
        case 2: {
            TAVOBLE_HANDLE h = handle;
            Checked("TAVOBLE_CloseDevice (callback)", TAVOBLE_CloseDevice(&h));
            ++streams.reentrant;
            break;
        }
        case 3: {
            TAVOBLE_HANDLE h = 0;
            // Refused from a callback, never blocking the notification thread.
            if (TAVOBLE_OpenDevice("UX-0001.00.01", &h) != -1) {
                ++streams.wrong;
            }
            ++streams.reentrant;
            break;
        }
        default:
            break;
    }
}

void OnDiscovered(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count) {
    ++streams.discoveries;
    for (uint32_t i = 0; i < count; ++i) {
        if (strnlen(names[i], TAVOBLE_DEVICENAME_LENGTH_MAX) == TAVOBLE_DEVICENAME_LENGTH_MAX) {
            ++streams.wrong;
        }
    }
    thread_local std::minstd_rand random(29);
    if (random() % 8 == 0) {
        Checked("TAVOBLE_StopScanning (callback)", TAVOBLE_StopScanning());
    }
}

double Seconds() {
    const char* text = std::getenv("TAVOBLE_TORTURE_SECONDS");
    return text != nullptr ? std::strtod(text, nullptr) : 4.0;
}

unsigned Seed() {
    const char* text = std::getenv("TAVOBLE_TORTURE_SEED");
    return text != nullptr
               ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
               : static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// One application thread's random work until the deadline.
class Application {
  public:
    Application(unsigned seed, std::atomic<TAVOBLE_HANDLE>& highest)
        : random_(seed), highest_(highest) {}

    void Run(std::chrono::steady_clock::time_point deadline) {
        while (std::chrono::steady_clock::now() < deadline) {
            ++operations;
            Operate(static_cast<unsigned>(random_() % 10));
            std::this_thread::sleep_for(std::chrono::milliseconds(random_() % 20));
        }
    }

    uint64_t operations = 0;
    uint64_t opened = 0;
    uint64_t closed = 0;

  private:
    // Mostly a handle that was issued, sometimes 0 or one not issued yet.
    TAVOBLE_HANDLE AnyHandle() {
        return static_cast<TAVOBLE_HANDLE>(random_() % (highest_.load() + 2));
    }

    void Open() {
        TAVOBLE_HANDLE h = 0;
        const std::string name = NameOf(static_cast<int>(random_() % kAmplifiers));
        const auto began = std::chrono::steady_clock::now();
        const int32_t code = Checked("TAVOBLE_OpenDevice", TAVOBLE_OpenDevice(name.c_str(), &h));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        {
            std::lock_guard<std::mutex> lock(undocumentedMutex);
            ++openResults[code == 0 ? "0" : std::to_string(code) + " " + LastErrorTextNow()];
            longestOpen = std::max(longestOpen, took);
        }
        if (code == 0) {
            ++opened;
            TAVOBLE_HANDLE seen = highest_.load();
            while (h > seen && !highest_.compare_exchange_weak(seen, h)) {
            }
        }
    }

    void Operate(unsigned choice) {
        switch (choice) {
            case 0:
            case 1:
                Open();
                break;
            case 2: {
                TAVOBLE_DEVICE_INFORMATION info;
                Checked("TAVOBLE_GetDeviceInformation",
                        TAVOBLE_GetDeviceInformation(AnyHandle(), &info));
                break;
            }
            case 3:
            case 4:
                Checked("TAVOBLE_RegisterDataAvailableCallback", Register(AnyHandle(), &OnScan));
                break;
            case 5:
                Checked("TAVOBLE_RegisterDataAvailableCallback", Register(AnyHandle(), nullptr));
                break;
            case 6: {
                TAVOBLE_HANDLE h = AnyHandle();
                closed += Checked("TAVOBLE_CloseDevice", TAVOBLE_CloseDevice(&h)) == 0 ? 1 : 0;
                break;
            }
            case 7:
                Checked("TAVOBLE_StartScanning", TAVOBLE_StartScanning());
                break;
            case 8:
                Checked("TAVOBLE_StopScanning", TAVOBLE_StopScanning());
                break;
            default:
                Checked("TAVOBLE_RegisterDeviceDiscoveredCallback",
                        TAVOBLE_RegisterDeviceDiscoveredCallback(random_() % 2 ? &OnDiscovered
                                                                               : nullptr));
                break;
        }
    }

    std::mt19937 random_;
    std::atomic<TAVOBLE_HANDLE>& highest_;
};

// The radio: links dropped and advertising stopped at random, each amplifier
// advertising again after 100 to 600 ms.
class Radio {
  public:
    Radio(unsigned seed, bletest::SimHarness& sim) : random_(seed), sim_(sim) {}

    void Run(const std::atomic<bool>& running) {
        while (running) {
            const auto now = std::chrono::steady_clock::now();
            for (int a = 0; a < kAmplifiers; ++a) {
                if (silent_[a] && now >= silentUntil_[a]) {
                    sim_.setAdvertising(NameOf(a), true);
                    silent_[a] = false;
                }
            }
            const int a = static_cast<int>(random_() % kAmplifiers);
            try {
                if (random_() % 2 == 0) {
                    sim_.disconnectPeer(NameOf(a));
                    ++drops;
                } else if (!silent_[a]) {
                    sim_.setAdvertising(NameOf(a), false);
                    silent_[a] = true;
                    silentUntil_[a] = now + std::chrono::milliseconds(100 + random_() % 500);
                    ++silences;
                }
            } catch (const std::exception&) {
                // Not connected: nothing to drop.
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + random_() % 250));
        }
        for (int a = 0; a < kAmplifiers; ++a) {
            sim_.setAdvertising(NameOf(a), true);
        }
    }

    uint64_t drops = 0;
    uint64_t silences = 0;

  private:
    std::mt19937 random_;
    bletest::SimHarness& sim_;
    bool silent_[kAmplifiers] = {};
    std::chrono::steady_clock::time_point silentUntil_[kAmplifiers];
};

}  // namespace

TEST(Torture, ApplicationThreadsAndAFlakyRadio) {
    const unsigned seed = Seed();
    const double seconds = Seconds();
    std::printf("torture: seed %u, %.1f s\n", seed, seconds);

    Json scenario = {{"timing", {{"appearMinMs", 5}, {"appearMaxMs", 30}}},
                     {"amplifiers", Json::array()}};
    for (int a = 0; a < kAmplifiers; ++a) {
        scenario["amplifiers"].push_back(
            {{"name", NameOf(a)},
             {"rate", 2},
             {"channels",
              {{{"type", 1}, {"scale", 0.5}}, {{"type", 1}}, {{"type", 3}}, {{"type", 5}}}}});
    }
    bletest::SimHarness sim;
    const std::string error = sim.start(scenario.dump());
    ASSERT_EQ(error, "") << error;

    std::atomic<TAVOBLE_HANDLE> highest{0};
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    std::vector<Application> applications;
    for (int t = 0; t < kAppThreads; ++t) {
        applications.emplace_back(seed + static_cast<unsigned>(t), highest);
    }
    std::vector<std::thread> threads;
    for (Application& application : applications) {
        threads.emplace_back([&application, deadline] { application.Run(deadline); });
    }
    // Runs until the application threads are done, so that their last opens can succeed.
    std::atomic<bool> running{true};
    Radio radio(seed ^ 0x5bd1e995u, sim);
    std::thread radioThread([&] { radio.Run(running); });

    // An open may search for 10 s and connect for 10 s more; anything longer is a hang.
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        for (auto& t : threads) {
            t.join();
        }
        joined = true;
    });
    if (!bletest::waitFor([&] { return joined.load(); },
                          std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)) + 60s)) {
        std::fprintf(stderr, "torture: application threads hang\n");
        std::fflush(stderr);
        std::abort();
    }
    joiner.join();
    running = false;
    radioThread.join();

    // Close whatever is still open; every handle ever issued answers 0 or 1.
    uint64_t operations = 0, opened = 0, closed = 0;
    for (const Application& application : applications) {
        operations += application.operations;
        opened += application.opened;
        closed += application.closed;
    }
    for (TAVOBLE_HANDLE h = 1; h <= highest.load() + 1; ++h) {
        TAVOBLE_HANDLE copy = h;
        closed += Checked("TAVOBLE_CloseDevice", TAVOBLE_CloseDevice(&copy)) == 0 ? 1 : 0;
    }
    EXPECT_EQ(Checked("TAVOBLE_StopScanning", TAVOBLE_StopScanning()), 0);
    EXPECT_EQ(Checked("TAVOBLE_RegisterDeviceDiscoveredCallback",
                      TAVOBLE_RegisterDeviceDiscoveredCallback(nullptr)),
              0);

    std::printf(
        "torture: %llu operations, %llu opens, %llu closes, %llu handles issued; %llu scans "
        "(%llu fillers), %llu calls from callbacks, %llu discovery reports; %llu links "
        "dropped, %llu advertising pauses\n",
        static_cast<unsigned long long>(operations), static_cast<unsigned long long>(opened),
        static_cast<unsigned long long>(closed), static_cast<unsigned long long>(highest.load()),
        static_cast<unsigned long long>(streams.scans.load()),
        static_cast<unsigned long long>(streams.fillers.load()),
        static_cast<unsigned long long>(streams.reentrant.load()),
        static_cast<unsigned long long>(streams.discoveries.load()),
        static_cast<unsigned long long>(radio.drops),
        static_cast<unsigned long long>(radio.silences));
    {
        std::lock_guard<std::mutex> lock(undocumentedMutex);
        std::printf("torture: longest open %lld ms; opens:",
                    static_cast<long long>(longestOpen.count()));
        for (const auto& [result, count] : openResults) {
            std::printf(" [%s] x%d", result.c_str(), count);
        }
        std::printf("\n");
        std::string list;
        for (const std::string& u : undocumented) {
            list += "\n  " + u;
        }
        EXPECT_TRUE(undocumented.empty()) << list;
    }
    EXPECT_EQ(streams.wrong.load(), 0u)
        << "malformed scans or names, or an open that a callback could start";
    EXPECT_EQ(streams.breaks.load(), 0u) << "sample numbers of one handle skipped without fillers";
    EXPECT_GT(opened, 0u);
    for (int a = 0; a < kAmplifiers; ++a) {
        EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(NameOf(a)); }, 10s))
            << NameOf(a) << " still connected after every handle was closed";
    }
}
