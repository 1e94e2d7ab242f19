#!/usr/bin/env python3
"""Notifications past the bus daemon, and Python at C speed, in one run.

Runs the clients of bench/e2e.py against each other, taking turns:

  floor          the sdbus-c++ subscriber (StartNotify: PropertiesChanged via dbus-daemon)
  floor-socket   the same reading the socket AcquireNotify hands out
  c-bus          libtavoble's C callback on a simulator without AcquireNotify
  c              libtavoble's C callback (AcquireNotify when offered)
  amplifier      tavo_ble.Amplifier read in chunks (at the scan rate asked for)

then several amplifiers in one process (C interface against AmplifierGroup),
and the highest lossless rate of the floors and the C callback on each path.
Prints Markdown tables, and with --markdown rewrites the block between
<!-- acquire:begin --> and <!-- acquire:end --> in that file.

    python3 bench/acquire.py --build build-bench [--trials 3] [--seconds 2] [--quick]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import e2e

HERE = os.path.dirname(os.path.abspath(__file__))
KINDS = ["floor", "floor-socket", "c-bus", "c", "amplifier"]


def many(bench, amplifiers, seconds):
    """CPU of `amplifiers` amplifiers at 250 scans/s through C and through Python."""
    serials = ["UX-%04d.00.01" % (i + 1) for i in range(amplifiers)]
    scenario = bench.path("many.json")
    with open(scenario, "w") as f:
        json.dump({"amplifiers": [{"name": s} for s in serials]}, f)
    out = {}
    for kind, command in (("c", [os.path.join(bench.bin, "e2e_many_c_client")]),
                          ("amplifier", [e2e.PYTHON, os.path.join(HERE, "e2e", "many_amplifier_client.py")])):
        process = subprocess.Popen([bench.sim, "run", "--scenario", scenario], stdout=subprocess.PIPE, text=True)
        try:
            address = process.stdout.readline().strip()
            env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address, PYTHONPATH=bench.pythonpath,
                       PYTHONDONTWRITEBYTECODE="1")
            p = subprocess.run(command + [str(seconds)] + serials, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, timeout=seconds + 120)
            if p.returncode != 0:
                raise RuntimeError("%s: %s" % (kind, p.stderr[-2000:]))
            out[kind] = json.loads(p.stdout.strip().splitlines()[-1])
        finally:
            process.terminate()
            process.wait(timeout=15)
        e2e.log("  %d amplifiers, %s: %.1f %% of a core, %d scans" % (
            amplifiers, kind, 100.0 * out[kind]["cpu_ns"] / out[kind]["wall_ns"], out[kind]["scans"]))
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--trials", type=int, default=3)
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--rates", default="1000,2000", help="notifications/s (2 scans each)")
    p.add_argument("--amplifiers", type=int, default=8)
    p.add_argument("--quick", action="store_true", help="a coarser ladder for the lossless rates")
    p.add_argument("--skip-lossless", action="store_true")
    p.add_argument("--markdown")
    a = p.parse_args()
    rates = [int(r) for r in a.rates.split(",")]
    tmp = tempfile.mkdtemp(prefix="tavoble-acquire-")
    load = os.getloadavg()[0]
    try:
        bench = e2e.Bench(a.build, a.quick, tmp)
        e2e.NOMINAL_RATE = True  # Amplifier's sample clock needs the true rate
        trials = {}
        for rate in rates:
            for _ in range(a.trials):
                for kind in KINDS:
                    r = e2e.stream(bench, kind, rate, a.seconds, warmup=max(100, int(rate * 0.3)))
                    trials.setdefault((kind, rate), []).append(r)
        pooled = {key: e2e.pool(ts) for key, ts in trials.items()}
        group = many(bench, a.amplifiers, max(a.seconds, 5.0))
        lossless = None
        e2e.NOMINAL_RATE = False  # beyond a 16-bit sampling rate
        if not a.skip_lossless:
            e2e.CLIENTS = ["floor", "floor-socket", "c-bus", "c"]
            lossless = e2e.lossless_rates(bench, 1.5 if a.quick else 3.0, a.quick, 1)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    lines = ["Measured %s, load average %.1f before the run, %d trials of %g s per client and rate, "
             "clients taking turns." % (time.strftime("%Y-%m-%d %H:%M"), load, a.trials, a.seconds), "",
             "| Client | notifications/s | median | p99 | CPU per 1,000 notifications | median ÷ D-Bus floor "
             "| CPU ÷ D-Bus floor | CPU ÷ C callback (same path) |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for rate in rates:
        floor = pooled[("floor", rate)]
        c = pooled[("c", rate)]
        for kind in KINDS:
            r = pooled[(kind, rate)]
            lines.append("| %s | %s | %s | %s | %.1f ms | %s | %s | %s |" % (
                e2e.NAMES[kind], f"{rate:,}", e2e.fmt_us(r["median_us"]), e2e.fmt_us(r["p99_us"]),
                r["cpu_ms_per_1000"] or 0.0, e2e.ratio(r["median_us"], floor["median_us"]),
                e2e.ratio(r["cpu_ms_per_1000"], floor["cpu_ms_per_1000"]),
                e2e.ratio(r["cpu_ms_per_1000"], c["cpu_ms_per_1000"]) if kind == "amplifier" else ""))
    c, py = group["c"], group["amplifier"]
    lines += ["", "| %d amplifiers at 250 scans/s, one process | CPU (share of one core) | µs per scan | ÷ C |"
              % a.amplifiers, "|---|---:|---:|---:|"]
    for name, r in (("C interface, one callback", c), ("AmplifierGroup, read every 50 ms", py)):
        per_scan = r["cpu_ns"] / max(r["scans"], 1) / 1000.0
        lines.append("| %s | %.1f %% | %.1f | %s |" % (
            name, 100.0 * r["cpu_ns"] / r["wall_ns"], per_scan,
            e2e.ratio(per_scan, c["cpu_ns"] / max(c["scans"], 1) / 1000.0)))
    if lossless:
        lines += ["", "| Client | lossless notifications/s | first failing rate | ÷ D-Bus floor |",
                  "|---|---:|---:|---:|"]
        for kind in e2e.CLIENTS:
            st = lossless[kind]
            lines.append("| %s | %s | %s | %s |" % (
                e2e.NAMES[kind], f"{st['lossless']:,}",
                f"{st['failed_at']:,}" + (" (simulator)" if st["simulator_bound"] else "")
                if st["failed_at"] else "–", e2e.ratio(st["lossless"], lossless["floor"]["lossless"])))
    print("\n".join(lines))
    if a.markdown:
        with open(a.markdown) as f:
            text = f.read()
        text = e2e.replace_block(text, "acquire", lines)
        with open(a.markdown, "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
