#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "tavoble.h"

extern "C" size_t tavoble_c_record_size(void);

static_assert(sizeof(TAVOBLE_DEVICE_INFORMATION) == 1344);
static_assert(alignof(TAVOBLE_DEVICE_INFORMATION) == 2);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, serialNumber) == 255);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, firmwareRevision) == 510);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, hardwareRevision) == 765);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, manufacturerName) == 1020);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, channelTypes) == 1275);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, numberOfAcquiredChannels) == 1340);
static_assert(offsetof(TAVOBLE_DEVICE_INFORMATION, samplingRate) == 1342);
static_assert(std::is_same_v<TAVOBLE_HANDLE, uint64_t>);
static_assert(
    std::is_same_v<decltype(&TAVOBLE_OpenDevice), int32_t (*)(const char*, TAVOBLE_HANDLE*)>);
static_assert(std::is_same_v<decltype(&TAVOBLE_GetApiVersion), float (*)()>);
// Application callbacks are declared with exactly these parameter types (a
// function taking `const float*` does not convert to a pointer of this type).
static_assert(std::is_same_v<DeviceDiscoveredCallback,
                             void (*)(char (*)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t)>);
static_assert(std::is_same_v<DataAvailableCallback, void (*)(TAVOBLE_HANDLE, float*, uint32_t)>);
static_assert(TAVOBLE_STRING_LENGTH_MAX == 255 && TAVOBLE_DEVICENAME_LENGTH_MAX == 15 &&
              TAVOBLE_NUMBER_OF_CHANNELS_MAX == 64);

TEST(HeaderLayout, CAndCppAgreeOnTheRecordSize) {
    EXPECT_EQ(tavoble_c_record_size(), sizeof(TAVOBLE_DEVICE_INFORMATION));
}
