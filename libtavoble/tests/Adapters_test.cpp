#include "SimulatorTest.h"

using namespace e2e;

namespace {

struct AdapterCase {
    const char* name;
    const char* scenario;
    const char* error;
};

void PrintTo(const AdapterCase& c, std::ostream* os) {
    *os << c.name;
}

class Adapters : public SimulatorTest, public ::testing::WithParamInterface<AdapterCase> {};

}  // namespace

// BlueZ reports Bluetooth as enabled when some adapter is powered, so a host
// without any adapter is "not enabled" too; two adapters are refused.
TEST_P(Adapters, AnUnusableAdapterIsCode2WithItsText) {
    StartSimulator(GetParam().scenario);
    EXPECT_EQ(TAVOBLE_StartScanning(), 2);
    EXPECT_EQ(LastError(), GetParam().error);
    EXPECT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(nullptr), 2);
    TAVOBLE_HANDLE handle = 0;
    EXPECT_EQ(TAVOBLE_OpenDevice(kDefaultAmplifier, &handle), 2);
    EXPECT_EQ(LastError(), GetParam().error);
    EXPECT_EQ(handle, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, Adapters,
    ::testing::Values(AdapterCase{"none", R"({"adapters": []})", "Bluetooth adapter not enabled."},
                      AdapterCase{"poweredOff", R"({"adapters": [{"powered": false}]})",
                                  "Bluetooth adapter not enabled."},
                      AdapterCase{"two", R"({"adapters": [{"id": "hci0"}, {"id": "hci1"}]})",
                                  "Multiple Bluetooth adapters found."}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SimulatorTest, AnAdapterPoweredOnLaterIsUsedWithoutRestarting) {
    StartSimulator(R"({"adapters": [{"powered": false}]})");
    EXPECT_EQ(TAVOBLE_StartScanning(), 2);
    sim.setPowered("hci0", true);
    ASSERT_TRUE(bletest::waitFor([] { return TAVOBLE_StartScanning() == 0; }));
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
    const TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    EXPECT_EQ(handle, 1u);
}

// The adapter in use is unplugged and another one plugged in: the next calls
// use the new one, as a program started now would.
TEST_F(SimulatorTest, AReplacedAdapterIsUsedWithoutRestarting) {
    StartSimulator();
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    sim.removeAdapter("hci0");
    sim.addAdapter("hci1", "00:1A:7D:DA:71:14");
    ASSERT_TRUE(bletest::waitFor([] { return TAVOBLE_StartScanning() == 0; })) << LastError();
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
    handle = Open(kDefaultAmplifier);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    EXPECT_TRUE(ScanRecorder::Instance().WaitForCount(10, std::chrono::seconds(10)));
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}
