"""The fault table through TavoBLEWrapper: every fault the simulator's scenario
can express, with the outcome the wrapper must show (a ValueError with the
library's text, or a stream whose measured scans equal what was sent).

The table (libtavoble/tests/robustness/faults.json) is shared with the C++
fault matrix. The last-error text is one per process, so the rows of a group
are shared out to worker processes (faults_worker.py), each
opening its rows one after the other; rows that search or connect for
seconds get a worker each. Workers report what they saw, keep their
amplifiers open until the links have been checked, then close them.
"""
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile
import threading

import numpy as np
import pytest

from .faults_worker import PROPERTIES, observe
from .simulation import REPO, Simulator, find_executable, python_env, wait_until

TABLE = os.path.join(REPO, "libtavoble", "tests", "robustness", "faults.json")
FAST_WORKERS = 4
DEFAULT_SCALE = np.float32(0.02235174)
COUNTER = 5
ENOUGH = 10


# ---- the table ----

def merge(base, overlay):
    if not isinstance(base, dict) or not isinstance(overlay, dict):
        return overlay
    out = dict(base)
    for key, value in overlay.items():
        out[key] = merge(out[key], value) if key in out else value
    return out


def to_bytes(value):
    """Bytes as the scenario files write them."""
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, list):
        return bytes(value)
    if "hex" in value:
        return bytes.fromhex(value["hex"])
    return (value["repeat"] * value["count"]).encode("utf-8")


def load_table():
    with open(TABLE, encoding="utf-8") as f:
        table = json.load(f)
    rows = []
    for index, r in enumerate(table["rows"]):
        name = "UX-%04d.00.01" % (index + 1)
        amplifier = merge(table["base"], r.get("amplifier", {}))
        amplifier.setdefault("name", name)
        rows.append({
            "index": index, "id": r["id"], "group": r.get("group", "amplifiers"),
            "slow": r.get("slow", ""), "name": r.get("openName", name), "amplifier": amplifier,
            "scenario": merge(table.get("scenario", {}), r.get("scenario", {})),
            "expect": r["expect"],
        })
    return rows


ROWS = load_table()


# ---- what a stream must look like ----

class Layout:
    """What the amplifier declares, with the simulator's defaults."""

    def __init__(self, amplifier):
        channels = amplifier.get("channels", 8)
        if isinstance(channels, int):
            self.channels = [(i, COUNTER if i == channels else 1,
                              np.float32(1.0) if i == channels else DEFAULT_SCALE)
                             for i in range(1, channels + 1)]
        else:
            self.channels = []
            for i, c in enumerate(channels):
                kind = c.get("type", 1)
                scale = np.float32(c["scale"]) if "scale" in c else (
                    np.float32(1.0) if kind == COUNTER else DEFAULT_SCALE)
                self.channels.append((c.get("number", i + 1), kind, scale))
        self.channels.sort()
        frames = amplifier.get("scansPerNotification", 2)
        if "payloadLayout" in amplifier:
            self.samples = [tuple(p) for p in amplifier["payloadLayout"]]
        else:
            self.samples = [(c[0], f) for f in range(frames) for c in self.channels]
        self.frames = max(f for _, f in self.samples) + 1
        self.payload_size = 3 * len(self.samples) + amplifier.get("payloadPadding", 0)
        self.width = len(self.channels) + 2


def expected_scans(layout, payloads):
    """The channel columns of the scans the notifications stand for."""
    n = len(layout.channels)
    current = np.zeros((layout.frames, n), dtype=np.float32)
    scans = []
    for payload in payloads:
        if len(payload) != layout.payload_size:
            continue
        last = [0] * n
        for i, (channel, frame) in enumerate(layout.samples):
            raw = int.from_bytes(payload[3 * i:3 * i + 3], "big", signed=True)
            current[frame, channel - 1] = np.float32(raw) * layout.channels[channel - 1][2]
            last[channel - 1] = max(last[channel - 1], frame + 1)
        for column in range(n):
            for frame in range(last[column], layout.frames):
                if last[column] > 0:
                    current[frame, column] = current[last[column] - 1, column]
        # Numbered in place, as the library does: a cell no sample fills
        # keeps what it held, numbered.
        for column in range(n):
            if layout.channels[column][1] == COUNTER:
                for frame in range(layout.frames):
                    current[frame, column] = (np.float32(layout.frames) * (current[frame, column] - np.float32(1.0))
                                              + np.float32(frame) + np.float32(1.0))
        scans.extend(current[frame].copy() for frame in range(layout.frames))
    return scans


def same(a, b):
    return np.array_equal(a, b, equal_nan=True)


