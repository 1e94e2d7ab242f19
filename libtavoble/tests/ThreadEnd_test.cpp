// A data callback that ends its thread with pthread_exit, as an interpreter
// does with threads that call into it during its shutdown.
#include <pthread.h>

#include <atomic>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
std::atomic<int> exits{0};
void ExitFromCallback(TAVOBLE_HANDLE, float*, uint32_t) {
    ++exits;
    pthread_exit(nullptr);
}
}  // namespace

TEST_F(SimulatorTest, PthreadExitFromADataCallbackLeavesTheLibraryWorking) {
    StartSimulator();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ExitFromCallback), 0);
    ASSERT_TRUE(bletest::waitFor([] { return exits > 0; }, 20s));

    // The process lives on, the device is usable and streams again, and the
    // close is not held up by the callback that never returned.
    ScanRecorder& scans = ScanRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    EXPECT_TRUE(scans.WaitForCount(20, 20s));
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kDefaultAmplifier); }, 20s));

    handle = Open(kDefaultAmplifier);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0) << LastError();
}
