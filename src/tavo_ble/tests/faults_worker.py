"""One worker of the fault-table test (test_faults.py): opens the rows'
amplifiers through TavoBLEWrapper one after the other, streams them, writes
what it saw to a report, prints "ready", waits for a line on standard input,
then finalises its wrappers, which closes the amplifiers.

    python3 -m tavo_ble.tests.faults_worker ROWS.json REPORT.json

Kept apart from the test module so that starting a worker costs little.
"""
import gc
import json
import os
import sys
import time

import numpy as np

# Device-information fields and the wrapper's properties that show them.
PROPERTIES = {
    "modelNumber": "model_number", "serialNumber": "serial_number",
    "firmwareRevision": "firmware_version", "hardwareRevision": "hardware_version",
    "manufacturerName": "manufacturer_name", "numberOfAcquiredChannels": "no_of_acquired_channels",
    "samplingRate": "sampling_rate",
}


def observe(*what):
    """With TAVOBLE_FAULTS_OBSERVE set, tells what happened when."""
    if os.environ.get("TAVOBLE_FAULTS_OBSERVE"):
        print("%7.2f" % time.monotonic(), *what, file=sys.stderr, flush=True)


def wants(row, key):
    return any(key in alternative for alternative in row["expect"])


def open_once(row, wrappers, should_open):
    """An open that should succeed is tried once more when its configuration
    records did not all arrive within the amplifier's 500 ms: on a loaded
    machine that can happen to any open."""
    from tavo_ble.lib.tavo_ble_wrapper import TavoBLEWrapper
    result = {}
    for _ in range(2):
        try:
            device = TavoBLEWrapper(row["name"])
        except ValueError as error:
            result["error"] = str(error)
            if should_open and result["error"].startswith("Could not read "):
                result["triedAgainAfter"] = result["error"]
                continue
            return result, None
        wrappers.append(device)
        result.update({"error": None, "handle": device.handle})
        return result, device
    return result, None


def run_row(row, wrappers, scans):
    opens = any(a["code"] == 0 for a in row["expect"])
    reopens = any(a.get("retry", {}).get("code") == 0 for a in row["expect"])
    observed, device = open_once(row, wrappers, opens)
    if device is None and wants(row, "retry"):
        observed["retry"], device = open_once(row, wrappers, reopens)
    if device is None:
        return observed, None
    info = {}
    for field, prop in PROPERTIES.items():
        try:
            value = getattr(device, prop)
            info[field] = value if isinstance(value, int) else value.encode("utf-8").hex()
        except Exception as error:  # what the property raises is the outcome
            info[field] = "raises " + type(error).__name__
    observed["info"] = info
    if wants(row, "secondOpen"):
        second, other = open_once(row, wrappers, True)
        if other is not None:
            second["sameHandle"] = other.handle == device.handle
        observed["secondOpen"] = second
    if not wants(row, "stream") and not wants(row, "retry"):
        device = None
    elif any(a.get("stream") == "stops" for a in row["expect"]):
        # At once, before the amplifier drops the link. The others stream
        # together at the end: every worker receives every notification of
        # the bus, as BlueZ clients do.
        start_stream(observed, device, scans)
    return observed, device


def start_stream(observed, device, scans):
    device.set_data_callback(scans.append)
    try:
        device.start()
        observed["started"] = True
    except ValueError as error:
        observed["started"] = str(error)


def worker(rows_file, report_file):
    with open(rows_file, encoding="utf-8") as f:
        job = json.load(f)
    rows = job["rows"]
    wrappers = []
    observed = [None] * len(rows)
    devices = [None] * len(rows)

    scans = [[] for _ in rows]

    def one(i):
        observed[i], devices[i] = run_row(rows[i], wrappers, scans[i])
        observe(rows[i]["id"], "opened" if devices[i] is not None else observed[i].get("error"))

    observe("worker ready to open", [r["id"] for r in rows])
    for i in range(len(rows)):
        one(i)

    for i, device in enumerate(devices):
        if device is not None and "started" not in observed[i]:
            start_stream(observed[i], device, scans[i])
    # Every stream runs at least 1.5 s, and until those that should have
    # scans have enough.
    if any(d is not None for d in devices):
        start = time.monotonic()
        time.sleep(1.5)
        while time.monotonic() - start < 5 and any(
                d is not None and len(scans[i]) < 60
                and not any(a.get("stream") == "none" for a in rows[i]["expect"])
                for i, d in enumerate(devices)):
            time.sleep(0.1)
    for i, device in enumerate(devices):
        if device is not None:
            try:
                device.stop()
                observed[i]["stopped"] = True
            except ValueError as error:
                observed[i]["stopped"] = str(error)
    time.sleep(0.2)
    for i, o in enumerate(observed):
        o["row"] = rows[i]["index"]
        o["streamed"] = devices[i] is not None
        if devices[i] is not None:
            # Bit patterns keep NaN; the dtype is part of the outcome.
            o["dtypes"] = sorted({str(s.dtype) for s in scans[i]})
            o["scans"] = [np.asarray(s, dtype=np.float32).view(np.uint32).tolist() for s in scans[i]]
    with open(report_file, "w", encoding="utf-8") as f:
        json.dump(observed, f)
    print("ready", flush=True)
    sys.stdin.readline()
    # Finalising a wrapper closes its amplifier.
    del devices[:]
    del wrappers[:]
    # A wrapper sits in a cycle with its C callback: only the cycle
    # collector finalises it.
    gc.collect()
    return 0


if __name__ == "__main__":
    sys.exit(worker(sys.argv[1], sys.argv[2]))
