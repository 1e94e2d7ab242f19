#!/usr/bin/env python3
"""End-to-end benchmarks of libtavoble against the simulated amplifier.

Four clients receive the default amplifier's data notifications through
tavoble-sim's private BlueZ bus:
  floor    a bare sdbus-c++ subscriber (e2e/floor_client.cpp)
  c        libtavoble's C callback (e2e/c_client.c)
  wrapper  TavoBLEWrapper's Python callback (e2e/wrapper_client.py)
  bleak    Debian's python3-bleak with a numpy decoder (e2e/bleak_client.py)
The simulator stamps each notification when it sends it and each client
stamps each scan as its callback starts, both on CLOCK_MONOTONIC, so the
latency is exact per scan. Every figure is compared with the floor measured
in the same run.

    python3 bench/e2e.py --build BUILD [--quick] [--json OUT] [--markdown BENCHMARKS.md]

Measures: latency at 250, 2,000 and 20,000 notifications/s; the highest
sustained lossless rate; CPU per 1,000 notifications at 2,000/s; the time of
TAVOBLE_OpenDevice split into search, connect and configuration (from the bus
traffic that dbus-monitor records); allocations per notification by origin
(an interposed malloc) and resident memory over a long stream.
"""
import argparse
import bisect
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"
BASE_RATE = 125.0  # notifications/s of the default amplifier at rate 1.0
FRAMES = 2
CLIENTS = ["floor", "c", "wrapper", "bleak"]
NAMES = {
    "floor": "floor: sdbus-c++ subscriber",
    "floor-socket": "floor: acquired socket (AcquireNotify)",
    "c-bus": "libtavoble C callback, StartNotify (bus) path",
    "amplifier": "tavo_ble.Amplifier, read in chunks",
    "c": "libtavoble C callback",
    "wrapper": "TavoBLEWrapper Python callback",
    "bleak": "Bleak + numpy decoder",
}
# Streams at a rate other than the default amplifier's 250 scans/s come from an
# amplifier that sends faster than its stated rate; with this set, from one
# that states the rate it sends at.
NOMINAL_RATE = False
# Sustained means: every notification arrived, no filler scan, the simulator
# kept the rate, and the client kept pace (no growing backlog at the end).
BACKLOG_LIMIT_MS = 20.0
SEND_RATE_SHARE = 0.97


def log(*args):
    print(*args, file=sys.stderr, flush=True)


class Bench:
    def __init__(self, build, quick, tmp):
        self.build = os.path.abspath(build)
        self.quick = quick
        self.tmp = tmp
        self.bin = os.path.join(self.build, "bin")
        self.sim = os.path.join(self.bin, "tavoble-sim")
        self.library = os.path.join(self.build, "lib", "libtavoble.so")
        self.alloc = os.path.join(self.build, "lib", "libtavobench_alloc.so")
        self.pythonpath = self._python_package()
        self.counter = 0

    def _python_package(self):
        # The wrapper loads the library from its own package tree: give it a
        # private copy of the package with this build's library in it.
        dest = os.path.join(self.tmp, "py")
        shutil.copytree(os.path.join(ROOT, "src", "tavo_ble"), os.path.join(dest, "tavo_ble"),
                        ignore=shutil.ignore_patterns("__pycache__", "native", "tests"))
        native = os.path.join(dest, "tavo_ble", "lib", "native", "linux", "x64")
        os.makedirs(native)
        shutil.copy(self.library, native)
        helper = os.path.join(os.path.dirname(self.library), "libtavo_ble_scans.so")
        if os.path.exists(helper):
            shutil.copy(helper, native)
        return dest

    def path(self, name):
        self.counter += 1
        return os.path.join(self.tmp, "%03d-%s" % (self.counter, name))

    def command(self, kind):
        return {
            "floor": [os.path.join(self.bin, "e2e_floor_client")],
            "floor-socket": [os.path.join(self.bin, "e2e_floor_client"), "--acquire"],
            "c": [os.path.join(self.bin, "e2e_c_client")],
            "c-bus": [os.path.join(self.bin, "e2e_c_client")],
            "amplifier": [PYTHON, os.path.join(HERE, "e2e", "amplifier_client.py")],
            "wrapper": [PYTHON, os.path.join(HERE, "e2e", "wrapper_client.py")],
            "bleak": [PYTHON, os.path.join(HERE, "e2e", "bleak_client.py")],
        }[kind]


