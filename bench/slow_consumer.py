#!/usr/bin/env python3
"""A data callback that takes 20 ms a scan at 250 scans/s, against a baseline build.

For each build, a fresh simulator streams the default amplifier (250 scans/s,
2 per notification) and bench/e2e/slow_client.c (this build's binary, with
each build's library through LD_LIBRARY_PATH) opens it through the C interface
with a callback that sleeps 20 ms a scan, for --seconds. Every
0.5 s the resident memory (VmRSS) of the client and of the simulator's private
dbus-daemon is read. Afterwards each scan's arrival is compared with the
simulator's send time of its notification. Prints a Markdown table.

    python3 bench/slow_consumer.py --build BUILD --baseline BASELINE_BUILD [--seconds 30]

Both builds need the e2e_bench target (Release, -DTAVOBLE_BUILD_BENCH=ON).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import e2e


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def bus_daemon(sim_pid):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/comm" % entry) as f:
                comm = f.read().strip()
        except OSError:
            continue
        if int(fields[1]) == sim_pid and comm == "dbus-daemon":
            return int(entry)
    raise RuntimeError("no dbus-daemon under the simulator")


def run(bench, client, seconds, callback_ms):
    out = bench.path("slow.log")
    with e2e.Simulator(bench, 125.0, seconds) as sim:
        daemon = bus_daemon(sim.process.pid)
        env = dict(sim.env, LD_LIBRARY_PATH=os.path.dirname(bench.library))
        p = subprocess.Popen([client, str(seconds), str(int(callback_ms)), out], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        series = []
        start = time.monotonic()
        while p.poll() is None:
            series.append((time.monotonic() - start, rss_kib(p.pid), rss_kib(daemon)))
            time.sleep(0.5)
        stdout, stderr = p.communicate()
        lines = [line for line in stdout.splitlines() if line.startswith("{")]
        if p.returncode != 0 or not lines:
            raise RuntimeError("slow client failed: " + stderr[-2000:])
        result = json.loads(lines[-1])
        notes = np.fromfile(out, dtype="<u8").reshape(-1, 3)
        number, valid, at = notes[:, 0], notes[:, 1], notes[:, 2]
        index = (number.astype(np.int64) - 1) // e2e.FRAMES
        sent = sim.sent_times(0, int(index.max()) + 1)
    age_s = (at.astype(np.int64) - sent[index].astype(np.int64)) / 1e9
    real = valid == 1
    # Memory from 2 s after the callback was set (the open takes about 0.5 s)
    # to the last sample before the client closed.
    steady = [s for s in series if s[0] >= 3.0 and s[1] is not None and s[2] is not None]
    result.update({
        "fillers": int(np.count_nonzero(~real)),
        "real": int(np.count_nonzero(real)),
        "oldest_real_s": float(age_s[real].max()) if real.any() else None,
        "last_age_s": float(age_s[-1]),
        "gaps": int(np.count_nonzero(np.diff(number.astype(np.int64)) != 1)),
        "client_rss": (steady[0][1], steady[-1][1], max(s[1] for s in steady)),
        "daemon_rss": (steady[0][2], steady[-1][2], max(s[2] for s in steady)),
    })
    return result


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--baseline", required=True)
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--callback-ms", type=float, default=20.0)
    a = p.parse_args()
    tmp = tempfile.mkdtemp(prefix="tavoble-slow-")
    try:
        results = {}
        client = os.path.join(os.path.abspath(a.build), "bin", "e2e_slow_client")
        for name, build in (("baseline", a.baseline), ("this build", a.build)):
            results[name] = run(e2e.Bench(build, False, tmp + "/" + name.replace(" ", "-")),
                                client, a.seconds, a.callback_ms)
        print(json.dumps(results), file=sys.stderr)
        print("| Library | threads: before open / open / streaming | scans delivered | of them"
              " fillers | sample numbers in sequence | oldest real scan delivered | age of the"
              " last scan delivered | client RSS after 3 s → end (max) | dbus-daemon RSS after 3 s"
              " → end (max) | close |")
        print("|---|---|---:|---:|---|---:|---:|---:|---:|---:|")
        for name, r in results.items():
            t = r["threads"]
            print("| %s | %d / %d / %d | %d | %d | %s | %s | %.1f s | %s → %s KiB (%s) |"
                  " %s → %s KiB (%s) | %.0f ms |" % (
                      name, t["before_open"], t["after_open"], t["streaming"], r["scans"],
                      r["fillers"], "yes" if r["gaps"] == 0 else "no (%d gaps)" % r["gaps"],
                      "%.1f s" % r["oldest_real_s"] if r["oldest_real_s"] is not None else "",
                      r["last_age_s"], *("{:,}".format(v) for v in r["client_rss"]),
                      *("{:,}".format(v) for v in r["daemon_rss"]), r["close_ms"]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
