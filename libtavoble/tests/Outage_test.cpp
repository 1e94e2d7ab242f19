// Links that fail while they are being made, and amplifiers closed while out
// of reach: an attempt that cannot succeed ends at once, and what a lost link
// held is given back.

#include <dirent.h>

#include <cstdio>
#include <thread>

#include "LinkLossTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// The services resolve 0.4 s after the link is up: room to drop it between.
const char* const kSlowResolve = R"(, "resolveDelayMs": 400)";

std::size_t Entries(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

std::size_t OpenFiles() {
    return Entries("/proc/self/fd");
}

std::size_t Threads() {
    return Entries("/proc/self/task");
}

}  // namespace

TEST_F(LinkLossTest, AnOpenWhoseLinkDropsBeforeItsServicesResolveConnectsAgainAtOnce) {
    StartSimulator(LinkLossScenario("", kSlowResolve));
    std::thread dropper([this] {
        if (bletest::waitFor([this] { return sim.isConnected(kDefaultAmplifier); }, 15s)) {
            sim.disconnectPeer(kDefaultAmplifier);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    handle = Open(kDefaultAmplifier);
    const auto took = std::chrono::steady_clock::now() - start;
    dropper.join();
    ASSERT_NE(handle, 0u);
    EXPECT_LT(took, 5s) << "the open waited for a link that had gone";
    EXPECT_GE(Connects(), 2u);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    EXPECT_TRUE(ScanRecorder::Instance().WaitForCount(20, 10s));
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

TEST_F(LinkLossTest, TheKeeperConnectsAgainAtOnceWhenTheNewLinkDropsBeforeResolving) {
    StartStreaming("", kSlowResolve);
    const uint64_t connects = Connects();
    sim.disconnectPeer(kDefaultAmplifier);
    // The keeper's first new link goes again while its services resolve.
    ASSERT_TRUE(bletest::waitFor([&] { return Connects() > connects; }, 30s));
    sim.disconnectPeer(kDefaultAmplifier);
    const auto start = std::chrono::steady_clock::now();
    AwaitRecovery(connects + 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "recovery waited for a lost link";
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

TEST_F(SimulatorTest, ClosingAmplifiersOutOfReachGivesBackTheirConnectionsAndThreads) {
    StartSimulator();
    // Each round another amplifier: a new subscription of the same one would
    // replace what the last one left.
    auto openStreamLoseAndClose = [this](int number) {
        char name[32];
        std::snprintf(name, sizeof name, "UX-%04d.00.01", 100 + number);
        sim.addAmplifier(std::string(R"({"name": ")") + name + R"("})");
        ScanRecorder& scans = ScanRecorder::Instance();
        TAVOBLE_HANDLE handle = Open(name);
        ASSERT_NE(handle, 0u);
        ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
        ASSERT_TRUE(scans.WaitForCount(scans.Count() + 10, 10s));
        sim.setUnreachable(name, 600.0);
        ASSERT_TRUE(bletest::waitFor([&] { return !sim.isConnected(name); }, 10s));
        std::this_thread::sleep_for(200ms);  // the library has seen the link go
        EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    };
    // The first round starts what lives as long as the process.
    openStreamLoseAndClose(0);
    ASSERT_FALSE(HasFatalFailure());
    std::this_thread::sleep_for(1s);
    const std::size_t files = OpenFiles();
    const std::size_t threads = Threads();
    for (int number = 1; number <= 16 && !HasFatalFailure(); ++number) {
        openStreamLoseAndClose(number);
    }
    // Helper threads of the last attempts may still be on their way out.
    bletest::waitFor([&] { return OpenFiles() <= files && Threads() <= threads; }, 10s);
    EXPECT_LE(OpenFiles(), files);
    EXPECT_LE(Threads(), threads);
}

// Every read is answered 0.3 s late. A close while the keeper re-reads the
// configuration on a new link drops that link, and the Bluetooth service
// answers the read still waiting with an error at once.
TEST_F(LinkLossTest, ClosingWhileTheKeeperReconnectsReturnsPromptly) {
    StartSimulator(LinkLossScenario("", R"(, "readDelayMs": 300)"));
    for (const auto phase : {50ms, 400ms, 900ms}) {
        handle = Open(kDefaultAmplifier);
        ASSERT_NE(handle, 0u);
        const uint64_t connects = Connects();
        sim.disconnectPeer(kDefaultAmplifier);
        ASSERT_TRUE(bletest::waitFor([&] { return Connects() > connects; }, 30s));
        std::this_thread::sleep_for(phase);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        std::printf("close %lld ms into the reconnect: %lld ms\n",
                    static_cast<long long>(phase.count()),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        // 0.4 s without load; the margin is for a loaded machine.
        EXPECT_LT(took, 1s) << "closed " << phase.count() << " ms into the reconnect";
        ASSERT_TRUE(bletest::waitFor([this] { return !sim.isConnected(kDefaultAmplifier); }, 5s));
    }
}