class Simulator:
    """tavoble-sim on a private bus for one trial."""

    def __init__(self, bench, rate=None, seconds=0.0, acquire=True):
        self.bench = bench
        # Without AcquireNotify (a BlueZ that lacks it), clients take the bus path.
        self.sim_env = None if acquire else dict(os.environ, TAVOBLE_SIM_NO_ACQUIRE_NOTIFY="1")
        amplifier = {}
        if rate is not None:
            # Keep every send time of the trial, also of a client that lags
            # far behind and so stops late.
            amplifier = {"rate": rate / BASE_RATE,
                         "sentDataCapacity": max(262144, int(rate * (seconds + 30)))}
            if NOMINAL_RATE and rate * FRAMES <= 65535:
                # The amplifier says the rate it sends at (what tavo_ble.Amplifier's
                # sample clock expects) instead of sending faster than it says.
                amplifier["samplingRate"] = int(rate * FRAMES)
                amplifier["rate"] = 1.0
        self.scenario = bench.path("scenario.json")
        with open(self.scenario, "w") as f:
            json.dump({"amplifiers": [amplifier]} if amplifier else {}, f)

    def __enter__(self):
        self.process = subprocess.Popen([self.bench.sim, "run", "--scenario", self.scenario],
                                        stdout=subprocess.PIPE, text=True, env=self.sim_env)
        self.address = self.process.stdout.readline().strip()
        if not self.address:
            raise RuntimeError("tavoble-sim did not start")
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address,
                        PYTHONPATH=self.bench.pythonpath, PYTHONDONTWRITEBYTECODE="1")
        return self

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def client(self, kind, args, timeout, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        try:
            p = subprocess.run(self.bench.command(kind) + [str(a) for a in args], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               timeout=timeout)
        except subprocess.TimeoutExpired:
            raise RuntimeError("%s client did not finish within %d s" % (kind, timeout))
        lines = [line for line in p.stdout.splitlines() if line.startswith("{")]
        if p.returncode != 0 or not lines:
            raise RuntimeError("%s client failed (%d): %s" % (kind, p.returncode,
                                                              p.stderr.strip()[-2000:]))
        return json.loads(lines[-1])

    def sent_times(self, first, count):
        out = self.bench.path("sent.bin")
        p = subprocess.run([os.path.join(self.bench.bin, "e2e_sent_times"), str(first),
                            str(count), out], env=self.env, stderr=subprocess.PIPE, text=True,
                           timeout=120)
        if p.returncode != 0:
            raise RuntimeError(p.stderr.strip())
        return np.fromfile(out, dtype="<u8")


# ---- streaming trials ----

def stream(bench, kind, rate, seconds, warmup):
    """One client streams at `rate` notifications/s; latency and loss per scan."""
    capacity = int(rate * seconds * FRAMES * 1.5) + 20000
    out = bench.path(kind + ".log")
    with Simulator(bench, rate, seconds, acquire=not kind.endswith("-bus")) as sim:
        result = sim.client(kind, ["--seconds", seconds, "--warmup", warmup, "--out", out,
                                   "--capacity", capacity], timeout=seconds + 120)
        entries = np.fromfile(out, dtype="<u8").reshape(-1, 2)
        if len(entries) == 0:
            raise RuntimeError(kind + " received nothing")
        index, t = entries[:, 0], entries[:, 1]
        first, last = int(index.min()), int(index.max())
        sent = sim.sent_times(first, last - first + 1)
    if len(sent) != last - first + 1:
        raise RuntimeError("the simulator's sent data do not cover the run")
    latency_us = (t.astype(np.int64) - sent[index - first].astype(np.int64)) / 1000.0
    steady = index >= first + warmup
    if np.count_nonzero(steady) < 10:
        steady = np.ones_like(steady)
    lat = latency_us[steady]
    tail = lat[int(len(lat) * 0.9):]
    missing = (last - first + 1) - len(np.unique(index))
    span = (sent[-1] - sent[0]) / 1e9
    send_rate = (len(sent) - 1) / span if span > 0 else 0.0
    received_rate = (len(np.unique(index)) - 1) / ((t.max() - t.min()) / 1e9) if len(t) > 1 else 0.0
    r = {
        "client": kind, "rate": rate, "seconds": seconds,
        "notifications": last - first + 1, "items": int(len(index)),
        "missing": int(missing), "fillers": int(result["fillers"]),
        "median_us": float(np.median(lat)), "p99_us": float(np.percentile(lat, 99)),
        "max_us": float(lat.max()), "tail_median_ms": float(np.median(tail)) / 1000.0,
        "send_rate": send_rate, "received_rate": received_rate,
        "cpu_ms_per_1000": (result["cpu_ns"] / result["cpu_notifications"] / 1000.0
                            if result["cpu_notifications"] else None),
    }
    r["latencies_us"] = lat
    r["cpu_ns"], r["cpu_notifications"] = result["cpu_ns"], result["cpu_notifications"]
    r["kept_rate"] = send_rate >= SEND_RATE_SHARE * rate
    r["kept_pace"] = r["tail_median_ms"] <= BACKLOG_LIMIT_MS
    r["lossless"] = r["missing"] == 0 and r["fillers"] == 0
    r["sustained"] = r["lossless"] and r["kept_rate"] and r["kept_pace"]
    log("  %-7s %6d/s: median %8.1f us  p99 %9.1f us  tail %7.1f ms  sent %7.0f/s  "
        "missing %d fillers %d  cpu %s ms/1000  %s" % (
            kind, rate, r["median_us"], r["p99_us"], r["tail_median_ms"], send_rate,
            r["missing"], r["fillers"],
            "%.1f" % r["cpu_ms_per_1000"] if r["cpu_ms_per_1000"] is not None else "-",
            "sustained" if r["sustained"] else "NOT sustained"))
    return r


def pool(trials):
    """One figure from repeated trials: the scans of all of them together."""
    lat = np.concatenate([t["latencies_us"] for t in trials])
    cpu_n = sum(t["cpu_notifications"] for t in trials)
    worst = max(trials, key=lambda t: t["tail_median_ms"])
    return {
        "rate": trials[0]["rate"], "trials": len(trials),
        "trial_medians_us": [t["median_us"] for t in trials],
        "median_us": float(np.median(lat)), "p99_us": float(np.percentile(lat, 99)),
        "max_us": float(lat.max()),
        "cpu_ms_per_1000": sum(t["cpu_ns"] for t in trials) / cpu_n / 1000.0 if cpu_n else None,
        "sustained": all(t["sustained"] for t in trials),
        "missing": sum(t["missing"] for t in trials),
        "fillers": sum(t["fillers"] for t in trials),
        "tail_median_ms": worst["tail_median_ms"], "received_rate": worst["received_rate"],
        "send_rate": min(t["send_rate"] for t in trials),
    }


def latency(bench, plan):
    """Every client at every rate, `repeats` times for `seconds` each, the
    clients taking turns so that the machine's mood falls on all alike."""
    trials = {}
    for rate, repeats, seconds in plan:
        for _ in range(repeats):
            for kind in CLIENTS:
                try:
                    r = stream(bench, kind, rate, seconds, warmup=max(100, int(rate * 0.3)))
                except RuntimeError as e:  # one more try, then give up the run
                    log("  %s at %d/s failed (%s); once more" % (kind, rate, e))
                    r = stream(bench, kind, rate, seconds, warmup=max(100, int(rate * 0.3)))
                trials.setdefault(kind, {}).setdefault(rate, []).append(r)
    return {kind: {rate: pool(ts) for rate, ts in by_rate.items()}
            for kind, by_rate in trials.items()}


def round_rate(rate):
    digits = int(math.floor(math.log10(rate))) - 1
    return int(round(rate / 10 ** digits) * 10 ** digits)


LADDER = [1000, 1250, 1600, 2000, 2500, 3200, 4000, 5000, 6300, 8000, 10000, 12500, 16000,
          20000, 25000, 32000, 40000, 50000, 63000, 80000, 100000]


def lossless_rates(bench, seconds, quick, refine):
    """Walks each client up a ladder of rates (1.25x apart, 1.6x quick) from
    its start until a trial fails twice in a row, or down from the start
    until one passes, then halves the gap between the last rate passed and the
    first failed `refine` times (geometrically), so that a 90 % goal can be
    judged. The clients take turns, one trial each per round."""
    ladder = LADDER[::2] if quick else LADDER
    starts = {"floor": 8000, "c": 8000, "wrapper": 8000, "bleak": 4000}  # others: 8000
    state = {}
    for kind in CLIENTS:
        pos = min(range(len(ladder)), key=lambda i: abs(ladder[i] - starts.get(kind, 8000)))
        state[kind] = {"pos": pos, "lossless": None, "failed_at": None, "done": False,
                       "refine": refine, "simulator_bound": False, "trials": []}

    def attempt(kind, rate):
        st = state[kind]
        bound = 0
        for _ in range(2):
            try:
                r = stream(bench, kind, rate, seconds, warmup=max(100, int(rate * 0.3)))
            except RuntimeError as e:
                log("  %s at %d/s failed: %s" % (kind, rate, e))
                r = {"rate": rate, "sustained": False, "kept_rate": True, "error": str(e)}
            r.pop("latencies_us", None)
            st["trials"].append(r)
            if r["sustained"]:
                return True
            bound += 0 if r["kept_rate"] else 1
        # The simulator itself could not send that fast, both times.
        st["simulator_bound"] = bound == 2
        return False

    def bracketed(st):
        return st["lossless"] is not None and st["failed_at"] is not None

    while not all(st["done"] for st in state.values()):
        for kind in CLIENTS:
            st = state[kind]
            if st["done"]:
                continue
            if bracketed(st):
                # Refining: the geometric middle of the gap, rounded.
                rate = round_rate(math.sqrt(st["lossless"] * st["failed_at"]))
                if not st["lossless"] < rate < st["failed_at"]:
                    st["done"] = True
                    continue
                if attempt(kind, rate):
                    st["lossless"] = rate
                else:
                    st["failed_at"] = rate
                st["refine"] -= 1
                st["done"] = st["refine"] <= 0
                continue
            rate = ladder[st["pos"]]
            if attempt(kind, rate):
                st["lossless"] = rate
                st["pos"] += 1
                if st["pos"] >= len(ladder):
                    st["done"] = True
            else:
                st["failed_at"] = rate
                st["pos"] -= 1
                if st["pos"] < 0:
                    st["done"] = True
            if bracketed(st) and st["refine"] <= 0:
                st["done"] = True
    for st in state.values():
        st["lossless"] = st["lossless"] or 0
        del st["pos"], st["done"], st["refine"]
    return state


# ---- open time ----

MONITOR_LINE = re.compile(r"^(method call|signal|method return|error) time=(\d+\.\d+) (.*)$")


def open_once(bench, mode):
    with Simulator(bench) as sim:
        trace = bench.path("monitor-%s.txt" % mode)
        with open(trace, "w") as f:
            monitor = subprocess.Popen(["dbus-monitor", "--address", sim.address, "--monitor"],
                                       stdout=f, stderr=subprocess.DEVNULL)
            try:
                time.sleep(0.3)  # the monitor is in place
                result = sim.client("c", ["--open", mode], timeout=60)
                time.sleep(0.1)
            finally:
                monitor.terminate()
                monitor.wait()
    t0 = result["t0_realtime_ns"] / 1e9
    t1 = result["t1_realtime_ns"] / 1e9
    connect = read = None
    with open(trace) as f:
        for line in f:
            m = MONITOR_LINE.match(line)
            if not m or m.group(1) != "method call":
                continue
            when, rest = float(m.group(2)), m.group(3)
            if when < t0 or when > t1:
                continue
            if connect is None and "interface=org.bluez.Device1; member=Connect" in rest:
                connect = when
            elif connect is not None and read is None and "member=ReadValue" in rest:
                read = when
    if connect is None or read is None:
        raise RuntimeError("no Connect or ReadValue in the bus trace of the open")
    return {"search_ms": (connect - t0) * 1e3, "connect_ms": (read - connect) * 1e3,
            "configuration_ms": (t1 - read) * 1e3, "total_ms": (t1 - t0) * 1e3}


def open_times(bench, repeats):
    out = {}
    for mode in ("scan", "noscan"):
        runs = [open_once(bench, mode) for _ in range(repeats)]
        out[mode] = {k: float(np.median([r[k] for r in runs])) for k in runs[0]}
        out[mode]["runs"] = runs
        log("  open (%s): %s" % (mode, ", ".join("%s %.1f" % (k, v) for k, v in out[mode].items()
                                                 if k != "runs")))
    return out


# ---- memory ----

class Symbols:
    """Function names of a module's symbol table, by offset (nm)."""

    def __init__(self):
        self.cache = {}

    def name(self, module, offset):
        if module not in self.cache:
            table = []
            try:
                text = subprocess.run(["nm", "-C", "--defined-only", module], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True).stdout
                for line in text.splitlines():
                    parts = line.split(" ", 2)
                    if len(parts) == 3 and parts[1] in "tTwWiu":
                        table.append((int(parts[0], 16), parts[2]))
            except OSError:
                pass
            table.sort()
            self.cache[module] = ([a for a, _n in table], [n for _a, n in table])
        addresses, names = self.cache[module]
        i = bisect.bisect_right(addresses, offset) - 1
        return names[i] if i >= 0 else "?"


RUNTIME = ("libc.so", "libstdc++", "libgcc_s", "ld-linux", "libtavobench_alloc", "libm.so",
           "libpython", "libffi")


def origin(frames, symbols):
    """Which code asked for an allocation: the innermost frame that is not the
    C or C++ runtime (nor a standard-library template emitted into a module)."""
    for module, offset in frames:
        base = os.path.basename(module)
        if any(base.startswith(r) for r in RUNTIME):
            continue
        if base.startswith("libtavoble"):
            name = symbols.name(module, offset)
            if name.startswith("Tavo::BLE::") or name.startswith("TAVOBLE_"):
                return "libtavoble", name
            if name.startswith("SimpleBLE::"):
                return "BLE central", name
            continue  # std:: code instantiated for one of them: look further out
        if base.startswith("libsdbus-c++"):
            return "sdbus-c++", base
        if base.startswith("libsystemd"):
            return "sd-bus", base
        return "client", base
    return "runtime", ""


def allocations(bench, kind, rate, count, window):
    dump = bench.path(kind + "-alloc.txt")
    with Simulator(bench, rate) as sim:
        result = sim.client(kind, ["--notifications", count, "--alloc-window",
                                   "%d:%d" % window], timeout=count / rate + 120,
                            extra_env={"LD_PRELOAD": bench.alloc, "TAVOBENCH_ALLOC_OUT": dump})
    n = result["alloc_notifications"]
    symbols = Symbols()
    by_origin, stacks = {}, {}
    with open(dump) as f:
        for line in f:
            if line.startswith("#"):
                continue
            parts = line.split()
            frames = []
            for frame in parts[1:]:
                module, _, offset = frame.rpartition("+0x")
                frames.append((module, int(offset, 16)))
            where, name = origin(frames, symbols)
            by_origin[where] = by_origin.get(where, 0) + int(parts[0])
            if where in ("libtavoble", "BLE central"):
                key = (where, name)
                stacks[key] = stacks.get(key, 0) + int(parts[0])
    per = {k: v / n for k, v in by_origin.items()}
    top = sorted(((v / n, w, name) for (w, name), v in stacks.items()), reverse=True)[:6]
    log("  allocations of %s per notification over %d: %s" % (
        kind, n, ", ".join("%s %.3f" % kv for kv in sorted(per.items()))))
    for v, w, name in top:
        log("    %.3f  %s  %s" % (v, w, name[:140]))
    return {"notifications": n, "per_notification": per,
            "top": [{"per_notification": v, "origin": w, "function": name} for v, w, name in top]}


def resident(bench, kind, rate, count):
    with Simulator(bench, rate) as sim:
        result = sim.client(kind, ["--notifications", count, "--rss-every-ms", 500, "--warmup",
                                   1000], timeout=count / rate * 3 + 120)
    samples = result["rss"]
    base_at = max(count // 20, 1000)
    base = next((kib for n, kib in samples if n >= base_at), samples[0][1])
    after = [kib for n, kib in samples if n >= base_at]
    r = {"client": kind, "rate": rate, "notifications": result["notifications"],
         "baseline_at": base_at, "baseline_kib": base, "end_kib": samples[-1][1],
         "max_kib": max(after) if after else base, "growth_kib": samples[-1][1] - base}
    log("  rss %s: %d notifications at %d/s, %d KiB after %d, %d KiB at the end, max %d" % (
        kind, r["notifications"], rate, base, base_at, r["end_kib"], r["max_kib"]))
    return r


# ---- the decode micro-benchmark (protocol_bench) ----

def decode_benchmark(bench, quick):
    program = os.path.join(bench.bin, "protocol_bench")
    out = bench.path("decode.json")
    args = [program, "--benchmark_format=json", "--benchmark_out=" + out,
            "--benchmark_out_format=json", "--benchmark_report_aggregates_only=true",
            "--benchmark_repetitions=%d" % (2 if quick else 5)]
    if quick:
        args.append("--benchmark_min_time=0.05")
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, timeout=600)
    with open(out) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]  # BM_X/channels/frames
        base, channels, frames = name.split("/")
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}.get(b.get("time_unit", "ns"), 1.0)
        ns = b["cpu_time"] * scale
        rows["%s/%s/%s" % (base, channels, frames)] = {"ns": ns, "scans_per_s": b.get("scans/s")}
    return rows


