// Two programs on one machine: an amplifier that a running program streams
// from is refused to the other at once, and the first program's stream goes
// on untouched. (An owner that was killed leaves the amplifier free: see
// KilledClient_test.cpp.)

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "LinkLossTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// The other program: streams until told to stop, then exits 0 when every
// scan it got was valid and numbered without a gap.
[[noreturn]] void StreamUntilTold(int ready, int done) {
    TAVOBLE_HANDLE handle = 0;
    if (TAVOBLE_OpenDevice(kDefaultAmplifier, &handle) != 0 ||
        TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback) != 0 ||
        !ScanRecorder::Instance().WaitForCount(20, 10s)) {
        _exit(3);
    }
    char byte = 'y';
    if (write(ready, &byte, 1) != 1 || read(done, &byte, 1) != 1) {
        _exit(4);
    }
    const std::vector<Scan> scans = ScanRecorder::Instance().Take();
    for (std::size_t i = 0; i < scans.size(); ++i) {
        if (scans[i].values[kValid] != 1.0f ||
            scans[i].values[kCounter] != static_cast<float>(i + 1)) {
            _exit(5);
        }
    }
    if (scans.size() < 200) {
        _exit(6);
    }
    std::exit(TAVOBLE_CloseDevice(&handle) == 0 ? 0 : 7);
}

}  // namespace

TEST_F(LinkLossTest, AnAmplifierAnotherProgramStreamsFromIsRefusedAtOnce) {
    StartSimulator(LinkLossScenario());
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        close(ready[0]);
        close(done[1]);
        StreamUntilTold(ready[1], done[0]);
    }
    // Only the child holds these ends: its early exit ends the wait below.
    close(ready[1]);
    close(done[0]);
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) {
        close(ready[0]);
        close(done[1]);
        int status = -1;
        waitpid(other, &status, 0);
        FAIL() << "the other program ended before it streamed, exit status "
               << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TAVOBLE_OpenDevice(kDefaultAmplifier, &handle), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(LastError(), "The amplifier is in use by another program (process " +
                               std::to_string(other) + ").");
    EXPECT_EQ(handle, 0u);
    std::this_thread::sleep_for(1s);  // the other program streams on meanwhile

    ASSERT_EQ(write(done[1], &byte, 1), 1);
    ExpectChildExitsCleanly(other);
    for (int fd : {ready[0], done[1]}) {
        close(fd);
    }
}
