#!/usr/bin/env python3
"""The cost of the way scans reach the data callback, against a baseline build.

Runs the floor and the C client of bench/e2e.py with this build's library and
with a baseline build's (for example main at `git merge-base`), the three
taking turns in one run, and prints the median latency, p99 and CPU per 1,000
notifications of each, pooled over the trials, as a Markdown table.

    python3 bench/handoff.py --build BUILD --baseline BASELINE_BUILD [--trials 5] [--seconds 2]

Both builds need the e2e_bench target (Release, -DTAVOBLE_BUILD_BENCH=ON).
"""
import argparse
import shutil
import sys
import tempfile

import e2e


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--baseline", required=True)
    p.add_argument("--trials", type=int, default=5)
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--rates", default="250,2000")
    a = p.parse_args()
    rates = [int(r) for r in a.rates.split(",")]
    tmp = tempfile.mkdtemp(prefix="tavoble-handoff-")
    try:
        builds = {"now": e2e.Bench(a.build, False, tmp + "/now"),
                  "baseline": e2e.Bench(a.baseline, False, tmp + "/baseline")}
        runs = [("floor", "now"), ("c", "baseline"), ("c", "now")]
        trials = {}
        for rate in rates:
            for _ in range(a.trials):
                for kind, build in runs:
                    r = e2e.stream(builds[build], kind, rate, a.seconds,
                                   warmup=max(100, int(rate * 0.3)))
                    trials.setdefault((kind, build, rate), []).append(r)
        pooled = {key: e2e.pool(ts) for key, ts in trials.items()}
        print("| Client | Rate | median | p99 | CPU ms per 1,000 notifications | median ÷ floor |"
              " median ÷ baseline | CPU ÷ baseline |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for rate in rates:
            floor = pooled[("floor", "now", rate)]
            base = pooled[("c", "baseline", rate)]
            for kind, build in runs:
                r = pooled[(kind, build, rate)]
                name = "floor" if kind == "floor" else "C callback, " + (
                    "this build" if build == "now" else "baseline")
                print("| %s | %s/s | %s | %s | %.2f | %s | %s | %s |" % (
                    name, f"{rate:,}", e2e.fmt_us(r["median_us"]), e2e.fmt_us(r["p99_us"]),
                    r["cpu_ms_per_1000"] or 0.0, e2e.ratio(r["median_us"], floor["median_us"]),
                    e2e.ratio(r["median_us"], base["median_us"]) if kind == "c" else "",
                    e2e.ratio(r["cpu_ms_per_1000"], base["cpu_ms_per_1000"]) if kind == "c" else ""))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
