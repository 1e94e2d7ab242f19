#pragma once

// Each test runs in its own process (CTest runs test cases one by one) with
// its own private bus and simulator, started before the library's first call.

#include <gtest/gtest.h>

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

    bletest::SimHarness sim;
};

}  // namespace e2e