# ---- Markdown ----

def fmt_us(us):
    if us >= 10000:
        return "%.0f ms" % (us / 1000)
    if us >= 1000:
        return "%.1f ms" % (us / 1000)
    return "%.0f µs" % us


def ratio(x, floor):
    return "%.2f×" % (x / floor) if floor else "–"


def met(flag):
    return "**met**" if flag else "**not met**"


def md_latency(res, rates):
    lines = ["| Client | " + " | ".join("%s/s median | p99" % f"{r:,}" for r in rates) +
             " | median ÷ floor |",
             "|---|" + "---:|---:|" * len(rates) + "---|"]
    for kind in CLIENTS:
        cells = []
        ratios = []
        for rate in rates:
            r = res[kind][rate]
            mark = "" if r["sustained"] else " †"
            cells.append(fmt_us(r["median_us"]) + mark)
            cells.append(fmt_us(r["p99_us"]) + mark)
            ratios.append(ratio(r["median_us"], res["floor"][rate]["median_us"])
                          if r["sustained"] else "–")
        lines.append("| %s | %s | %s |" % (NAMES[kind], " | ".join(cells), " / ".join(ratios)))
    behind = [(kind, rate) for kind in CLIENTS for rate in rates if not res[kind][rate]["sustained"]]
    if behind:
        lines.append("")
        lines.append("† not sustained at that rate: " + "; ".join(
            "%s at %s/s received %s/s, %s missing, backlog %s at the end" % (
                NAMES[k], f"{r:,}", f"{res[k][r]['received_rate']:,.0f}", res[k][r]["missing"],
                fmt_us(res[k][r]["tail_median_ms"] * 1000)) for k, r in behind) + ".")
    return lines


