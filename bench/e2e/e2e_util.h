/*
 * What every end-to-end benchmark client shares: the clock the simulator
 * stamps its sends with, the process's CPU time and resident memory, the
 * command line, the receive log and the one JSON line of results that
 * bench/e2e.py reads. Header-only, for the C and the C++ clients alike.
 *
 * A client records one (notification index, CLOCK_MONOTONIC ns) pair per
 * delivered item (a notification for the floor, a scan for the others) into
 * a log sized and touched before streaming starts, so recording neither
 * allocates nor faults pages on the data path.
 */
#ifndef TAVOBLE_BENCH_E2E_UTIL_H
#define TAVOBLE_BENCH_E2E_UTIL_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

/* The default amplifier: 2 scans per notification, the packet counter is
 * channel 8 (sample 7 of the payload: channel 8 of frame 0), starting at 1. */
#define E2E_AMPLIFIER "UX-0001.00.01"
#define E2E_COUNTER_OFFSET 21

static inline uint64_t e2e_clock_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static inline uint64_t e2e_now_ns(void) {
    return e2e_clock_ns(CLOCK_MONOTONIC);
}

/* User plus system time of the whole process (all threads). */
static inline uint64_t e2e_cpu_ns(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return ((uint64_t)u.ru_utime.tv_sec + (uint64_t)u.ru_stime.tv_sec) * 1000000000u +
           ((uint64_t)u.ru_utime.tv_usec + (uint64_t)u.ru_stime.tv_usec) * 1000u;
}

static inline long e2e_rss_kib(void) {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == NULL) {
        return -1;
    }
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) {
        resident = -1;
    }
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static inline void e2e_sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

/* Command line shared by the C and C++ clients. */
typedef struct e2e_options {
    double seconds;         /* streaming time, from the first notification */
    uint64_t notifications; /* or stop after this many (0: use seconds) */
    uint64_t warmup;        /* notifications before the CPU window opens */
    const char* out;        /* receive log, or NULL for none */
    uint64_t capacity;      /* log entries to reserve */
    long rss_every_ms;      /* sample resident memory this often (0: never) */
    uint64_t alloc_from;    /* allocation window, in notifications (0: none) */
    uint64_t alloc_to;
    const char* open_mode; /* "scan" or "noscan": measure the open only */
} e2e_options;

static inline int e2e_parse(int argc, char** argv, e2e_options* o) {
    memset(o, 0, sizeof *o);
    o->seconds = 3.0;
    o->warmup = 200;
    o->capacity = 1u << 20;
    for (int i = 1; i < argc; i += 2) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : NULL;
        if (v == NULL) {
            fprintf(stderr, "%s needs a value\n", a);
            return -1;
        }
        if (strcmp(a, "--seconds") == 0) {
            o->seconds = atof(v);
        } else if (strcmp(a, "--notifications") == 0) {
            o->notifications = strtoull(v, NULL, 10);
        } else if (strcmp(a, "--warmup") == 0) {
            o->warmup = strtoull(v, NULL, 10);
        } else if (strcmp(a, "--out") == 0) {
            o->out = v;
        } else if (strcmp(a, "--capacity") == 0) {
            o->capacity = strtoull(v, NULL, 10);
        } else if (strcmp(a, "--rss-every-ms") == 0) {
            o->rss_every_ms = atol(v);
        } else if (strcmp(a, "--alloc-window") == 0) {
            char* end = NULL;
            o->alloc_from = strtoull(v, &end, 10);
            o->alloc_to = end != NULL && *end == ':' ? strtoull(end + 1, NULL, 10) : 0;
        } else if (strcmp(a, "--open") == 0) {
            o->open_mode = v;
        } else {
            fprintf(stderr, "unknown option %s\n", a);
            return -1;
        }
    }
    return 0;
}

typedef struct e2e_entry {
    uint64_t index; /* notification index: packet counter - 1 */
    uint64_t t_ns;  /* CLOCK_MONOTONIC at delivery */
} e2e_entry;

typedef struct e2e_log {
    e2e_entry* entries;
    uint64_t capacity;
} e2e_log;

static inline int e2e_log_init(e2e_log* log, uint64_t capacity) {
    log->capacity = capacity;
    log->entries = (e2e_entry*)malloc(capacity * sizeof(e2e_entry));
    if (log->entries == NULL) {
        return -1;
    }
    memset(log->entries, 0, capacity * sizeof(e2e_entry)); /* fault the pages in now */
    return 0;
}

