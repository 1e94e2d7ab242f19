#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakeBackend.h"
#include "tavoble.h"

using namespace Tavo::BLE::Testing;

namespace {
std::string LastError() {
    return TAVOBLE_GetLastErrorText();
}
}  // namespace

TEST(OpenDevice, ChecksTheHandlePointerFirstThenTheName) {
    EXPECT_EQ(TAVOBLE_OpenDevice(nullptr, nullptr), -1);
    EXPECT_EQ(LastError(), "Handle must not be null.");
    EXPECT_EQ(TAVOBLE_OpenDevice("UA-0000.00.01", nullptr), -1);
    EXPECT_EQ(LastError(), "Handle must not be null.");
    TAVOBLE_HANDLE handle = 77;
    EXPECT_EQ(TAVOBLE_OpenDevice(nullptr, &handle), -1);
    EXPECT_EQ(LastError(), "Device name must not be null.");
    EXPECT_EQ(handle, 77u);
}

TEST(OpenDevice, LeavesTheHandleUntouchedWhenTheConnectFails) {
    Fake().beforeCreate = [](const std::string&) {
        throw std::runtime_error("Peripheral is not connected.");
    };
    TAVOBLE_HANDLE handle = 77;
    EXPECT_EQ(TAVOBLE_OpenDevice("UA-0000.00.21", &handle), -1);
    EXPECT_EQ(LastError(), "Peripheral is not connected.");
    EXPECT_EQ(handle, 77u);
    Fake().Reset();
}

TEST(CloseDevice, NullPointerIsAHandleErrorWithoutFullStop) {
    EXPECT_EQ(TAVOBLE_CloseDevice(nullptr), 1);
    EXPECT_EQ(LastError(), "Handle must not be null");
}

TEST(CloseDevice, ZeroesTheCallersVariableOnSuccessAndFailure) {
    TAVOBLE_HANDLE handle = 0;
    ASSERT_EQ(TAVOBLE_OpenDevice("UA-0000.00.22", &handle), 0);
    ASSERT_NE(handle, 0u);
    TAVOBLE_HANDLE stale = handle;
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 1);
    EXPECT_EQ(LastError(), "Couldn't get device handle.");
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(TAVOBLE_CloseDevice(&stale), 1);
    EXPECT_EQ(stale, 0u);
}

TEST(DeviceFunctions, RefuseHandlesThatAreNotOpen) {
    TAVOBLE_DEVICE_INFORMATION info{};
    EXPECT_EQ(TAVOBLE_GetDeviceInformation(0, &info), 1);
    EXPECT_EQ(LastError(), "Couldn't get device from handle.");
    EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(12345, nullptr), 1);
    EXPECT_EQ(LastError(), "Couldn't get device from handle.");
}

TEST(DeviceFunctions, CopyTheWholeInformationRecord) {
    TAVOBLE_HANDLE handle = 0;
    ASSERT_EQ(TAVOBLE_OpenDevice("UA-0000.00.23", &handle), 0);
    TAVOBLE_DEVICE_INFORMATION info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0);
    EXPECT_STREQ(info.serialNumber, "UA-0000.00.23");
    EXPECT_EQ(info.numberOfAcquiredChannels, 10);
    EXPECT_EQ(info.samplingRate, 250);
    EXPECT_EQ(info.modelNumber[0], 0);
    EXPECT_EQ(TAVOBLE_GetDeviceInformation(handle, nullptr), -1);
    EXPECT_EQ(LastError(), "Device information must not be null.");
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

TEST(Scanning, StartsAndStopsOnlyWhenNeeded) {
    FakeAdapter& adapter = Fake().adapter;
    const int starts = adapter.starts, stops = adapter.stops;
    EXPECT_EQ(TAVOBLE_StartScanning(), 0);
    EXPECT_EQ(TAVOBLE_StartScanning(), 0);
    EXPECT_EQ(adapter.starts, starts + 1);
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
    EXPECT_EQ(adapter.stops, stops + 1);
}

TEST(Scanning, AnUnusableAdapterIsCode2AndIsRetriedNextTime) {
    Fake().adapterFails = true;
    EXPECT_EQ(TAVOBLE_StartScanning(), 2);
    EXPECT_EQ(LastError(), "Bluetooth adapter not enabled.");
    EXPECT_EQ(TAVOBLE_RegisterDeviceDiscoveredCallback(nullptr), 2);
    Fake().adapterFails = false;
    EXPECT_EQ(TAVOBLE_StartScanning(), 0);
    EXPECT_EQ(TAVOBLE_StopScanning(), 0);
}