def md_rates(rates, lat, cpu_rate):
    lines = ["| Client | lossless notifications/s | scans/s | ÷ floor | first failing rate | "
             "CPU per 1,000 notifications at %s/s | ÷ floor |" % f"{cpu_rate:,}",
             "|---|---:|---:|---:|---:|---:|---:|"]
    floor_rate = rates["floor"]["lossless"]
    floor_cpu = lat["floor"][cpu_rate]["cpu_ms_per_1000"]
    for kind in CLIENTS:
        r = rates[kind]
        cpu = lat[kind][cpu_rate]["cpu_ms_per_1000"]
        failed = "–" if r["failed_at"] is None else f"{r['failed_at']:,}" + (
            " (simulator)" if r["simulator_bound"] else "")
        lines.append("| %s | %s | %s | %s | %s | %.1f ms | %s |" % (
            NAMES[kind], f"{r['lossless']:,}", f"{r['lossless'] * FRAMES:,}",
            ratio(r["lossless"], floor_rate), failed, cpu, ratio(cpu, floor_cpu)))
    return lines


def md_open(opens, repeats):
    lines = ["| Case | search | connect | configuration | total |",
             "|---|---:|---:|---:|---:|"]
    for mode, label in (("scan", "scan already running, amplifier listed"),
                        ("noscan", "no scan running")):
        o = opens[mode]
        lines.append("| %s | %.0f ms | %.0f ms | %.0f ms | %.0f ms |" % (
            label, o["search_ms"], o["connect_ms"], o["configuration_ms"], o["total_ms"]))
    lines.append("")
    lines.append("Medians of %d opens each, every one against a freshly started simulator." % repeats)
    return lines