static inline int e2e_log_write(const e2e_log* log, uint64_t count, const char* path) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) {
        return -1;
    }
    const uint64_t n = count < log->capacity ? count : log->capacity;
    const size_t written = fwrite(log->entries, sizeof(e2e_entry), (size_t)n, f);
    fclose(f);
    return written == (size_t)n ? 0 : -1;
}

/* The allocation counter, when bench's interposer is preloaded (LD_PRELOAD). */
typedef void (*e2e_alloc_window_fn)(int on);

#define E2E_RSS_SAMPLES_MAX 4096

/* What the main thread observed while the stream ran. */
typedef struct e2e_run {
    int ok;                 /* 0: no notification within the time limit */
    uint64_t notifications; /* received when the run ended */
    uint64_t cpu_ns;        /* process CPU time from the warm-up to the end */
    uint64_t cpu_notifications;
    uint64_t alloc_notifications; /* notifications inside the allocation window */
    int rss_count;
    uint64_t rss_at[E2E_RSS_SAMPLES_MAX]; /* notifications received */
    long rss_kib[E2E_RSS_SAMPLES_MAX];
} e2e_run;

/*
 * Waits while the stream runs: until `seconds` have passed since the first
 * notification or `notifications` have arrived. Meanwhile opens the CPU window
 * after the warm-up, toggles the allocation window and samples resident memory.
 * `received` returns the notifications received so far. Polls every 10 ms, the
 * same in every client, so its own cost is equal for all of them.
 */
static inline void e2e_drive(const e2e_options* o, uint64_t (*received)(void),
                             e2e_alloc_window_fn alloc_window, e2e_run* run) {
    memset(run, 0, sizeof *run);
    const uint64_t start = e2e_now_ns();
    uint64_t first = 0, cpu0 = 0, n0 = 0, alloc_n0 = 0, next_rss = 0;
    int cpu_open = 0, alloc_state = 0;
    for (;;) {
        e2e_sleep_ms(10);
        const uint64_t now = e2e_now_ns();
        const uint64_t n = received();
        if (first == 0) {
            if (n == 0) {
                if (now - start > 15000000000u) {
                    return; /* nothing arrived */
                }
                continue;
            }
            first = now;
        }
        if (!cpu_open && n >= o->warmup) {
            cpu0 = e2e_cpu_ns();
            n0 = n;
            cpu_open = 1;
        }
        if (alloc_window != NULL && o->alloc_to > o->alloc_from) {
            if (alloc_state == 0 && n >= o->alloc_from) {
                alloc_window(1);
                alloc_n0 = received();
                alloc_state = 1;
            } else if (alloc_state == 1 && n >= o->alloc_to) {
                const uint64_t n1 = received();
                alloc_window(0);
                run->alloc_notifications = n1 - alloc_n0;
                alloc_state = 2;
            }
        }
        if (o->rss_every_ms > 0 && now >= next_rss && run->rss_count < E2E_RSS_SAMPLES_MAX) {
            run->rss_at[run->rss_count] = n;
            run->rss_kib[run->rss_count] = e2e_rss_kib();
            ++run->rss_count;
            next_rss = now + (uint64_t)o->rss_every_ms * 1000000u;
        }
        const int done = o->notifications > 0 ? n >= o->notifications
                                              : (double)(now - first) >= o->seconds * 1e9;
        if (done) {
            if (cpu_open) {
                run->cpu_ns = e2e_cpu_ns() - cpu0;
                run->cpu_notifications = n - n0;
            }
            if (o->rss_every_ms > 0 && run->rss_count < E2E_RSS_SAMPLES_MAX) {
                run->rss_at[run->rss_count] = n;
                run->rss_kib[run->rss_count] = e2e_rss_kib();
                ++run->rss_count;
            }
            if (alloc_state == 1) {
                const uint64_t n1 = received();
                alloc_window(0);
                run->alloc_notifications = n1 - alloc_n0;
            }
            run->notifications = n;
            run->ok = 1;
            return;
        }
    }
}

/* The fields every client reports, as the inside of a JSON object. */
static inline void e2e_print_run(const e2e_run* run) {
    printf(
        "\"ok\": %d, \"notifications\": %llu, \"cpu_ns\": %llu, \"cpu_notifications\": %llu, "
        "\"alloc_notifications\": %llu, \"rss\": [",
        run->ok, (unsigned long long)run->notifications, (unsigned long long)run->cpu_ns,
        (unsigned long long)run->cpu_notifications, (unsigned long long)run->alloc_notifications);
    for (int i = 0; i < run->rss_count; ++i) {
        printf("%s[%llu, %ld]", i == 0 ? "" : ", ", (unsigned long long)run->rss_at[i],
               run->rss_kib[i]);
    }
    printf("]");
}

#endif
