// Sample times for the common run of a chunk of scans: measured scans of
// notifications that come on time, while nothing is held back, open or
// stalled. Each notification's arrival goes into the sample clock when the
// next one begins; each scan gets the clock's time of its sample number. The
// same rules, in the same arithmetic, as the Python package's StreamTimeline,
// which handles everything else (fillers, late notifications, gaps, stalls).
#pragma once

#include <cstdint>

#include "LineState.h"

namespace tavo_ble {

// Places scans from the first on, stopping before the first that needs the
// other rules: a filler (its data-valid value, at `validIndex` when that is
// below `width`, is 0) or the first measured scan of a notification that came
// later than the line allows. Writes each placed scan's sample time and its
// notification's arrival; returns how many it placed. `s` is left as it was
// after the last scan placed.
uint32_t placeChunk(LineState& s, const float* values, uint32_t width, int64_t validIndex,
                    const double* arrivals, uint32_t count, double* times, double* groups);

}  // namespace tavo_ble