def md_memory(allocs, rss):
    origins = ["libtavoble", "BLE central", "sdbus-c++", "sd-bus", "client", "runtime"]
    lines = ["| Client | notifications counted | " + " | ".join(origins) + " | total |",
             "|---|---:|" + "---:|" * (len(origins) + 1)]
    for kind, a in allocs.items():
        per = a["per_notification"]
        lines.append("| %s | %s | %s | %.2f |" % (
            NAMES[kind], f"{a['notifications']:,}",
            " | ".join("%.2f" % per.get(o, 0.0) for o in origins), sum(per.values())))
    top = [t for a in allocs.values() for t in a["top"]]
    if top:
        lines.append("")
        lines.append("Where the library's process allocates per notification (per notification, "
                     "innermost function of ours):")
        lines.append("")
        for t in allocs.get("c", {"top": []})["top"]:
            lines.append("- %.2f in %s: `%s`" % (t["per_notification"], t["origin"],
                                                  t["function"][:160]))
    lines.append("")
    lines.append("| Client | notifications | rate | RSS after %s | RSS at the end | growth | "
                 "largest RSS after warm-up |" % "warm-up")
    lines.append("|---|---:|---:|---:|---:|---:|---:|")
    for r in rss:
        lines.append("| %s | %s | %s/s | %s KiB | %s KiB | %+d KiB | %s KiB |" % (
            NAMES[r["client"]], f"{r['notifications']:,}", f"{r['rate']:,}",
            f"{r['baseline_kib']:,}", f"{r['end_kib']:,}", r["growth_kib"], f"{r['max_kib']:,}"))
    return lines


