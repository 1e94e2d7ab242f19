// One amplifier, one link, one handle: whichever of its names an open uses.
#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

TEST_F(SimulatorTest, AnAmplifierWhoseSerialDiffersFromItsNameKeepsOneHandle) {
    StartSimulator(R"({"amplifiers": [{"name": "UX-0001.00.01",
                       "deviceInformation": {"serialNumber": "UX-0001.00.99"}}]})");
    const TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(Open(kDefaultAmplifier), handle) << "opened by its advertised name again";
    EXPECT_EQ(Open("UX-0001.00.99"), handle) << "opened by its Device Information serial";

    ScanRecorder& scans = ScanRecorder::Instance();
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    EXPECT_TRUE(scans.WaitForCount(20, 20s));
    TAVOBLE_HANDLE closing = handle;
    EXPECT_EQ(TAVOBLE_CloseDevice(&closing), 0);
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kDefaultAmplifier); }, 20s));
}