def summarise(layout, battery, scans, sent, offered):
    n = len(layout.channels)
    expected = expected_scans(layout, sent)
    counters = [c for c in range(n) if layout.channels[c][1] == COUNTER]
    counter = counters[-1] if counters else None
    s = {"valid": 0, "fillers": 0, "mismatched": 0, "badSize": 0, "breaks": 0, "backwards": 0,
         "badFillers": 0, "badBattery": 0, "expectedValid": len(expected), "sent": len(sent),
         "offered": offered, "counted": counter is not None}
    last = np.zeros(layout.width, dtype=np.float32)
    previous = None
    for scan in scans:
        if scan.dtype != np.float32 or len(scan) != layout.width or scan[n + 1] not in (0.0, 1.0):
            s["badSize"] += 1
            continue
        if counter is not None:
            number = scan[counter]
            if previous is not None and number != previous + np.float32(1.0):
                s["breaks"] += 1
                s["backwards"] += int(number < previous)
            previous = number
        if scan[n + 1] == 0.0:
            s["fillers"] += 1
            keep = [c for c in range(n + 1) if c != counter]
            if not same(scan[keep], last[keep]):
                s["badFillers"] += 1
        else:
            if s["valid"] >= len(expected) or not same(scan[:n], expected[s["valid"]]):
                s["mismatched"] += 1
            if scan[n] != battery:
                s["badBattery"] += 1
            s["valid"] += 1
        last = scan
    return s


def check_stream(kind, s):
    wrong = []
    # Whatever the fault, a scan marked valid carries what the amplifier sent.
    for key, text in (("mismatched", "valid scans that differ from what was sent"),
                      ("badSize", "scans of the wrong size"), ("badBattery", "a wrong battery column"),
                      ("badFillers", "fillers that do not repeat the last scan")):
        if s[key]:
            wrong.append(text)
    if kind == "none":
        if s["valid"] + s["fillers"]:
            wrong.append("scans delivered")
        if s["offered"] < ENOUGH:
            wrong.append("too few notifications sent")
        return wrong
    if s["valid"] < ENOUGH:
        wrong.append("too few valid scans")
    if (s["fillers"] == 0) if kind == "fillers" else (s["fillers"] != 0):
        wrong.append("no filler scans" if kind == "fillers" else "filler scans")
    if kind in ("exact", "fillers", "stops"):
        if not s["counted"]:
            wrong.append("no counter channel")
        if s["breaks"]:
            wrong.append("sample numbers with gaps")
    elif kind == "restarts":
        if not s["backwards"]:
            wrong.append("sample numbers never start again")
    elif kind == "uncounted":
        if s["counted"]:
            wrong.append("a counter channel")
    else:
        wrong.append("unknown stream kind " + kind)
    if kind == "stops" and s["valid"] != s["expectedValid"]:
        wrong.append("not every scan sent before the link ended arrived")
    return wrong


# ---- test side ----

def compare(row, alternative, o, summary):
    why = []

    def result(want, got, what):
        if got is None:
            why.append(what + " not tried")
            return
        if want["code"] == 0:
            if got["error"] is not None:
                why.append("%s raised ValueError(%r)" % (what, got["error"]))
        elif got["error"] is None:
            why.append(what + " succeeded")
        elif "text" in want and got["error"] != want["text"]:
            why.append("%s raised ValueError(%r)" % (what, got["error"]))
        if "sameHandle" in want and got.get("sameHandle") != want["sameHandle"]:
            why.append(what + (" gave a new handle" if want["sameHandle"] else " gave the same handle"))

    result(alternative, o, "open")
    final = o
    want_stream = alternative.get("stream")
    if "retry" in alternative:
        result(alternative["retry"], o.get("retry"), "second open")
        final = o.get("retry") or o
        want_stream = alternative["retry"].get("stream")
    if "secondOpen" in alternative:
        result(alternative["secondOpen"], o.get("secondOpen"), "second open")
    python = alternative.get("python", {})
    for field, value in alternative.get("info", {}).items():
        prop = PROPERTIES[field]
        got = o.get("info", {}).get(field)
        if prop in python:
            # An exception's name, or the text (as UTF-8 bytes) the property gives instead.
            want = "raises " + python[prop] if isinstance(python[prop], str) else to_bytes(python[prop]).hex()
        elif isinstance(value, int):
            want = value
        else:
            want = to_bytes(value).hex()
        if got != want:
            why.append("%s is %r" % (prop, got))
    if want_stream is not None:
        if final.get("error") is not None or not o.get("streamed"):
            why.append("no stream")
        else:
            if o.get("started") is not True or o.get("stopped") is not True:
                why.append("start() gave %r, stop() %r" % (o.get("started"), o.get("stopped")))
            if o.get("dtypes") not in ([], ["float32"]):
                why.append("arrays of %s" % o.get("dtypes"))
            problems = check_stream(want_stream, summary)
            if problems:
                why.append("stream: %s %s" % ("; ".join(problems), summary))
    return why


def bits_to_scans(bits):
    return [np.array(b, dtype=np.uint32).view(np.float32) for b in bits]


def connected(sim):
    """Names of the amplifiers that are connected now, in one call."""
    objects = sim.call("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")
    names = set()
    for interfaces in objects.values():
        device = interfaces.get("org.bluez.Device1")
        if device and device.get("Connected", {}).get("data") and "Name" in device:
            names.add(device["Name"]["data"])
    return names