def latency_goal(lat, kind, rates, limit):
    """Met at a rate when the client sustains it and its median is within
    `limit` times the floor's; the trial medians show how noisy that was."""
    parts, met_at, missed_at = [], [], []
    for rate in rates:
        r, f = lat[kind][rate], lat["floor"][rate]
        label = "%s/s" % f"{rate:,}"
        if not r["sustained"]:
            parts.append("%s: not sustained, the latency is its backlog" % label)
            missed_at.append(label)
            continue
        spread = ""
        if len(r["trial_medians_us"]) > 1:
            spread = " (trial medians %s against the floor's %s)" % (
                "–".join(fmt_us(x) for x in (min(r["trial_medians_us"]),
                                              max(r["trial_medians_us"]))),
                "–".join(fmt_us(x) for x in (min(f["trial_medians_us"]),
                                              max(f["trial_medians_us"]))))
        x = r["median_us"] / f["median_us"]
        (met_at if x <= limit else missed_at).append(label)
        parts.append("%s: %.2f×%s" % (label, x, spread))
    if not missed_at:
        verdict = "**met** at every rate"
    elif not met_at:
        verdict = "**not met** at any rate"
    else:
        verdict = "**met** at %s, **not met** at %s" % (" and ".join(met_at),
                                                         " and ".join(missed_at))
    return verdict, "; ".join(parts)


