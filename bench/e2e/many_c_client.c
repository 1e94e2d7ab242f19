/*
 * Several amplifiers through libtavoble's C interface in one process: opens
 * each serial named on the command line, counts the scans of all of them in
 * one data callback for S seconds after a warm-up, and prints the process's
 * CPU time (user + system) over that window as one JSON line.
 *
 *   e2e_many_c_client SECONDS SERIAL...
 */
#include <stdatomic.h>
#include <sys/resource.h>

#include "e2e_util.h"
#include "tavoble.h"

static atomic_ullong g_scans;

static void on_scan(TAVOBLE_HANDLE handle, float* scan, uint32_t count) {
    (void)handle;
    (void)scan;
    (void)count;
    atomic_fetch_add_explicit(&g_scans, 1, memory_order_relaxed);
}

static uint64_t cpu_ns(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (uint64_t)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000000ull +
           (uint64_t)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1000ull;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: e2e_many_c_client SECONDS SERIAL...\n");
        return 2;
    }
    const double seconds = atof(argv[1]);
    const int n = argc - 2;
    TAVOBLE_HANDLE handles[64] = {0};
    if (n > 64) {
        return 2;
    }
    for (int i = 0; i < n; ++i) {
        if (TAVOBLE_OpenDevice(argv[i + 2], &handles[i]) != 0 ||
            TAVOBLE_RegisterDataAvailableCallback(handles[i], on_scan) != 0) {
            fprintf(stderr, "%s: %s\n", argv[i + 2], TAVOBLE_GetLastErrorText());
            return 1;
        }
    }
    e2e_sleep_ms(1000); /* warm-up */
    const uint64_t scans0 = atomic_load(&g_scans);
    const uint64_t cpu0 = cpu_ns();
    const uint64_t t0 = e2e_now_ns();
    e2e_sleep_ms((unsigned)(seconds * 1000));
    const uint64_t cpu = cpu_ns() - cpu0;
    const uint64_t wall = e2e_now_ns() - t0;
    const uint64_t scans = atomic_load(&g_scans) - scans0;
    for (int i = 0; i < n; ++i) {
        TAVOBLE_RegisterDataAvailableCallback(handles[i], NULL);
        TAVOBLE_CloseDevice(&handles[i]);
    }
    printf("{\"client\": \"many-c\", \"amplifiers\": %d, \"cpu_ns\": %llu, \"wall_ns\": %llu, "
           "\"scans\": %llu}\n",
           n, (unsigned long long)cpu, (unsigned long long)wall, (unsigned long long)scans);
    return 0;
}
