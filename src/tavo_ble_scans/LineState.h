// The state of one stream's timeline that the common path of chunk placement
// reads and advances: the sample clock's running line and the notification
// being assembled. Plain doubles and 64-bit integers only, the clock's part
// first: the Python package keeps its SampleClock and StreamTimeline in this
// very memory (ctypes structures, tavo_ble.sample_clock and
// tavo_ble.timeline), so the helper advances them in place.
#pragma once

#include <cstdint>

namespace tavo_ble {

extern "C" {
struct LineState {
    // The sample clock: (t - t0) / nominalPeriod = a + b * (n - n0).
    double nominalPeriod;  // 1 / the amplifier's sampling rate, s
    double forget;         // the line's forgetting factor per update
    double lateLimit;      // robust deviations above the line that lower a point's weight
    int64_t started;
    int64_t updates;
    double n0;
    double t0;
    double a;
    double b;
    double p00;
    double p01;
    double p11;
    double deviation;  // robust spread of arrivals around the line, in periods
    // The timeline: fixed for a stream ...
    double period;            // the timeline's sample period, s
    double sameNotification;  // arrivals closer than this came in one notification, s
    double gapMin;            // lateness that starts a hold: at least this, s ...
    double gapDeviations;     // ... and this many robust deviations
    // ... and running.
    int64_t scansPerNotification;
    int64_t sampleCount;
    int64_t groupMeasured;  // measured scans of the notification being assembled
    int64_t groupChecked;   // its lateness was checked
    int64_t lastMeasured;
    double lastArrival;
    double groupArrival;  // arrival of the notification being assembled (< 0: none yet)
    double lastTime;      // the newest sample time handed out
    double lastMeasuredArrival;
};
}

}  // namespace tavo_ble
