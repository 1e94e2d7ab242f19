// The sample clock's per-notification step: a recursive least-squares line of
// arrival time against sample number that slowly forgets old points and gives
// late arrivals less weight. The same arithmetic, in the same order, as the
// Python package's SampleClock, so both give bit-identical times.
#pragma once

#include <cstdint>

#include "LineState.h"

namespace tavo_ble {

// Adds the arrival of the notification whose last sample is number `n`.
void clockUpdate(LineState& s, int64_t n, double arrival);

// The fitted time of sample number `n` (NaN before the first update).
double clockTimeOf(const LineState& s, int64_t n);

}  // namespace tavo_ble
