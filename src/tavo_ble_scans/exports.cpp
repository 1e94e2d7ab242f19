// The C functions of the package's native helper, called through ctypes.
// Nothing here throws across the C boundary.
#include <cstdint>
#include <new>
#include <vector>

#include "ChunkPlacement.h"
#include "LineState.h"
#include "ScanRing.h"
#include "ScanRoutes.h"

#define TAVO_BLE_SCANS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// Reads up to `max` scans of `ring`; writes the sum of the drops before them to `dropped`.
uint32_t readChunk(void* ring, float* out, double* arrivals, uint32_t* droppedBefore, uint32_t max,
                   uint64_t* dropped) {
    const uint32_t n =
        static_cast<tavo_ble::ScanRing*>(ring)->read(out, arrivals, droppedBefore, max);
    uint64_t total = 0;
    for (uint32_t i = 0; i < n; ++i) {
        total += droppedBefore[i];
    }
    *dropped = total;
    return n;
}

tavo_ble::ScanRoutes& routes() {
    // Never destroyed: a delivery may still run while the process exits.
    static auto* r = new tavo_ble::ScanRoutes;
    return *r;
}
}  // namespace

TAVO_BLE_SCANS_EXPORT void* tavo_ble_scans_create(uint32_t width, uint32_t capacity) {
    try {
        return new tavo_ble::ScanRing(width, capacity);
    } catch (...) {
        return nullptr;
    }
}

TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_destroy(void* ring) {
    delete static_cast<tavo_ble::ScanRing*>(ring);
}

// For producers other than the library (tests, stand-ins): the same as a delivery.
TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_push(void* ring, const float* scan, uint32_t count,
                                               double arrival) {
    static_cast<tavo_ble::ScanRing*>(ring)->push(scan, count, arrival);
}

// Also writes the sum of the drops before the scans read into `droppedTotal`.
TAVO_BLE_SCANS_EXPORT uint32_t tavo_ble_scans_read(void* ring, float* out, double* arrivals,
                                                   uint32_t* droppedBefore, uint32_t max,
                                                   uint64_t* droppedTotal) {
    return readChunk(ring, out, arrivals, droppedBefore, max, droppedTotal);
}

TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_skip_leading_fillers(void* ring, uint32_t validColumn) {
    static_cast<tavo_ble::ScanRing*>(ring)->skipLeadingFillers(validColumn);
}

TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_compact_filler_runs(void* ring, uint32_t validColumn,
                                                              int64_t counterColumn) {
    static_cast<tavo_ble::ScanRing*>(ring)->compactFillerRuns(validColumn, counterColumn);
}

TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_end_run(void* ring) {
    static_cast<tavo_ble::ScanRing*>(ring)->endRun();
}

TAVO_BLE_SCANS_EXPORT uint64_t tavo_ble_scans_skipped(void* ring) {
    return static_cast<tavo_ble::ScanRing*>(ring)->skipped();
}

TAVO_BLE_SCANS_EXPORT uint64_t tavo_ble_scans_available(void* ring) {
    return static_cast<tavo_ble::ScanRing*>(ring)->available();
}

TAVO_BLE_SCANS_EXPORT uint64_t tavo_ble_scans_pending_dropped(void* ring) {
    return static_cast<tavo_ble::ScanRing*>(ring)->pendingDropped();
}

TAVO_BLE_SCANS_EXPORT uint64_t tavo_ble_scans_wait(void* ring, double timeout, double minGap) {
    try {
        return static_cast<tavo_ble::ScanRing*>(ring)->wait(timeout, minGap);
    } catch (...) {
        return 0;
    }
}

TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_wake(void* ring) {
    try {
        static_cast<tavo_ble::ScanRing*>(ring)->wake();
    } catch (...) {
    }
}

// The data callback to register with the library for every handle routed here.
TAVO_BLE_SCANS_EXPORT void tavo_ble_scans_deliver(uint64_t handle, const float* scan,
                                                  uint32_t count) {
    routes().deliver(handle, scan, count);
}

// Routes `handle` to `count` rings and an optional per-scan callback; 0 on
// success, -1 when no slot is free or memory ran out.
TAVO_BLE_SCANS_EXPORT int tavo_ble_scans_route(uint64_t handle, void* const* rings, uint32_t count,
                                               tavo_ble::ScanCallback callback) {
    try {
        std::vector<tavo_ble::ScanRing*> list;
        for (uint32_t i = 0; rings != nullptr && i < count; ++i) {
            list.push_back(static_cast<tavo_ble::ScanRing*>(rings[i]));
        }
        return routes().set(handle, list, callback) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

// The size of the timeline state the functions below take, for the caller to
// check its mirror of it.
TAVO_BLE_SCANS_EXPORT uint32_t tavo_ble_scans_line_size() {
    return static_cast<uint32_t>(sizeof(tavo_ble::LineState));
}

// Sample times for the common run of a chunk (see ChunkPlacement.h); returns
// how many scans from the first on it placed.
TAVO_BLE_SCANS_EXPORT uint32_t tavo_ble_scans_place(tavo_ble::LineState* state, const float* values,
                                                    uint32_t width, int64_t validIndex,
                                                    const double* arrivals, uint32_t count,
                                                    double* times, double* groups) {
    return tavo_ble::placeChunk(*state, values, width, validIndex, arrivals, count, times, groups);
}

// One reading turn of a ring in one call: reads up to `max` scans (as
// tavo_ble_scans_read) and, given the state of a timeline ready for the
// common path (or null), places the common run from the first scan on (as
// tavo_ble_scans_place) unless scans were dropped before them, which the
// caller fills in first. Writes {drops before the scans read, scans placed}
// to `out`; returns how many it read.
TAVO_BLE_SCANS_EXPORT uint32_t tavo_ble_scans_take(void* ring, tavo_ble::LineState* state,
                                                   int64_t validIndex, float* values,
                                                   double* arrivals, uint32_t* droppedBefore,
                                                   double* times, double* groups, uint32_t max,
                                                   uint64_t* out) {
    uint64_t dropped = 0;
    const uint32_t n = readChunk(ring, values, arrivals, droppedBefore, max, &dropped);
    uint32_t placed = 0;
    if (state != nullptr && dropped == 0 && n != 0) {
        placed =
            tavo_ble::placeChunk(*state, values, static_cast<tavo_ble::ScanRing*>(ring)->width(),
                                 validIndex, arrivals, n, times, groups);
    }
    out[0] = dropped;
    out[1] = placed;
    return n;
}
