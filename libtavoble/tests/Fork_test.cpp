// A program that forks while it streams (to run a helper, say): the child
// owns none of the parent's devices, ends promptly however it ends, and the
// parent's stream goes on without a gap.

#include <unistd.h>

#include <cstdlib>

#include "LinkLossTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

pid_t parent = 0;
int childStatus = 0;

// Registered before the library's exit hook, so it runs after it: a forked
// child ends there, before a leak checker counts what only the parent's
// threads (absent in the child) still reach.
void EndChildAfterTheLibrarysExitHook() {
    if (getpid() != parent) {
        _exit(childStatus);
    }
}

}  // namespace

TEST_F(LinkLossTest, AForkedChildEndsPromptlyAndTheParentStreamsOn) {
    parent = getpid();
    ASSERT_EQ(std::atexit(&EndChildAfterTheLibrarysExitHook), 0);
    StartStreaming();
    for (const bool closesFirst : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (closesFirst) {
                // Not the child's device: a handle error, and nothing closed.
                TAVOBLE_HANDLE parents = handle;
                childStatus = TAVOBLE_CloseDevice(&parents) == 1 ? 0 : 3;
            }
            std::exit(childStatus);  // runs the library's exit hook
        }
        ExpectChildExitsCleanly(child);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        if (HasFatalFailure()) {
            return;
        }
    }
    ScanRecorder& recorder = ScanRecorder::Instance();
    ASSERT_TRUE(recorder.WaitForCount(recorder.Count() + 100, 10s));
    const std::vector<Scan> scans = recorder.Take();
    for (std::size_t i = 0; i < scans.size(); ++i) {
        ASSERT_EQ(scans[i].values[kValid], 1.0f) << "filler at scan " << i;
        ASSERT_EQ(scans[i].values[kCounter], static_cast<float>(i + 1)) << "scan " << i;
    }
    EXPECT_TRUE(sim.isConnected(kDefaultAmplifier));
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}
