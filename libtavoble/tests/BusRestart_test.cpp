// The system bus itself goes away (its daemon restarted) while an amplifier
// streams: calls in between fail at once, and once the bus is back the
// library connects to it again and the amplifier streams on by itself.

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

TEST_F(SimulatorTest, AnOpenAmplifierStreamsAgainAfterTheBusRestarts) {
    StartSimulator();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(20, 10s));

    sim.stopBus();
    // Without a bus there is no Bluetooth: the calls say so at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TAVOBLE_StartScanning(), 2);
    EXPECT_EQ(LastError(), "Bluetooth adapter not enabled.");
    TAVOBLE_HANDLE other = 0;
    EXPECT_EQ(TAVOBLE_OpenDevice("UX-0002.00.01", &other), 2);
    EXPECT_EQ(LastError(), "Bluetooth adapter not enabled.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // The open device answers from what it read at open, and stays open.
    TAVOBLE_DEVICE_INFORMATION info{};
    EXPECT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0);
    EXPECT_STREQ(info.serialNumber, kDefaultAmplifier);

    ASSERT_EQ(sim.restartBus(), "");
    const std::size_t before = ScanRecorder::Instance().Count();
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(before + 20, 30s))
        << "no scans after the bus came back";
    EXPECT_TRUE(sim.isConnected(kDefaultAmplifier));
    // Scanning works again on the new connection.
    EXPECT_EQ(TAVOBLE_StartScanning(), 0) << LastError();
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    EXPECT_FALSE(sim.isConnected(kDefaultAmplifier));
}
