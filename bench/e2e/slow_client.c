/*
 * A C-interface client whose data callback takes a fixed time per scan, as an
 * application that plots or writes each scan synchronously would.
 *
 *   e2e_slow_client SECONDS CALLBACK_MS OUT
 *
 * Opens the default amplifier, counts the process's threads before the open,
 * after it and while streaming, and streams for SECONDS with a callback that
 * notes each scan's sample number, data-valid flag and arrival time
 * (CLOCK_MONOTONIC) and then sleeps CALLBACK_MS. The notes go to OUT as
 * little-endian uint64 triples; one JSON line goes to stdout. Run on a bus
 * with tavoble-sim (DBUS_SYSTEM_BUS_ADDRESS); LD_LIBRARY_PATH picks the
 * library to measure.
 */
#include <dirent.h>
#include <stdatomic.h>

#include "e2e_util.h"
#include "tavoble.h"

#define COUNTER 7 /* columns of the default amplifier's scan */
#define VALID 9
#define CAPACITY 1000000

static uint64_t g_notes[CAPACITY][3];
static atomic_ulong g_count;
static long g_pause_ms;

static void on_scan(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    (void)handle;
    const unsigned long n = atomic_load(&g_count);
    if (n < CAPACITY && count > VALID) {
        g_notes[n][0] = (uint64_t)scan[COUNTER];
        g_notes[n][1] = (uint64_t)scan[VALID];
        g_notes[n][2] = e2e_now_ns();
        atomic_store(&g_count, n + 1);
    }
    e2e_sleep_ms(g_pause_ms);
}

static int threads(void) {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (d == NULL) {
        return -1;
    }
    for (struct dirent* e = readdir(d); e != NULL; e = readdir(d)) {
        n += e->d_name[0] != '.';
    }
    closedir(d);
    return n;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s SECONDS CALLBACK_MS OUT\n", argv[0]);
        return 2;
    }
    const double seconds = atof(argv[1]);
    g_pause_ms = atol(argv[2]);
    const int before = threads();
    TAVOBLE_HANDLE handle = 0;
    if (TAVOBLE_OpenDevice(E2E_AMPLIFIER, &handle) != 0) {
        fprintf(stderr, "open failed: %s\n", TAVOBLE_GetLastErrorText());
        return 1;
    }
    e2e_sleep_ms(500);
    const int opened = threads();
    if (TAVOBLE_RegisterDataAvailableCallback(handle, on_scan) != 0) {
        fprintf(stderr, "register failed: %s\n", TAVOBLE_GetLastErrorText());
        return 1;
    }
    e2e_sleep_ms(500);
    const int streaming = threads();
    e2e_sleep_ms((long)(seconds * 1000.0) - 500);
    const uint64_t t0 = e2e_now_ns();
    const int32_t closed = TAVOBLE_CloseDevice(&handle);
    const double close_ms = (double)(e2e_now_ns() - t0) / 1e6;
    const unsigned long n = atomic_load(&g_count);
    FILE* f = fopen(argv[3], "wb");
    if (f == NULL || fwrite(g_notes, sizeof g_notes[0], n, f) != n) {
        return 1;
    }
    fclose(f);
    printf(
        "{\"threads\": {\"before_open\": %d, \"after_open\": %d, \"streaming\": %d}, "
        "\"scans\": %lu, \"close_ms\": %.1f, \"close_result\": %d}\n",
        before, opened, streaming, n, close_ms, closed);
    fflush(stdout);
    _exit(0); /* a callback may still be inside its sleep */
}
