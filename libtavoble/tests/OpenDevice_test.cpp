#include <exception>
#include <thread>

#include "SimulatorTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

struct OpenFailure {
    const char* name;
    const char* amplifier;  // the amplifier's JSON, named UX-0001.00.01
    const char* error;
};

void PrintTo(const OpenFailure& c, std::ostream* os) {
    *os << c.name;
}

class OpenFailures : public SimulatorTest, public ::testing::WithParamInterface<OpenFailure> {};

}  // namespace

TEST_P(OpenFailures, MapToTheSessionMessageAndLeaveNothingConnected) {
    StartSimulator(std::string(R"({"amplifiers": [)") + GetParam().amplifier + "]}");
    TAVOBLE_HANDLE handle = 0;
    EXPECT_EQ(TAVOBLE_OpenDevice(kDefaultAmplifier, &handle), 3);
    EXPECT_EQ(LastError(), GetParam().error);
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kDefaultAmplifier); }, 5s));
}

INSTANTIATE_TEST_SUITE_P(
    Amplifiers, OpenFailures,
    ::testing::Values(
        OpenFailure{"noAmplifierService",
                    R"({"faults": {"omitServices": ["B5211405-449F-4BA0-A651-B887924B81E8"]}})",
                    "'B5211405-449F-4BA0-A651-B887924B81E8' service not found."},
        OpenFailure{"noDeviceInformation", R"({"faults": {"omitServices": ["180A"]}})",
                    "'180A' service not found."},
        OpenFailure{
            "noDataCharacteristic",
            R"({"faults": {"omitCharacteristics": ["B5211406-449F-4BA0-A651-B887924B81E8"]}})",
            "Could not find characteristic 'B5211406-449F-4BA0-A651-B887924B81E8' in "
            "service 'b5211405-449f-4ba0-a651-b887924b81e8'."},
        OpenFailure{
            "noBatteryLevel",
            R"({"battery": {"gattService": true}, "faults": {"omitCharacteristics": ["2A19"]}})",
            "Could not find characteristic '2A19' in service "
            "'0000180f-0000-1000-8000-00805f9b34fb'."},
        OpenFailure{"channelCountMismatch",
                    R"({"faults": {"configuration": {"numberOfChannels": 7}}})",
                    "Invalid amplifier configuration."},
        OpenFailure{"shortAmplifierConfiguration",
                    R"({"faults": {"configurationBytes": {"hex": "fa00080000000000"}}})",
                    "Invalid amplifier configuration."},
        OpenFailure{"noPayloadRecords",
                    R"({"faults": {"configuration": {"payloadConfigurationCount": 0}}})",
                    "Invalid payload configuration."},
        OpenFailure{
            "noChannels",
            R"({"faults": {"configuration": {"numberOfChannels": 0, "channelConfigurationCount": 0}}})",
            "Invalid channel configuration."},
        OpenFailure{"tooManyChannels", R"({"channels": 63})", "Invalid channel configuration."},
        OpenFailure{
            "payloadForUnknownChannel",
            R"({"channels": 2, "scansPerNotification": 1, "payloadLayout": [[1, 0], [3, 0]]})",
            "Invalid payload configuration."},
        OpenFailure{"channelRecordMissing", R"({"faults": {"channelRecords": {"omit": [3]}}})",
                    "Could not read channel configuration."},
        OpenFailure{"channelRecordShort",
                    R"({"faults": {"channelRecords": {"truncate": {"0": 7}}}})",
                    "Could not read channel configuration."},
        OpenFailure{"payloadRecordsLate", R"({"faults": {"payloadRecords": {"delayMs": 900}}})",
                    "Could not read payload configuration."},
        OpenFailure{"filterRecordMissing", R"({"faults": {"filterRecords": {"omit": [0]}}})",
                    "Could not read filter configuration."},
        OpenFailure{"connectRefused", R"({"faults": {"connect": {"fail": "error"}}})",
                    "Could not connect to device."},
        OpenFailure{"servicesNeverResolved", R"({"faults": {"connect": {"fail": "unresolved"}}})",
                    "Could not connect to device."}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SimulatorTest, ASerialThatDiffersInCaseIsNotFound) {
    StartSimulator();
    TAVOBLE_HANDLE handle = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TAVOBLE_OpenDevice("ux-0001.00.01", &handle), 3);
    EXPECT_EQ(LastError(), "Could not find device with the specified serial number.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9900ms);
}

TEST_F(SimulatorTest, OpeningTheSameSerialTwiceGivesOneConnection) {
    StartSimulator();
    TAVOBLE_HANDLE first = Open(kDefaultAmplifier);
    TAVOBLE_HANDLE second = Open(kDefaultAmplifier);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, first);
    EXPECT_EQ(sim.counters(kDefaultAmplifier)["connects"], 1u);
    EXPECT_EQ(TAVOBLE_CloseDevice(&first), 0);
    EXPECT_EQ(TAVOBLE_CloseDevice(&second), 1);
    EXPECT_EQ(LastError(), "Couldn't get device handle.");
    EXPECT_TRUE(bletest::waitFor([&] { return !sim.isConnected(kDefaultAmplifier); }, 5s));
}

