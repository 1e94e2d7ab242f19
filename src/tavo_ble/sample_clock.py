"""De-jittered sample times from notification arrival times.

An amplifier samples on its own steady clock, but its notifications reach the
host late by a varying amount (radio retries, the Bluetooth stack, the
scheduler). The sample clock fits arrival time against sample number with a
running least-squares line that slowly forgets old points, as Lab Streaming
Layer's dejittering does, so the fitted time of sample ``n`` is
``offset + n * period`` with both terms tracking drift between the two
clocks. A notification can only arrive late, never early: arrivals far above
the line are given less weight, so a burst of late notifications barely moves
it.
"""
from __future__ import annotations

import ctypes
import math

_D, _I = ctypes.c_double, ctypes.c_int64


class SampleClock(ctypes.Structure):
    """Fits ``time = offset + n * period`` over (sample number, arrival time) pairs.

    Its state is a C structure (the package's native helper advances the line
    of a stream's timeline in place, see ``tavo_ble.timeline``); it is used
    like any Python object.
    """

    _fields_ = [("nominal_period", _D), ("_forget", _D), ("late_limit", _D), ("_started", _I), ("updates", _I),
                ("_n0", _D), ("_t0", _D), ("_a", _D), ("_b", _D), ("_p00", _D), ("_p01", _D), ("_p11", _D),
                ("_deviation", _D)]

    # Residuals beyond this many robust deviations above the line are down-weighted.
    LATE_LIMIT = 3.0

    def __init__(self, sampling_rate: float, half_life: float = 30.0) -> None:
        super().__init__()
        self.configure(sampling_rate, half_life)

    def configure(self, sampling_rate: float, half_life: float = 30.0) -> None:
        """Sets the clock up for a new stream (also for one that lives in a
        timeline's structure, where ``__init__`` does not run)."""
        self.nominal_period = 1.0 / sampling_rate if sampling_rate > 0 else 0.004
        self.late_limit = self.LATE_LIMIT
        # Forget per update so that a point's weight halves after `half_life` seconds
        # of notifications, counting one update per nominal notification of a few samples.
        updates = max(10.0, half_life / (self.nominal_period * 4))
        self._forget = 0.5 ** (1.0 / updates)
        self._started = False
        self._n0 = 0.0
        self._t0 = 0.0
        # The line in nominal sample periods relative to the first point:
        # (t - t0) / nominal_period = a + b * (n - n0), with b close to 1. In
        # these units the arrival jitter is of order 1, which is the noise
        # the recursive fit below assumes.
        self._a = 0.0
        self._b = 1.0
        # Covariance of (a, b): a free offset, a slope within a percent of nominal.
        self._p00 = 1e4
        self._p01 = 0.0
        self._p11 = 1e-4
        self._deviation = 1.0  # robust spread of the arrivals around the line, in periods
        self.updates = 0

    def update(self, n: int, arrival: float) -> None:
        """Adds the arrival time of the notification whose last sample is number `n`."""
        if not self._started:
            self._started = True
            self._n0 = float(n)
            self._t0 = arrival
            self.updates = 1
            return
        x = float(n) - self._n0
        y = (arrival - self._t0) / self.nominal_period
        residual = y - (self._a + self._b * x)
        weight = 1.0
        limit = self.LATE_LIMIT * max(self._deviation, 0.05)
        if self.updates > 20 and residual > limit:
            ratio = limit / residual
            weight = ratio * ratio
        elif self.updates <= 20 and residual > 0:
            # While the line is young, a later arrival than it says is mostly
            # jitter: the line follows the earliest arrivals, so the first
            # times never jump ahead.
            weight = 1e-6
        # Recursive least squares with forgetting on the regressor (1, x).
        lam = self._forget
        p0 = self._p00 + self._p01 * x
        p1 = self._p01 + self._p11 * x
        denominator = lam / weight + p0 + p1 * x
        k0 = p0 / denominator
        k1 = p1 / denominator
        self._a += k0 * residual
        self._b += k1 * residual
        self._p00 = (self._p00 - k0 * p0) / lam
        self._p01 = (self._p01 - k0 * p1) / lam
        self._p11 = (self._p11 - k1 * p1) / lam
        # Outliers widen the spread only slowly, so a burst of late
        # notifications cannot make itself look normal.
        self._deviation += (min(abs(residual), 1.5 * self._deviation + 0.01) - self._deviation) * 0.02
        self.updates += 1

    def restart(self) -> None:
        """Forgets the offset but keeps the fitted period: the next update anchors the line anew.

        For a stream that paused (the amplifier stopped sampling while out of
        range): its sample numbers continue but its clock jumped.
        """
        self._started = False
        self.updates = 0
        self._a = 0.0
        self._p00 = 1e4
        self._p01 = 0.0

    def anchor(self, n: int, time: float) -> None:
        """Starts a new line through (`n`, `time`) with the fitted period: for a
        stream whose sample numbers went on while its clock jumped."""
        self.restart()
        self._started = True
        self._n0 = float(n)
        self._t0 = time
        self._a = 0.0
        self.updates = 1

    def time_of(self, n: int) -> float:
        """The fitted time of sample number `n` (the first arrival before any fit)."""
        if not self._started:
            return math.nan
        return self._t0 + (self._a + self._b * (float(n) - self._n0)) * self.nominal_period

    @property
    def deviation(self) -> float:
        """The robust spread of the arrivals around the line, in nominal periods."""
        return self._deviation

    @property
    def period(self) -> float:
        """The fitted sample period in host seconds."""
        return self._b * self.nominal_period
