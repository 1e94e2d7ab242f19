/*
 * Counts heap allocations while a window is open and remembers where each
 * came from, to show which code allocates per notification. Preloaded into a
 * benchmark client (LD_PRELOAD); the client opens and closes the window with
 * tavobench_alloc_window() around a stretch of steady streaming. Closing the
 * window writes one line per distinct call stack to $TAVOBENCH_ALLOC_OUT:
 *   <count> <module>+0x<offset> <module>+0x<offset> ...
 * innermost frame first; bench/e2e.py resolves the offsets to functions.
 *
 * malloc and friends forward to glibc's __libc_* entry points, so nothing here
 * depends on dlsym. While the window is closed an allocation costs one load.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* p, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* p);

#define DEPTH 24
#define SLOTS 4096

typedef struct stack {
    uint64_t hash;
    uint64_t count;
    int depth;
    void* frames[DEPTH];
} stack;

static stack g_stacks[SLOTS];
static atomic_int g_open;
static atomic_flag g_lock = ATOMIC_FLAG_INIT;
static atomic_ullong g_total;
static atomic_ullong g_dropped;
static __thread int t_inside __attribute__((tls_model("initial-exec")));

static void record(void) {
    if (t_inside) {
        return; /* backtrace itself, or our own bookkeeping */
    }
    t_inside = 1;
    void* frames[DEPTH + 2];
    /* Drop this function and the interposed entry point. */
    int depth = backtrace(frames, DEPTH + 2) - 2;
    if (depth < 0) {
        depth = 0;
    }
    uint64_t hash = 1469598103934665603ull;
    for (int i = 0; i < depth; ++i) {
        hash = (hash ^ (uint64_t)(uintptr_t)frames[i + 2]) * 1099511628211ull;
    }
    atomic_fetch_add(&g_total, 1);
    while (atomic_flag_test_and_set_explicit(&g_lock, memory_order_acquire)) {
    }
    uint64_t slot = hash % SLOTS;
    int stored = 0;
    for (int probe = 0; probe < SLOTS; ++probe, slot = (slot + 1) % SLOTS) {
        stack* s = &g_stacks[slot];
        if (s->count == 0) {
            s->hash = hash;
            s->depth = depth;
            memcpy(s->frames, frames + 2, (size_t)depth * sizeof(void*));
        } else if (s->hash != hash) {
            continue;
        }
        ++s->count;
        stored = 1;
        break;
    }
    atomic_flag_clear_explicit(&g_lock, memory_order_release);
    if (!stored) {
        atomic_fetch_add(&g_dropped, 1);
    }
    t_inside = 0;
}

#define COUNT()                                                    \
    do {                                                           \
        if (atomic_load_explicit(&g_open, memory_order_relaxed)) { \
            record();                                              \
        }                                                          \
    } while (0)

void* malloc(size_t size) {
    COUNT();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    COUNT();
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    COUNT();
    return __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size) {
    COUNT();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    COUNT();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    COUNT();
    void* p = __libc_memalign(alignment, size);
    if (p == NULL) {
        return 12; /* ENOMEM */
    }
    *out = p;
    return 0;
}

void free(void* p) {
    __libc_free(p);
}

static void dump(void) {
    const char* path = getenv("TAVOBENCH_ALLOC_OUT");
    FILE* f = path != NULL ? fopen(path, "w") : NULL;
    if (f == NULL) {
        return;
    }
    fprintf(f, "# total %llu dropped %llu\n", (unsigned long long)atomic_load(&g_total),
            (unsigned long long)atomic_load(&g_dropped));
    for (int i = 0; i < SLOTS; ++i) {
        const stack* s = &g_stacks[i];
        if (s->count == 0) {
            continue;
        }
        fprintf(f, "%llu", (unsigned long long)s->count);
        for (int d = 0; d < s->depth; ++d) {
            Dl_info info;
            if (dladdr(s->frames[d], &info) != 0 && info.dli_fname != NULL) {
                /* Return addresses point after the call: step back into it. */
                fprintf(f, " %s+0x%lx", info.dli_fname,
                        (unsigned long)((uintptr_t)s->frames[d] - 1 - (uintptr_t)info.dli_fbase));
            } else {
                fprintf(f, " ?+0x%lx", (unsigned long)(uintptr_t)s->frames[d]);
            }
        }
        fprintf(f, "\n");
    }
    fclose(f);
}

__attribute__((visibility("default"))) void tavobench_alloc_window(int on) {
    if (on) {
        /* backtrace() loads libgcc_s on first use: do that outside the window. */
        void* warm[4];
        backtrace(warm, 4);
        atomic_store(&g_open, 1);
    } else {
        atomic_store(&g_open, 0);
        t_inside = 1; /* dump()'s own allocations are not the client's */
        dump();
        t_inside = 0;
    }
}
