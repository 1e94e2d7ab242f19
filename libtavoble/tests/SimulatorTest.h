#pragma once

// Each test runs in its own process (CTest runs test cases one by one) with
// its own private bus and simulator, started before the library's first call.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <string>

#include "Recorders.h"
#include "SimHarness.h"
#include "tavoble.h"

namespace e2e {

constexpr const char* kDefaultAmplifier = "UX-0001.00.01";

class SimulatorTest : public ::testing::Test {
  protected:
    void StartSimulator(const std::string& scenario = "") {
        const std::string error = sim.start(scenario);
        ASSERT_EQ(error, "") << error;
    }

    TAVOBLE_HANDLE Open(const std::string& serial) {
        TAVOBLE_HANDLE handle = 0;
        EXPECT_EQ(TAVOBLE_OpenDevice(serial.c_str(), &handle), 0) << LastError();
        return handle;
    }

    // Waits for a forked child that should end by itself (killing it after
    // 30 s) and checks that it exited with status 0.
    static void ExpectChildExitsCleanly(pid_t child) {
        int status = -1;
        const bool ended = bletest::waitFor(
            [&] { return waitpid(child, &status, WNOHANG) == child; }, std::chrono::seconds(30));
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        ASSERT_TRUE(ended) << "the process hung at exit";
        ASSERT_TRUE(WIFEXITED(status)) << "the process crashed at exit";
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    bletest::SimHarness sim;
};

}  // namespace e2e
