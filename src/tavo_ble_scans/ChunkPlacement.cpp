#include "ChunkPlacement.h"

#include <algorithm>
#include <cmath>

#include "SampleClock.h"

namespace tavo_ble {

namespace {

// How much later than the line a notification may come without being held.
double gapBound(const LineState& s) {
    const double spread = s.deviation * s.nominalPeriod;
    return std::max(std::max(s.gapMin, s.gapDeviations * spread),
                    2.0 * static_cast<double>(s.scansPerNotification) * s.period);
}

// A notification's arrival stands for its last scan.
double lateness(const LineState& s, int64_t number, double arrival) {
    return arrival - clockTimeOf(s, number + s.scansPerNotification - 1);
}

}  // namespace

uint32_t placeChunk(LineState& s, const float* values, uint32_t width, int64_t validIndex,
                    const double* arrivals, uint32_t count, double* times, double* groups) {
    const bool hasValid = validIndex >= 0 && validIndex < static_cast<int64_t>(width);
    for (uint32_t i = 0; i < count; ++i) {
        if (hasValid &&
            values[static_cast<size_t>(i) * width + static_cast<size_t>(validIndex)] == 0.0f) {
            return i;  // a filler
        }
        const LineState before = s;
        const double arrival = arrivals[i];
        if (arrival - s.lastArrival > s.sameNotification || s.groupArrival < 0) {
            // The notification before is complete: its arrival goes into the line.
            if (s.groupArrival >= 0) {
                clockUpdate(s, s.sampleCount - 1, s.groupArrival);
                s.scansPerNotification = std::max<int64_t>(1, s.groupMeasured);
            }
            s.groupArrival = arrival;
            s.groupMeasured = 0;
            s.groupChecked = 0;
        }
        s.lastArrival = arrival;
        s.groupMeasured += 1;
        const int64_t number = s.sampleCount;
        s.sampleCount = number + 1;
        const double at = s.groupArrival;
        if (s.groupChecked == 0) {
            s.groupChecked = 1;
            if (lateness(s, number, at) > gapBound(s)) {
                s = before;  // late: held back until it is known why
                return i;
            }
        }
        double fitted = clockTimeOf(s, number);
        if (!(fitted > s.lastTime)) {
            // The line moved back (after late notifications): keep the times rising.
            fitted = std::isfinite(s.lastTime) ? s.lastTime + s.nominalPeriod / 4 : at;
        }
        s.lastTime = fitted;
        s.lastMeasured = number;
        s.lastMeasuredArrival = at;
        times[i] = fitted;
        groups[i] = at;
    }
    return count;
}

}  // namespace tavo_ble
