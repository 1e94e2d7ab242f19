/* The public header must compile as C99 and give the documented layout. */
#include <stddef.h>

#include "tavoble.h"

#define LAYOUT_CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

LAYOUT_CHECK(size_is_1344, sizeof(TAVOBLE_DEVICE_INFORMATION) == 1344);
LAYOUT_CHECK(model_at_0, offsetof(TAVOBLE_DEVICE_INFORMATION, modelNumber) == 0);
LAYOUT_CHECK(serial_at_255, offsetof(TAVOBLE_DEVICE_INFORMATION, serialNumber) == 255);
LAYOUT_CHECK(firmware_at_510, offsetof(TAVOBLE_DEVICE_INFORMATION, firmwareRevision) == 510);
LAYOUT_CHECK(hardware_at_765, offsetof(TAVOBLE_DEVICE_INFORMATION, hardwareRevision) == 765);
LAYOUT_CHECK(manufacturer_at_1020, offsetof(TAVOBLE_DEVICE_INFORMATION, manufacturerName) == 1020);
LAYOUT_CHECK(types_at_1275, offsetof(TAVOBLE_DEVICE_INFORMATION, channelTypes) == 1275);
LAYOUT_CHECK(count_at_1340, offsetof(TAVOBLE_DEVICE_INFORMATION, numberOfAcquiredChannels) == 1340);
LAYOUT_CHECK(rate_at_1342, offsetof(TAVOBLE_DEVICE_INFORMATION, samplingRate) == 1342);
LAYOUT_CHECK(handle_is_64_bit, sizeof(TAVOBLE_HANDLE) == 8);

/* Result codes are part of the interface: their values never change. */
LAYOUT_CHECK(result_codes_keep_their_values,
             TAVOBLE_RESULT_SUCCESS == 0 && TAVOBLE_RESULT_INVALID_ARGUMENT == -1 &&
                 TAVOBLE_RESULT_HANDLE == 1 && TAVOBLE_RESULT_ADAPTER == 2 &&
                 TAVOBLE_RESULT_SESSION == 3 && TAVOBLE_RESULT_PAYLOAD_SIZE == -2);

/* Callbacks written as an application would write them must match the types. */
static void on_discovered(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count) {
    (void)names;
    (void)count;
}
static void on_data(TAVOBLE_HANDLE handle, float* sample, uint32_t count) {
    (void)handle;
    (void)sample;
    (void)count;
}

size_t tavoble_c_record_size(void);
size_t tavoble_c_record_size(void) {
    DeviceDiscoveredCallback discovered = on_discovered;
    DataAvailableCallback data = on_data;
    (void)discovered;
    (void)data;
    return sizeof(TAVOBLE_DEVICE_INFORMATION);
}
