#!/usr/bin/env python3
"""The LSL bridge's cost: CPU per 1,000 scans and latency from the amplifier's send to an inlet's pull.

A simulated amplifier (8 channels, the 8th its packet counter, 2 scans per
notification) streams at 250 and at 2,000 scans/s. For each rate two child
processes run in turn, each for the same time:

  baseline  ``tavo_ble.Amplifier`` read every 20 ms, the bridge's own cadence,
            with nothing published: the read's return is the scan's "pull";
  bridge    ``tavo_ble.lsl.publish(amp)``, and a pylsl inlet in a third process
            pulling sample by sample: the pull's return is the scan's time.

Latency is the pull time minus the simulator's CLOCK_MONOTONIC send time of the
notification that carried the scan (``GetSentData``); CPU is the publishing
(or reading) process's user + system time while it streams, per 1,000 scans.
The first 2 s of every run are left out. liblsl and pylsl come from the shared
third-party folder (scripts/third-party-lsl.sh); every process that loads
liblsl runs with LSLAPICFG keeping LSL on the loopback interface.

    python3 bench/lsl_bridge.py --sim BUILD/bin/tavoble-sim [--seconds 20]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "src"))

FRAMES = 2
CHANNELS = 8
WARM_UP = 2.0
CADENCE = 0.02  # the baseline reads as often as the bridge pushes


def amplifier(name, rate):
    channels = [{"number": c, "type": 1, "scale": 0.0224,
                 "waveform": {"kind": "sine", "frequencyHz": 7 + c, "amplitude": 50, "noise": 2}}
                for c in range(1, CHANNELS)]
    channels.append({"number": CHANNELS, "type": 5, "scale": 1.0, "waveform": "counter"})
    return {"name": name, "samplingRate": rate, "scansPerNotification": FRAMES, "channels": channels,
            "payloadLayout": [[c, f] for f in range(FRAMES) for c in range(1, CHANNELS + 1)],
            "battery": {"level": 80, "drainIntervalMs": 0}}


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def child_read(args):
    import tavo_ble

    numbers, pulls = [], []
    with tavo_ble.Amplifier.open(args.serial, timeout=30) as amp:
        amp.start()
        cpu, begin = cpu_seconds(), time.monotonic()
        while time.monotonic() - begin < args.seconds:
            time.sleep(CADENCE)
            data, _ = amp.read()
            now = time.monotonic()
            numbers += data[:, CHANNELS - 1].tolist()
            pulls += [now] * len(data)
        cpu = cpu_seconds() - cpu
    return {"numbers": numbers, "pulls": pulls, "cpu": cpu}


def child_publish(args):
    import tavo_ble
    from tavo_ble import lsl

    with tavo_ble.Amplifier.open(args.serial, timeout=30) as amp:
        with lsl.publish(amp) as publication:
            publication.outlet.wait_for_consumers(30)
            cpu, pushed = cpu_seconds(), publication.outlet.pushed
            time.sleep(args.seconds)
            cpu, pushed = cpu_seconds() - cpu, publication.outlet.pushed - pushed
    return {"cpu": cpu, "scans": pushed}


def child_inlet(args):
    import pylsl

    found = pylsl.resolve_byprop("source_id", "tavoble-" + args.serial, 1, 60)
    inlet = pylsl.StreamInlet(found[0], max_buflen=60)
    inlet.open_stream(30)
    numbers, pulls = [], []
    end = time.monotonic() + args.seconds + 30
    while time.monotonic() < end:
        sample, _ = inlet.pull_sample(timeout=5.0)
        if sample is None:
            if numbers:
                break  # the stream ended
            continue
        pulls.append(time.monotonic())
        numbers.append(sample[CHANNELS - 1])
    return {"numbers": numbers, "pulls": pulls}


def latency_ms(result, sent, first_pull):
    lat = []
    for number, pull in zip(result["numbers"], result["pulls"]):
        counter = (int(number) - 1) // FRAMES + 1
        if pull - first_pull > WARM_UP and counter in sent:
            lat.append((pull - sent[counter]) * 1000)
    return np.array(lat)


def run_child(kind, serial, seconds, env, out):
    return subprocess.Popen([sys.executable, __file__, "--child", kind, "--serial", serial,
                             "--seconds", str(seconds), "--out", out], env=env)


def measure(sim, env, rate, seconds, tmp):
    rows = {}
    for kind in ("baseline", "bridge"):
        name = "UX-%04d.00.0%d" % (rate % 10000, 1 if kind == "baseline" else 2)
        sim.add_amplifier(amplifier(name, rate))
        outs = {k: os.path.join(tmp, "%s-%s-%d.json" % (k, kind, rate)) for k in ("main", "inlet")}
        if kind == "baseline":
            procs = [run_child("read", name, seconds, env, outs["main"])]
        else:
            procs = [run_child("inlet", name, seconds, env, outs["inlet"]),
                     run_child("publish", name, seconds, env, outs["main"])]
        for proc in procs:
            if proc.wait(timeout=seconds + 180) != 0:
                raise SystemExit("a %s child failed" % kind)
        main = json.load(open(outs["main"]))
        sent = {}
        for ns, payload in sim.sent_data(name):
            index = CHANNELS - 1  # the counter of frame 0
            sent[(payload[3 * index] << 16) | (payload[3 * index + 1] << 8) | payload[3 * index + 2]] = ns / 1e9
        pulled = main if kind == "baseline" else json.load(open(outs["inlet"]))
        scans = len(main["numbers"]) if kind == "baseline" else main["scans"]
        lat = latency_ms(pulled, sent, pulled["pulls"][0])
        rows[kind] = {"cpu_ms_per_1000": 1e6 * main["cpu"] / max(scans, 1),
                      "scans": scans, "latency": lat}
        sim.remove_amplifier(name)
    return rows


def describe(rate, rows):
    lines = []
    base = rows["baseline"]
    for kind in ("baseline", "bridge"):
        row = rows[kind]
        lat = row["latency"]
        lines.append("| %d scans/s | %s | %d | %.1f | %.2f | %.1f | %.1f | %.1f | %.2f |" % (
            rate, kind, row["scans"], row["cpu_ms_per_1000"], row["cpu_ms_per_1000"] / base["cpu_ms_per_1000"],
            np.median(lat), np.percentile(lat, 90), np.percentile(lat, 99),
            np.median(lat) / np.median(base["latency"])))
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--child", choices=["read", "publish", "inlet"])
    parser.add_argument("--serial")
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.child:
        result = {"read": child_read, "publish": child_publish, "inlet": child_inlet}[args.child](args)
        with open(args.out, "w") as f:
            json.dump(result, f)
        return
    # The package loads libtavoble as it is imported: this build's.
    build = os.path.dirname(os.path.dirname(os.path.abspath(args.sim)))
    os.environ.setdefault("TAVOBLE_LIBRARY", os.path.join(build, "lib", "libtavoble.so"))
    from tavo_ble.tests import lsl_env
    from tavo_ble.tests.simulation import Simulator

    lsl_env.environment()  # LSLAPICFG (loopback only), PYLSL_LIB and pylsl's path, for the children too
    load_before = os.getloadavg()[0]
    sim = Simulator(executable=args.sim).start()  # its bus address too
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(ROOT, "src"), env.get("PYTHONPATH", "")])
    try:
        with tempfile.TemporaryDirectory() as tmp:
            lines = []
            for rate in (250, 2000):
                lines += describe(rate, measure(sim, env, rate, args.seconds, tmp))
    finally:
        sim.stop()
    print("load average (1 min) before/after: %.1f / %.1f on %d cores, %g s per run"
          % (load_before, os.getloadavg()[0], os.cpu_count() or 0, args.seconds))
    print("| rate | process | scans | CPU ms per 1,000 scans | × baseline | latency median ms | p90 | p99 "
          "| median × baseline |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for line in lines:
        print(line)


if __name__ == "__main__":
    main()
