// An open that fails after the link was made (a read that never answers, a
// configuration refused, services that never resolve, a connect that times
// out half-way) leaves the amplifier disconnected by the time the call
// returns, and nothing reconnects it later.

#include <thread>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

struct HalfMadeLink {
    const char* name;
    const char* scenario;
    int32_t code;
    const char* error;  // the whole text, or with code -1 how the central's text begins
};

void PrintTo(const HalfMadeLink& c, std::ostream* os) {
    *os << c.name;
}

class FailedOpen : public SimulatorTest, public ::testing::WithParamInterface<HalfMadeLink> {};

}  // namespace

TEST_P(FailedOpen, LeavesNothingConnectedWhenItReturns) {
    StartSimulator(GetParam().scenario);
    TAVOBLE_HANDLE handle = 0;
    EXPECT_EQ(TAVOBLE_OpenDevice(kDefaultAmplifier, &handle), GetParam().code);
    if (GetParam().code == -1) {
        EXPECT_EQ(LastError().rfind(GetParam().error, 0), 0u) << LastError();
    } else {
        EXPECT_EQ(LastError(), GetParam().error);
    }
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(sim.isConnected(kDefaultAmplifier)) << "still connected as the open returned";
    std::map<std::string, uint64_t> counters = sim.counters(kDefaultAmplifier);
    EXPECT_EQ(counters["disconnects"], counters["connects"]);

    // Nothing takes the link up again behind the application's back.
    std::this_thread::sleep_for(700ms);
    counters = sim.counters(kDefaultAmplifier);
    EXPECT_FALSE(sim.isConnected(kDefaultAmplifier));
    EXPECT_EQ(counters["disconnects"], counters["connects"]);
    EXPECT_EQ(counters["data"], 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Amplifiers, FailedOpen,
    ::testing::Values(
        HalfMadeLink{"configurationRefused",
                     R"({"amplifiers": [{"name": "UX-0001.00.01",
                         "faults": {"configuration": {"numberOfChannels": 7}}}]})",
                     3, "Invalid amplifier configuration."},
        HalfMadeLink{"channelRecordMissing",
                     R"({"amplifiers": [{"name": "UX-0001.00.01",
                         "faults": {"channelRecords": {"omit": [3]}}}]})",
                     3, "Could not read channel configuration."},
        HalfMadeLink{"readNeverAnswered",
                     R"({"timing": {"readDelayMs": 8000},
                         "amplifiers": [{"name": "UX-0001.00.01"}]})",
                     -1, "Operation Failed: ReadValue on "},
        HalfMadeLink{"servicesNeverResolved",
                     R"({"amplifiers": [{"name": "UX-0001.00.01",
                         "faults": {"connect": {"fail": "unresolved"}}}]})",
                     3, "Could not connect to device."},
        HalfMadeLink{
            "connectTimesOut",
            R"({"timing": {"connectTimeoutMs": 500}, "amplifiers": [{"name": "UX-0001.00.01",
                         "faults": {"connect": {"fail": "timeout"}}}]})",
            3, "Could not connect to device."}),
    [](const auto& test) { return std::string(test.param.name); });
