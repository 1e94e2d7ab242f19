#!/usr/bin/env python3
"""What keeping a dropped link costs and gains.

1. Reconnect time: from the amplifier connectable again to the first scan of
   the new link, several rounds of the end-to-end test that prints it
   (LinkLoss.CallsDuringAnOutageAndRecoveryWhenThePeerReturns), each a process
   of its own.
2. The steady stream of the C client (latency at 250 notifications/s, CPU per
   1,000 notifications at 2,000/s) of this build against a baseline build of
   the library without the link keeper, taking turns in the same run and
   against the same simulator.

    python3 bench/link_keeper.py --tests build --build build-bench \\
        --baseline /work/wt-baseline/build-bench [--rounds 5] [--reconnects 7]

--tests is a build with the end-to-end tests (bin/tavoble_e2e_test); --build
and --baseline are Release builds with -DTAVOBLE_BUILD_BENCH=ON.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

RECONNECT_TEST = "LinkLoss.CallsDuringAnOutageAndRecoveryWhenThePeerReturns"


def reconnect_times(tests_build, rounds):
    binary = os.path.join(os.path.abspath(tests_build), "bin", "tavoble_e2e_test")
    times = []
    for i in range(rounds):
        p = subprocess.run([binary, "--gtest_filter=" + RECONNECT_TEST], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=240)
        m = re.search(r"connectable again to first new scan: (\d+) ms", p.stdout)
        if p.returncode != 0 or not m:
            raise RuntimeError("round %d failed:\n%s" % (i + 1, p.stdout[-2000:]))
        times.append(int(m.group(1)))
        e2e.log("  reconnect round %d: %d ms" % (i + 1, times[-1]))
    return times


def steady_stream(build, baseline, rounds, seconds):
    with tempfile.TemporaryDirectory(prefix="tavoble-keeper-") as tmp:
        benches = {}
        for label, folder in (("baseline", baseline), ("current", build)):
            os.makedirs(os.path.join(tmp, label))
            bench = e2e.Bench(folder, quick=False, tmp=os.path.join(tmp, label))
            # One simulator for both: only the library differs.
            bench.sim = os.path.join(os.path.abspath(build), "bin", "tavoble-sim")
            benches[label] = bench
        trials = {label: {250: [], 2000: []} for label in benches}
        for i in range(rounds):
            for rate in (250, 2000):
                for label in ("baseline", "current") if i % 2 == 0 else ("current", "baseline"):
                    e2e.log("round %d, %s library:" % (i + 1, label))
                    trials[label][rate].append(
                        e2e.stream(benches[label], "c", rate, seconds,
                                   warmup=max(100, int(rate * 0.3))))
        return {label: {rate: e2e.pool(ts) for rate, ts in by_rate.items()}
                for label, by_rate in trials.items()}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--tests", required=True)
    p.add_argument("--build", required=True)
    p.add_argument("--baseline", required=True)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--reconnects", type=int, default=7)
    p.add_argument("--seconds", type=float, default=4.0)
    a = p.parse_args()

    times = reconnect_times(a.tests, a.reconnects)
    print("connectable again to first new scan: %s ms; median %.0f ms" % (
        ", ".join(str(t) for t in sorted(times)), float(np.median(times))))

    s = steady_stream(a.build, a.baseline, a.rounds, a.seconds)
    b, c = s["baseline"], s["current"]
    print("| measure | baseline | with the link keeper | ratio |")
    print("|---|---:|---:|---:|")
    for rate in (250, 2000):
        print("| C callback latency at %s/s, median | %.0f µs | %.0f µs | %.2f× |" % (
            f"{rate:,}", b[rate]["median_us"], c[rate]["median_us"],
            c[rate]["median_us"] / b[rate]["median_us"]))
        print("| C callback latency at %s/s, p99 | %.0f µs | %.0f µs | %.2f× |" % (
            f"{rate:,}", b[rate]["p99_us"], c[rate]["p99_us"],
            c[rate]["p99_us"] / b[rate]["p99_us"]))
    for rate in (250, 2000):
        bc, cc = b[rate]["cpu_ms_per_1000"], c[rate]["cpu_ms_per_1000"]
        print("| client CPU per 1,000 notifications at %s/s | %.1f ms | %.1f ms | %.2f× |" % (
            f"{rate:,}", bc, cc, cc / bc))
    for rate in (250, 2000):
        print("trial medians at %s/s: baseline %s µs; with the link keeper %s µs" % (
            f"{rate:,}", ", ".join("%.0f" % m for m in b[rate]["trial_medians_us"]),
            ", ".join("%.0f" % m for m in c[rate]["trial_medians_us"])))
    lost = sum(r["missing"] + r["fillers"] for by in s.values() for r in by.values())
    print("notifications missing or filled over all trials: %d" % lost)


if __name__ == "__main__":
    main()