def sent_by(sim, name):
    """The notifications the amplifier sent, and how many it meant to send."""
    counters = sim.counters(name)
    return [payload for _, payload in sim.sent_data(name)], counters["data"] + counters["dropped"]


def run_group(group):
    rows = [r for r in ROWS if r["group"] == group]
    scenario = dict(rows[0]["scenario"])
    scenario["amplifiers"] = [r["amplifier"] for r in rows]
    # Slow rows each in a worker of their own: the finaliser of a wrapper
    # whose open failed closes handle 0, and that failure replaces the
    # process's last-error text, which a thread failing at the same moment
    # would then read as its own.
    fast = [[] for _ in range(FAST_WORKERS)]
    for i, row in enumerate(r for r in rows if not r["slow"]):
        fast[i % FAST_WORKERS].append(row)
    shares = [[r] for r in rows if r["slow"]] + [f for f in fast if f]

    results = {}
    # Groups run side by side, so none of them may take over this process's environment.
    with Simulator(scenario=scenario, executable=find_executable(), set_environment=False) as sim, \
            tempfile.TemporaryDirectory(prefix="tavoble-faults-") as folder:
        env = python_env()
        env["DBUS_SYSTEM_BUS_ADDRESS"] = sim.address
        workers = []
        for w, share in enumerate(shares):
            rows_file = os.path.join(folder, "rows%d.json" % w)
            report = os.path.join(folder, "report%d.json" % w)
            with open(rows_file, "w", encoding="utf-8") as f:
                json.dump({"rows": share}, f)
            process = subprocess.Popen(
                [sys.executable, "-m", "tavo_ble.tests.faults_worker", rows_file, report],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
            workers.append((process, report))
        observe(group, "workers started")
        observed, failed = {}, set()
        for process, report in workers:
            line = process.stdout.readline()
            if line.strip() == "ready":
                with open(report, encoding="utf-8") as f:
                    for o in json.load(f):
                        observed[o["row"]] = o
        observe(group, "workers reported")
        streamed = [r for r in rows if observed.get(r["index"], {}).get("streamed")]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            sent = dict(zip((r["id"] for r in streamed), pool.map(lambda r: sent_by(sim, r["name"]), streamed)))
        observe(group, "sent data fetched")
        for row in rows:
            o = observed.get(row["index"])
            if o is None:
                results[row["id"]] = ["not run (its worker ended early)"]
                continue
            summary = None
            if o.get("streamed"):
                battery = row["amplifier"].get("battery", {}).get("level", 87)
                for alternative in row["expect"]:
                    battery = alternative.get("battery", battery)
                summary = summarise(Layout(row["amplifier"]), battery, bits_to_scans(o["scans"]),
                                    *sent[row["id"]])
            reasons = []
            for alternative in row["expect"]:
                why = compare(row, alternative, o, summary)
                if not why:
                    reasons = []
                    break
                reasons.append("; ".join(why))
            final = o.get("retry") or o
            if final.get("error") is not None and isinstance(row["amplifier"].get("name"), str):
                failed.add(row["name"])
            results[row["id"]] = reasons
            observe(row["id"], {k: v for k, v in o.items() if k != "scans"}, summary or "", reasons or "")
        # A failed open leaves nothing connected.
        wait_until(lambda: not (failed & connected(sim)), timeout=5)
        still = failed & connected(sim)
        for row in rows:
            if row["name"] in still:
                results[row["id"]].append("still connected after the failed open")
        observe(group, "rows checked")
        for process, _ in workers:
            try:
                process.stdin.write("go\n")
                process.stdin.flush()
            except BrokenPipeError:
                pass
        for process, _ in workers:
            try:
                status = process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                status = "hung while closing"
            if status != 0:
                for row in rows:
                    results[row["id"]] = results.get(row["id"], []) + ["a worker ended with %s" % status]
        observe(group, "workers ended")
        wait_until(lambda: not connected(sim), timeout=5)
        still = connected(sim)
        for row in rows:
            if row["name"] in still:
                results[row["id"]].append("still connected after the wrapper was finalised")
    return results


_results = {}


def run_all_groups():
    """Every group at once, each on its own simulator: the slowest rows
    search for 10 s, and the rest should not wait for them."""
    groups = sorted({r["group"] for r in ROWS})

    def run(group):
        try:
            _results.update(run_group(group))
        except Exception as error:  # reported on every row of the group
            _results.update({r["id"]: ["%s: %r" % (group, error)] for r in ROWS if r["group"] == group})

    threads = [threading.Thread(target=run, args=(g,)) for g in groups]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@pytest.mark.parametrize("row", ROWS, ids=[r["id"] for r in ROWS])
def test_fault(row):
    if not _results:
        run_all_groups()
    reasons = _results.get(row["id"], ["not run"])
    assert not reasons, " | or: ".join(reasons)
