// A program killed while it streams leaves its link up: the Bluetooth service
// owns it, not the process, and a connected amplifier does not advertise. The
// next program must still find the amplifier and stream from it.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// In a child process: opens and streams, reports on `ready`, then waits to be killed.
[[noreturn]] void StreamUntilKilled(int ready) {
    TAVOBLE_HANDLE handle = 0;
    if (TAVOBLE_OpenDevice(kDefaultAmplifier, &handle) != 0 ||
        TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback) != 0 ||
        !ScanRecorder::Instance().WaitForCount(10, 20s)) {
        _exit(1);
    }
    const char byte = 1;
    if (write(ready, &byte, 1) != 1) {
        _exit(1);
    }
    for (;;) {
        pause();
    }
}

}  // namespace

TEST_F(SimulatorTest, AnAmplifierLeftConnectedByAKilledProgramOpensAgain) {
    StartSimulator();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        StreamUntilKilled(fds[1]);
    }
    close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    const bool streamed = poll(&ready, 1, 30000) == 1;
    char byte = 0;
    const bool reported = streamed && read(fds[0], &byte, 1) == 1;
    close(fds[0]);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(reported) << "the first program did not stream";
    // The link stays with the Bluetooth service; the amplifier stays silent.
    ASSERT_TRUE(sim.isConnected(kDefaultAmplifier));

    const auto start = std::chrono::steady_clock::now();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(10, 10s));
    const auto took = std::chrono::steady_clock::now() - start;
    // About 0.3 s on the simulator; the bound leaves room for a loaded machine.
    EXPECT_LT(took, 2s);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    EXPECT_FALSE(sim.isConnected(kDefaultAmplifier));
}
