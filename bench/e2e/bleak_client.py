"""What a Python user would write without libtavoble: Debian's python3-bleak
finds and connects the default amplifier, reads its configuration, collects
its channel, payload and filter records, subscribes to the data
characteristic and decodes each notification with numpy exactly as libtavoble
does (24-bit big-endian samples times the channel's scale, placement by the
payload records, hold of sparse channels, counter turned into sample numbers,
filler scans for lost samples). Each scan goes to the same kind of callback
as TavoBLEWrapper's, as a new float32 array.

    python3 bleak_client.py [--seconds S | --notifications N] [--out LOG] ...

DBUS_SYSTEM_BUS_ADDRESS names the simulator's bus. Prints one JSON line.
"""
import asyncio
import os
import struct
import sys

import numpy as np
from bleak import BleakClient, BleakScanner

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_common  # noqa: E402

BASE = "-449f-4ba0-a651-b887924b81e8"
DATA = "b5211406" + BASE
CONFIG = "b5211407" + BASE
PAYLOAD = "b5211408" + BASE
CHANNEL = "b5211409" + BASE
FILTER = "b521140a" + BASE
COUNTER_TYPE = 5


class Decoder:
    """Turns data notifications into scans: channels, battery, data valid."""

    def __init__(self, config, channel_records, payload_records, battery):
        (_rate, _n, _r4, _r6, self.payload_size, n_channels, n_payload,
         _n_filter) = config
        channels = {}
        for r in channel_records:
            number, kind, _reserved, scale = struct.unpack_from("<HBBf", r)
            channels[number] = (kind, scale)
        payload = [struct.unpack_from("<HH", r) for r in payload_records][:n_payload]
        if len(payload) != n_payload or n_payload > self.payload_size // 3:
            raise ValueError("inconsistent payload configuration")
        if any(c < 1 or c > n_channels for c, _f in payload):
            raise ValueError("payload record of an unknown channel")
        frame_count = {c: 0 for c in range(1, n_channels + 1)}
        for c, f in payload:
            frame_count[c] = f + 1
        self.frames = max(frame_count.values())
        self.n = n_payload
        self.channels = n_channels
        self.scales = np.array([channels.get(c, (0, 0.0))[1] for c, _f in payload], np.float32)
        self.rows = np.array([f for _c, f in payload], np.intp)
        self.cols = np.array([c - 1 for c, _f in payload], np.intp)
        # Channels with fewer frames than the payload repeat their last one.
        self.hold = [(c - 1, k) for c, k in frame_count.items() if 0 < k < self.frames]
        counters = [c - 1 for c in range(1, n_channels + 1)
                    if channels.get(c, (0, 0.0))[0] == COUNTER_TYPE]
        if not counters:
            raise ValueError("no counter channel")
        self.counters = counters
        self.counter = counters[-1]
        self.frame_numbers = np.arange(1, self.frames + 1, dtype=np.float32)
        values = n_channels + 2
        self.current = np.zeros((self.frames, values), np.float32)
        self.previous = np.zeros((self.frames, values), np.float32)
        self.battery = np.float32(battery)
        self.valid_column = values - 1

    def on_data(self, payload, deliver):
        if len(payload) != self.payload_size:
            return  # a notification of the wrong size is dropped
        b = np.frombuffer(payload, np.uint8, count=3 * self.n).reshape(self.n, 3).astype(np.int32)
        raw = (b[:, 0] << 16) | (b[:, 1] << 8) | b[:, 2]
        raw = (raw ^ 0x800000) - 0x800000
        cur, prev = self.current, self.previous
        cur[self.rows, self.cols] = raw.astype(np.float32) * self.scales
        for column, k in self.hold:
            cur[k:, column] = cur[k - 1, column]
        frames = np.float32(self.frames)
        for column in self.counters:
            cur[:, column] = frames * (cur[:, column] - np.float32(1.0)) + self.frame_numbers
        cur[:, self.channels] = self.battery
        cur[:, self.valid_column] = 1.0
        last = prev[self.frames - 1]
        missing = int(cur[0, self.counter] - last[self.counter] - np.float32(1.0))
        for k in range(missing):
            filler = last.copy()
            filler[self.counter] = np.float32(k) + last[self.counter] + np.float32(1.0)
            filler[self.valid_column] = 0.0
            deliver(filler)
        for f in range(self.frames):
            deliver(cur[f].copy())
        prev[:] = cur


async def collect(client, uuid, count):
    records = []
    if count == 0:
        return records
    await client.start_notify(uuid, lambda _c, d: records.append(bytes(d)))
    for _ in range(250):
        if len(records) >= count:
            break
        await asyncio.sleep(0.002)
    await client.stop_notify(uuid)
    if len(records) < count:
        raise RuntimeError("configuration records missing on " + uuid)
    return records


async def session(options):
    device = await BleakScanner.find_device_by_name(e2e_common.AMPLIFIER, timeout=10)
    if device is None:
        raise RuntimeError("amplifier not found")
    async with BleakClient(device, timeout=10) as client:
        config = struct.unpack_from("<8H", bytes(await client.read_gatt_char(CONFIG)))
        channels = await collect(client, CHANNEL, config[5])
        payload = await collect(client, PAYLOAD, config[6])
        await collect(client, FILTER, config[7])
        decoder = Decoder(config, channels, payload, battery=0)
        capacity = options.capacity if options.out else 1
        recorder = e2e_common.Recorder(capacity, decoder.counter, decoder.valid_column)
        on_scan = recorder.make_callback()
        driver = e2e_common.Driver(options, recorder.received)
        await client.start_notify(DATA, lambda _c, d: decoder.on_data(d, on_scan))
        while not driver.step():
            await asyncio.sleep(0.01)
        await client.stop_notify(DATA)
    return e2e_common.report("bleak", driver, recorder, options)


def main():
    return asyncio.run(session(e2e_common.parse()))


if __name__ == "__main__":
    sys.exit(main())