TEST_F(SimulatorTest, DeviceInformationIsCutAndDescribesTheScan) {
    StartSimulator(R"({"amplifiers": [{"name": "UX-0001.00.01",
        "deviceInformation": {"modelNumber": {"repeat": "M", "count": 300},
                              "firmwareRevision": [50, 46, 0, 57],
                              "manufacturerName": "Tavo Instruments"}}]})");
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    TAVOBLE_DEVICE_INFORMATION info{};
    ASSERT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0);
    EXPECT_EQ(std::string(info.modelNumber), std::string(254, 'M'));
    EXPECT_STREQ(info.serialNumber, kDefaultAmplifier);
    EXPECT_STREQ(info.firmwareRevision, "2.");  // text ends at its first zero byte
    EXPECT_STREQ(info.manufacturerName, "Tavo Instruments");
    EXPECT_EQ(info.numberOfAcquiredChannels, 10);
    EXPECT_EQ(info.samplingRate, 250);
    const uint8_t types[12] = {1, 1, 1, 1, 1, 1, 1, 5, 4, 9, 0, 0};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(info.channelTypes[i], types[i]) << "entry " << i;
    }
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

// Real BlueZ publishes the battery (org.bluez.Battery1) a little after the
// services have resolved; the open must not miss it.
TEST_F(SimulatorTest, TheBatteryThatBlueZPublishesLateIsFound) {
    StartSimulator(
        R"({"amplifiers": [{"name": "UX-0001.00.01", "battery": {"battery1DelayMs": 150, "level": 64}}]})");
    TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, &ScanRecorder::Callback), 0);
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(2, 10s));
    EXPECT_EQ(ScanRecorder::Instance().Take()[0].values[8], 64.0f);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

// Between two opens the Bluetooth service forgets the amplifier (its device
// object times out, here after 0.3 s, or the service restarts): the second
// open finds it afresh instead of trying the object that is gone.
TEST_F(SimulatorTest, AnAmplifierWhoseDeviceObjectWasDroppedOpensAgain) {
    StartSimulator(R"({"timing": {"deviceTimeoutMs": 300}})");
    for (const bool restart : {false, true}) {
        TAVOBLE_HANDLE handle = Open(kDefaultAmplifier);
        ASSERT_NE(handle, 0u);
        ASSERT_EQ(TAVOBLE_CloseDevice(&handle), 0);
        if (restart) {
            sim.restartBluetooth(0.2);
        }
        ASSERT_TRUE(bletest::waitFor(
            [this] {
                try {
                    return sim.deviceAddresses().empty();
                } catch (const std::exception&) {
                    return false;  // the service is not back yet
                }
            },
            10s));
        std::this_thread::sleep_for(500ms);
        handle = Open(kDefaultAmplifier);
        EXPECT_NE(handle, 0u) << (restart ? "after a restart" : "after a time-out");
        TAVOBLE_CloseDevice(&handle);
    }
}