def md_goals(lat, rates, allocs, rss, cpu_rate, lat_rates):
    lines = []
    verdict, text = latency_goal(lat, "c", lat_rates, 1.2)
    lines.append("- libtavoble's C callback median within 1.2× the floor's: %s (%s)." % (
        verdict, text))
    verdict, text = latency_goal(lat, "wrapper", lat_rates, 2.0)
    lines.append("- TavoBLEWrapper's Python callback median within 2× the floor's: %s (%s)." % (
        verdict, text))
    share = rates["c"]["lossless"] / rates["floor"]["lossless"] if rates["floor"]["lossless"] else 0
    verdict = met(share >= 0.9)
    bound = [NAMES[k] for k in ("floor", "c") if rates[k]["simulator_bound"]]
    note = ""
    if share < 0.9 and rates["c"]["simulator_bound"]:
        # The rate at which libtavoble failed was one the machine could not
        # even send: that trial says nothing about the library.
        verdict = "**not judged in this run**"
    if bound:
        note = "; the simulator itself fell short of the rate in the failed trials of %s, so " \
               "that ceiling is the machine's" % " and ".join(bound)
    lines.append("- libtavoble's lossless rate at least 90 %% of the floor's: %s (%.0f %%: %s/s "
                 "against %s/s%s)." % (verdict, 100 * share, f"{rates['c']['lossless']:,}",
                                       f"{rates['floor']['lossless']:,}", note))
    w_scans = rates["wrapper"]["lossless"] * FRAMES
    lines.append("- TavoBLEWrapper lossless at 2,500 scans/s or more: %s (%s scans/s)." % (
        met(w_scans >= 2500), f"{w_scans:,}"))
    w_cpu = lat["wrapper"][cpu_rate]["cpu_ms_per_1000"]
    b_cpu = lat["bleak"][cpu_rate]["cpu_ms_per_1000"]
    ahead_rate = rates["wrapper"]["lossless"] > rates["bleak"]["lossless"]
    lines.append("- TavoBLEWrapper ahead of Bleak on lossless rate: %s (%s/s against %s/s); on CPU "
                 "per notification: %s (%.1f ms against %.1f ms per 1,000)." % (
                     met(ahead_rate), f"{rates['wrapper']['lossless']:,}",
                     f"{rates['bleak']['lossless']:,}", met(w_cpu < b_cpu), w_cpu, b_cpu))
    lib = allocs.get("c", {}).get("per_notification", {}).get("libtavoble", 0.0)
    lines.append("- No allocation per notification in the library: %s (%.3f per notification in "
                 "libtavoble's own code)." % (met(lib < 0.001), lib))
    c_rss = next((r for r in rss if r["client"] == "c"), None)
    if c_rss:
        lines.append("- Resident memory flat over %s notifications (growth under 1 MiB): %s "
                     "(%+d KiB)." % (f"{c_rss['notifications']:,}",
                                     met(c_rss["growth_kib"] < 1024), c_rss["growth_kib"]))
    return lines


def md_decode(rows):
    layouts = [(8, 2, "8 ch × 2 frames"), (62, 1, "62 ch × 1 frame")]
    labels = {"BM_CopyPayload": "`BM_CopyPayload` (baseline: memcpy of the payload)",
              "BM_DecodeOnly": "`BM_DecodeOnly` (baseline: `DecodePayload` alone)",
              "BM_DecodeAndAssemble": "`BM_DecodeAndAssemble` (`OnData`)"}
    lines = ["| Benchmark | Layout | ns per notification | scans/s | × payload copy | "
             "× decode alone |",
             "|---|---|---:|---:|---:|---:|"]
    for channels, frames, layout in layouts:
        def get(base):
            return rows.get("%s/%d/%d" % (base, channels, frames))

        copy = (get("BM_CopyPayload") or {}).get("ns")
        decode = (get("BM_DecodeOnly") or {}).get("ns")
        for base in ("BM_CopyPayload", "BM_DecodeOnly", "BM_DecodeAndAssemble"):
            row = get(base)
            if row is None:
                continue
            label = labels[base] if channels == 8 else "`%s`" % base
            per_s = row["scans_per_s"] or 1e9 / row["ns"] * frames
            x_copy = "%.1f" % (row["ns"] / copy) if copy else ""
            x_decode = "%.1f" % (row["ns"] / decode) if decode and base != "BM_CopyPayload" else ""
            lines.append("| %s | %s | %.1f | %.0f M | %s | %s |" % (
                label, layout, row["ns"], per_s / 1e6, x_copy, x_decode))
    return lines


def replace_block(text, name, lines):
    begin, end = "<!-- %s:begin -->" % name, "<!-- %s:end -->" % name
    if begin not in text or end not in text:
        log("BENCHMARKS.md has no %s markers; block not written" % name)
        return text
    head, rest = text.split(begin, 1)
    _old, tail = rest.split(end, 1)
    return head + begin + "\n" + "\n".join(lines) + "\n" + end + tail


