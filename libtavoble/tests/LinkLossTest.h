#pragma once

// The fixture of the link-loss tests: the link-loss amplifier streaming into
// the scan recorder, and waiting for a lost link to come back.

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include "LinkLossAmplifier.h"
#include "SimulatorTest.h"

namespace e2e {

class LinkLossTest : public SimulatorTest {
  protected:
    void StartStreaming(const std::string& extra = "", const std::string& timing = "") {
        StartSimulator(LinkLossScenario(extra, timing));
        handle = Open(kDefaultAmplifier);
        ASSERT_NE(handle, 0u);
        ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
        ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(20, std::chrono::seconds(10)));
    }

    // The simulator's connect count; 0 while its service is away.
    uint64_t Connects() {
        try {
            return sim.counters(kDefaultAmplifier)["connects"];
        } catch (const std::exception&) {
            return 0;
        }
    }

    // Waits for a new link and scans on it.
    void AwaitRecovery(uint64_t connectsBefore) {
        ASSERT_TRUE(
            bletest::waitFor([&] { return Connects() > connectsBefore; }, std::chrono::seconds(30)))
            << "no reconnect";
        const std::size_t before = ScanRecorder::Instance().Count();
        ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(before + 10, std::chrono::seconds(30)))
            << "no new scans";
    }

    TAVOBLE_HANDLE handle = 0;
};

}  // namespace e2e
