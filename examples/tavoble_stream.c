/*
 * Scans for amplifiers, opens one, prints its device information, streams its
 * scans for a while and prints what arrived each second.
 *
 *   tavoble-stream [--scan-seconds S] [--seconds N] [SERIAL]
 *
 * Without SERIAL the first amplifier found is opened.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tavoble.h"

static char first_found[TAVOBLE_DEVICENAME_LENGTH_MAX];
static atomic_int found_count;

static atomic_ulong scans;
static atomic_ulong fillers;
static _Atomic float battery = -1.0f;
static _Atomic float last_sample_number = 0.0f;
static int counter_column = -1;

static void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static void on_discovered(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count) {
    printf("amplifiers in range (%u):", (unsigned)count);
    for (uint32_t i = 0; i < count; ++i) {
        printf(" %s", names[i]);
    }
    printf("\n");
    if (count > 0 && atomic_load(&found_count) == 0) {
        memcpy(first_found, names[0], TAVOBLE_DEVICENAME_LENGTH_MAX);
        atomic_store(&found_count, 1);
    }
}

static void on_scan(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    (void)handle;
    atomic_fetch_add(&scans, 1);
    if (scan[count - 1] == 0.0f) {
        atomic_fetch_add(&fillers, 1);
    }
    atomic_store(&battery, scan[count - 2]);
    if (counter_column >= 0) {
        atomic_store(&last_sample_number, scan[counter_column]);
    }
}

static int fail(const char* what) {
    fprintf(stderr, "%s failed: %s\n", what, TAVOBLE_GetLastErrorText());
    return 1;
}

int main(int argc, char** argv) {
    int scan_seconds = 3;
    int seconds = 5;
    const char* serial = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--scan-seconds") == 0 && i + 1 < argc) {
            scan_seconds = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atoi(argv[++i]);
        } else if (argv[i][0] == '-') {
            fprintf(stderr, "usage: %s [--scan-seconds S] [--seconds N] [SERIAL]\n", argv[0]);
            return 2;
        } else {
            serial = argv[i];
        }
    }

    printf("libtavoble API version %.1f\n", (double)TAVOBLE_GetApiVersion());
    if (TAVOBLE_RegisterDeviceDiscoveredCallback(on_discovered) != 0) {
        return fail("TAVOBLE_RegisterDeviceDiscoveredCallback");
    }
    if (TAVOBLE_StartScanning() != 0) {
        return fail("TAVOBLE_StartScanning");
    }
    for (int waited = 0; waited < scan_seconds * 10; ++waited) {
        sleep_ms(100);
    }
    TAVOBLE_StopScanning();
    TAVOBLE_RegisterDeviceDiscoveredCallback(NULL);
    if (serial == NULL) {
        if (atomic_load(&found_count) == 0) {
            fprintf(stderr, "no amplifier found\n");
            return 1;
        }
        serial = first_found;
    }

    TAVOBLE_HANDLE handle = 0;
    printf("opening %s\n", serial);
    if (TAVOBLE_OpenDevice(serial, &handle) != 0) {
        return fail("TAVOBLE_OpenDevice");
    }
    TAVOBLE_DEVICE_INFORMATION info;
    if (TAVOBLE_GetDeviceInformation(handle, &info) != 0) {
        return fail("TAVOBLE_GetDeviceInformation");
    }
    printf("model %s, serial %s, firmware %s, hardware %s, maker %s\n", info.modelNumber,
           info.serialNumber, info.firmwareRevision, info.hardwareRevision, info.manufacturerName);
    printf("%u values per scan at %u Hz, channel types:", info.numberOfAcquiredChannels,
           info.samplingRate);
    for (int i = 0; i < info.numberOfAcquiredChannels && i < TAVOBLE_NUMBER_OF_CHANNELS_MAX; ++i) {
        printf(" %u", info.channelTypes[i]);
        if (info.channelTypes[i] == 5) {
            counter_column = i;
        }
    }
    printf("\n");

    if (TAVOBLE_RegisterDataAvailableCallback(handle, on_scan) != 0) {
        return fail("TAVOBLE_RegisterDataAvailableCallback");
    }
    unsigned long previous = 0;
    for (int s = 1; s <= seconds; ++s) {
        sleep_ms(1000);
        const unsigned long now = atomic_load(&scans);
        printf("%2d s: %lu scans/s, %lu scans, %lu filler, battery %.0f %%, sample %.0f\n", s,
               now - previous, now, atomic_load(&fillers), (double)atomic_load(&battery),
               (double)atomic_load(&last_sample_number));
        fflush(stdout);
        previous = now;
    }
    TAVOBLE_RegisterDataAvailableCallback(handle, NULL);
    if (TAVOBLE_CloseDevice(&handle) != 0) {
        return fail("TAVOBLE_CloseDevice");
    }
    printf("closed\n");
    return 0;
}