def write_markdown(path, results):
    with open(path) as f:
        text = f.read()
    s = results["settings"]
    lat_rates = s["latency_rates"]
    run = ["Measured %s, %s mode, load average %.1f before the run, build `%s`." % (
        results["date"], "quick" if s["quick"] else "full", s["load"], s["build_type"])]
    text = replace_block(text, "e2e-run", run)
    text = replace_block(text, "e2e-latency", md_latency(results["latency"], lat_rates))
    text = replace_block(text, "e2e-rate", md_rates(results["lossless"], results["latency"],
                                                    s["cpu_rate"]))
    text = replace_block(text, "e2e-open", md_open(results["open"], s["open_repeats"]))
    text = replace_block(text, "e2e-memory", md_memory(results["allocations"], results["rss"]))
    text = replace_block(text, "e2e-goals", md_goals(results["latency"], results["lossless"],
                                                     results["allocations"], results["rss"],
                                                     s["cpu_rate"], lat_rates))
    if results.get("decode"):
        text = replace_block(text, "decode-table", md_decode(results["decode"]))
    with open(path, "w") as f:
        f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", help="the build folder with bin/ and lib/ (needed to measure)")
    p.add_argument("--quick", action="store_true", help="shorter runs, fewer repetitions")
    p.add_argument("--json", help="write every measurement here")
    p.add_argument("--markdown", help="rewrite the tables of this BENCHMARKS.md")
    p.add_argument("--skip-decode", action="store_true")
    p.add_argument("--keep", action="store_true", help="keep the logs in a temporary folder")
    p.add_argument("--from-json", help="only rewrite the tables from an earlier run's JSON")
    a = p.parse_args()
    if a.from_json:
        with open(a.from_json) as f:
            results = json.load(f)
        # JSON keys are strings; the rates are numbers.
        results["latency"] = {k: {int(r): v for r, v in by_rate.items()}
                              for k, by_rate in results["latency"].items()}
        write_markdown(a.markdown, results)
        return 0
    if not a.build:
        p.error("--build is needed to measure")

    quick = a.quick
    lat_rates = [250, 2000, 20000]
    cpu_rate = 2000
    settings = {
        "quick": quick, "latency_rates": lat_rates, "cpu_rate": cpu_rate,
        # (rate, trials, seconds): more, shorter trials where the load's noise
        # outweighs the sampling error.
        "latency_plan": [(250, 1, 2.0), (2000, 1, 2.0), (20000, 1, 2.0)] if quick else
                        [(250, 5, 2.0), (2000, 5, 2.0), (20000, 3, 3.0)],
        "search_seconds": 1.5 if quick else 3.0, "refine": 1 if quick else 2,
        "open_repeats": 3 if quick else 7,
        "rss_notifications": 200000 if quick else 1000000,
        "load": os.getloadavg()[0],
        "build_type": "Release",
    }
    tmp = tempfile.mkdtemp(prefix="tavoble-e2e-")
    started = time.time()
    try:
        bench = Bench(a.build, quick, tmp)
        results = {"date": time.strftime("%Y-%m-%d %H:%M"), "settings": settings}
        if not a.skip_decode:
            log("decode micro-benchmark")
            results["decode"] = decode_benchmark(bench, quick)
        log("latency")
        results["latency"] = latency(bench, settings["latency_plan"])
        log("highest sustained lossless rate")
        results["lossless"] = lossless_rates(bench, settings["search_seconds"], quick,
                                             settings["refine"])
        log("open time")
        results["open"] = open_times(bench, settings["open_repeats"])
        log("allocations per notification")
        results["allocations"] = {kind: allocations(bench, kind, 2000, 7000, (1000, 6000))
                                  for kind in ("floor", "c")}
        log("resident memory")
        rss_rate = min(20000, round_rate(max(1250, 0.8 * results["lossless"]["c"]["lossless"])))
        results["rss"] = [resident(bench, kind, rss_rate, settings["rss_notifications"])
                          for kind in ("c", "floor")]
        results["seconds"] = time.time() - started
        log("done in %.0f s" % results["seconds"])
        if a.json:
            with open(a.json, "w") as f:
                json.dump(results, f, indent=1, default=lambda o: repr(o))
        if a.markdown:
            write_markdown(a.markdown, results)
        for line in md_goals(results["latency"], results["lossless"], results["allocations"],
                             results["rss"], cpu_rate, lat_rates):
            print(line)
    except BaseException:
        # What was measured before the failure is still worth keeping.
        if a.json and "results" in locals():
            with open(a.json, "w") as f:
                json.dump(results, f, indent=1, default=lambda o: repr(o))
            log("partial results in " + a.json)
        raise
    finally:
        if a.keep:
            log("logs kept in " + tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
