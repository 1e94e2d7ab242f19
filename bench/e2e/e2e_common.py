"""What the Python benchmark clients share with the C ones (e2e_util.h): the
command line, the receive log, the driver that watches a running stream, and
the one JSON line of results that bench/e2e.py reads.

A client records one (sample number, CLOCK_MONOTONIC ns) pair per scan into
lists sized before streaming starts; the log file holds (notification index,
ns) pairs as little-endian uint64, like the C clients'.
"""
import argparse
import json
import os
import resource
import sys
import time

import numpy as np

AMPLIFIER = "UX-0001.00.01"
FRAMES = 2  # scans per notification of the default amplifier


def parse(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=3.0)
    p.add_argument("--notifications", type=int, default=0)
    p.add_argument("--warmup", type=int, default=200)
    p.add_argument("--out")
    p.add_argument("--capacity", type=int, default=1 << 20)
    p.add_argument("--rss-every-ms", type=int, default=0)
    return p.parse_args(argv)


def cpu_ns():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return int((u.ru_utime + u.ru_stime) * 1e9)


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class Recorder:
    """The data callback's side: timestamp first, then note the scan."""

    def __init__(self, capacity, counter_column, valid_column):
        self.capacity = capacity
        self.times = [0] * capacity
        self.samples = [0.0] * capacity
        self.count = 0
        self.fillers = 0
        self.counter = counter_column
        self.valid = valid_column

    def make_callback(self):
        times, samples, capacity = self.times, self.samples, self.capacity
        counter, valid = self.counter, self.valid
        monotonic_ns = time.monotonic_ns

        def on_scan(scan):
            t = monotonic_ns()
            i = self.count
            if i < capacity:
                times[i] = t
                samples[i] = scan[counter]
            if scan[valid] == 0.0:
                self.fillers += 1
            self.count = i + 1

        return on_scan

    def received(self):
        return self.count // FRAMES

    def write(self, path):
        n = min(self.count, self.capacity)
        sample = np.array(self.samples[:n], dtype=np.float64).astype(np.uint64)
        log = np.empty((n, 2), dtype="<u8")
        log[:, 0] = (sample - 1) // FRAMES
        log[:, 1] = np.array(self.times[:n], dtype=np.uint64)
        log.tofile(path)

    def gaps(self):
        n = min(self.count, self.capacity)
        s = np.array(self.samples[:n], dtype=np.float64)
        return int(np.count_nonzero(np.diff(s) != 1.0)) if n > 1 else 0


class Driver:
    """Watches the stream from the main thread, as e2e_drive() does in C."""

    def __init__(self, options, received):
        self.o = options
        self.received = received
        self.start = time.monotonic_ns()
        self.first = 0
        self.cpu0 = None
        self.n0 = 0
        self.next_rss = 0
        self.result = {"ok": 0, "notifications": 0, "cpu_ns": 0, "cpu_notifications": 0,
                       "alloc_notifications": 0, "rss": []}

    def step(self):
        """Called every 10 ms; True when the run is over."""
        now = time.monotonic_ns()
        n = self.received()
        r = self.result
        if self.first == 0:
            if n == 0:
                return now - self.start > 15e9
            self.first = now
        if self.cpu0 is None and n >= self.o.warmup:
            self.cpu0, self.n0 = cpu_ns(), n
        if self.o.rss_every_ms > 0 and now >= self.next_rss:
            r["rss"].append([n, rss_kib()])
            self.next_rss = now + self.o.rss_every_ms * 1000000
        if self.o.notifications > 0:
            done = n >= self.o.notifications
        else:
            done = now - self.first >= self.o.seconds * 1e9
        if done:
            if self.cpu0 is not None:
                r["cpu_ns"], r["cpu_notifications"] = cpu_ns() - self.cpu0, n - self.n0
            if self.o.rss_every_ms > 0:
                r["rss"].append([n, rss_kib()])
            r["notifications"], r["ok"] = n, 1
        return done


def report(client, driver, recorder, options):
    if options.out:
        recorder.write(options.out)
    out = {"client": client}
    out.update(driver.result)
    out.update({"items": recorder.count, "fillers": recorder.fillers, "gaps": recorder.gaps()})
    print(json.dumps(out))
    sys.stdout.flush()
    return 0 if driver.result["ok"] else 1
