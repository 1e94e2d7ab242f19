#include "SampleClock.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavo_ble {

namespace {
// While the line is this young, a later arrival than it says counts almost
// nothing: the line follows the earliest arrivals.
constexpr int64_t kYoung = 20;
constexpr double kYoungLateWeight = 1e-6;
constexpr double kDeviationFloor = 0.05;
// The spread follows each residual by this share, a residual counting at most
// this much above it, so that a burst of late notifications cannot make
// itself look normal.
constexpr double kDeviationStep = 0.02;
constexpr double kDeviationCap = 1.5;
constexpr double kDeviationSlack = 0.01;
}  // namespace

void clockUpdate(LineState& s, int64_t n, double arrival) {
    if (s.started == 0) {
        s.started = 1;
        s.n0 = static_cast<double>(n);
        s.t0 = arrival;
        s.updates = 1;
        return;
    }
    const double x = static_cast<double>(n) - s.n0;
    const double y = (arrival - s.t0) / s.nominalPeriod;
    const double residual = y - (s.a + s.b * x);
    double weight = 1.0;
    const double limit = s.lateLimit * std::max(s.deviation, kDeviationFloor);
    if (s.updates > kYoung && residual > limit) {
        const double ratio = limit / residual;
        weight = ratio * ratio;
    } else if (s.updates <= kYoung && residual > 0) {
        weight = kYoungLateWeight;
    }
    // Recursive least squares with forgetting on the regressor (1, x).
    const double lam = s.forget;
    const double p0 = s.p00 + s.p01 * x;
    const double p1 = s.p01 + s.p11 * x;
    const double denominator = lam / weight + p0 + p1 * x;
    const double k0 = p0 / denominator;
    const double k1 = p1 / denominator;
    s.a += k0 * residual;
    s.b += k1 * residual;
    s.p00 = (s.p00 - k0 * p0) / lam;
    s.p01 = (s.p01 - k0 * p1) / lam;
    s.p11 = (s.p11 - k1 * p1) / lam;
    s.deviation += (std::min(std::fabs(residual), kDeviationCap * s.deviation + kDeviationSlack) -
                    s.deviation) *
                   kDeviationStep;
    s.updates += 1;
}

double clockTimeOf(const LineState& s, int64_t n) {
    if (s.started == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return s.t0 + (s.a + s.b * (static_cast<double>(n) - s.n0)) * s.nominalPeriod;
}

}  // namespace tavo_ble
