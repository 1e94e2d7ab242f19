/*
 * An application on libtavoble's C interface, as thin as one can be: opens
 * the default amplifier, registers a data callback that timestamps each scan
 * as the first thing it does and notes its sample number and data-valid flag.
 *
 *   e2e_c_client [--seconds S | --notifications N] [--out LOG] [--warmup N] ...
 *   e2e_c_client --open scan|noscan    only times TAVOBLE_OpenDevice
 *
 * Run on a bus with tavoble-sim (DBUS_SYSTEM_BUS_ADDRESS); prints one JSON line.
 */
#include <dlfcn.h>
#include <stdatomic.h>

#include "e2e_util.h"
#include "tavoble.h"

/* Scans per notification of the default amplifier. */
#define FRAMES 2

static e2e_log g_log;
static atomic_ullong g_scans;
static uint64_t g_fillers;
static uint64_t g_gaps;
static uint64_t g_last_sample;
static int g_counter_column = -1;
static atomic_int g_found;

static void on_scan(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    const uint64_t t = e2e_now_ns();
    (void)handle;
    /* The running sample number: FRAMES per notification, from 1. */
    const uint64_t sample = (uint64_t)scan[g_counter_column];
    if (scan[count - 1] == 0.0f) {
        ++g_fillers;
    }
    if (g_last_sample != 0 && sample != g_last_sample + 1) {
        ++g_gaps;
    }
    g_last_sample = sample;
    const uint64_t n = atomic_load_explicit(&g_scans, memory_order_relaxed);
    if (n < g_log.capacity) {
        g_log.entries[n].index = (sample - 1) / FRAMES;
        g_log.entries[n].t_ns = t;
    }
    atomic_store_explicit(&g_scans, n + 1, memory_order_release);
}

static uint64_t received(void) {
    return atomic_load_explicit(&g_scans, memory_order_relaxed) / FRAMES;
}

static void on_discovered(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (strcmp(names[i], E2E_AMPLIFIER) == 0) {
            atomic_store(&g_found, 1);
        }
    }
}

static int fail(const char* what) {
    fprintf(stderr, "%s failed: %s\n", what, TAVOBLE_GetLastErrorText());
    return 1;
}

/* Times one TAVOBLE_OpenDevice, with the application's scan already running
 * and the amplifier listed ("scan") or from cold ("noscan"). The clock is
 * CLOCK_REALTIME so that bench/e2e.py can place it among the bus messages that
 * dbus-monitor stamps. */
static int time_open(const char* mode) {
    if (strcmp(mode, "scan") == 0) {
        if (TAVOBLE_RegisterDeviceDiscoveredCallback(on_discovered) != 0 ||
            TAVOBLE_StartScanning() != 0) {
            return fail("scanning");
        }
        for (int waited = 0; !atomic_load(&g_found); ++waited) {
            if (waited > 1000) {
                fprintf(stderr, "the amplifier was not discovered\n");
                return 1;
            }
            e2e_sleep_ms(10);
        }
        /* Let the list settle, as an application's user would. */
        e2e_sleep_ms(300);
    }
    TAVOBLE_HANDLE handle = 0;
    const uint64_t t0 = e2e_clock_ns(CLOCK_REALTIME);
    const int32_t result = TAVOBLE_OpenDevice(E2E_AMPLIFIER, &handle);
    const uint64_t t1 = e2e_clock_ns(CLOCK_REALTIME);
    if (result != 0) {
        return fail("TAVOBLE_OpenDevice");
    }
    TAVOBLE_RegisterDeviceDiscoveredCallback(NULL);
    TAVOBLE_CloseDevice(&handle);
    printf(
        "{\"client\": \"c\", \"open\": \"%s\", \"t0_realtime_ns\": %llu, "
        "\"t1_realtime_ns\": %llu}\n",
        mode, (unsigned long long)t0, (unsigned long long)t1);
    return 0;
}

int main(int argc, char** argv) {
    e2e_options options;
    if (e2e_parse(argc, argv, &options) != 0) {
        return 2;
    }
    if (options.open_mode != NULL) {
        return time_open(options.open_mode);
    }
    if (e2e_log_init(&g_log, options.out != NULL ? options.capacity : 1) != 0) {
        return 1;
    }
    TAVOBLE_HANDLE handle = 0;
    if (TAVOBLE_OpenDevice(E2E_AMPLIFIER, &handle) != 0) {
        return fail("TAVOBLE_OpenDevice");
    }
    TAVOBLE_DEVICE_INFORMATION info;
    if (TAVOBLE_GetDeviceInformation(handle, &info) != 0) {
        return fail("TAVOBLE_GetDeviceInformation");
    }
    for (int i = 0; i < info.numberOfAcquiredChannels && i < TAVOBLE_NUMBER_OF_CHANNELS_MAX; ++i) {
        if (info.channelTypes[i] == 5) {
            g_counter_column = i;
        }
    }
    if (g_counter_column < 0) {
        fprintf(stderr, "the amplifier has no counter channel\n");
        return 1;
    }
    const e2e_alloc_window_fn alloc =
        (e2e_alloc_window_fn)(uintptr_t)dlsym(RTLD_DEFAULT, "tavobench_alloc_window");
    if (TAVOBLE_RegisterDataAvailableCallback(handle, on_scan) != 0) {
        return fail("TAVOBLE_RegisterDataAvailableCallback");
    }
    static e2e_run run;
    e2e_drive(&options, received, alloc, &run);
    TAVOBLE_RegisterDataAvailableCallback(handle, NULL);
    const uint64_t items = atomic_load(&g_scans);
    if (TAVOBLE_CloseDevice(&handle) != 0) {
        return fail("TAVOBLE_CloseDevice");
    }
    if (options.out != NULL && e2e_log_write(&g_log, items, options.out) != 0) {
        fprintf(stderr, "cannot write %s\n", options.out);
        return 1;
    }
    printf("{\"client\": \"c\", ");
    e2e_print_run(&run);
    printf(", \"items\": %llu, \"fillers\": %llu, \"gaps\": %llu}\n", (unsigned long long)items,
           (unsigned long long)g_fillers, (unsigned long long)g_gaps);
    return run.ok ? 0 : 1;
}
