"""Proof that tavoble-sim is BlueZ to a client we did not write: Debian's
python3-bleak discovers, connects, reads, subscribes and disconnects."""

import asyncio
import struct

from bleak import BleakClient, BleakScanner

from bluez_client import CHANNEL, CONFIG, DATA, FILTER, NAME, PAYLOAD, Simulator, counter_of, uuid16


async def session(sim: Simulator) -> None:
    device = await BleakScanner.find_device_by_name(NAME, timeout=10)
    assert device is not None, "Bleak did not discover the amplifier"
    async with BleakClient(device, timeout=10) as client:
        texts = {}
        for short in ("2a24", "2a25", "2a26", "2a27", "2a29"):
            texts[short] = bytes(await client.read_gatt_char(uuid16(short)))
        assert texts["2a25"] == NAME.encode()
        assert all(texts.values())

        config = struct.unpack("<8H", bytes(await client.read_gatt_char(CONFIG)))
        rate, channels, _, _, payload_size, n_channel, n_payload, n_filter = config
        assert (rate, channels, payload_size, n_channel, n_payload) == (250, 8, 48, 8, 16)

        # Bleak learns the MTU through AcquireNotify and closes the socket at once: the
        # characteristic must be free for start_notify below.
        await client._backend._acquire_mtu()
        assert client.mtu_size == 247

        records = {CHANNEL: [], PAYLOAD: [], FILTER: []}
        for uuid, got in records.items():
            await client.start_notify(uuid, lambda _c, d, got=got: got.append(bytes(d)))
            for _ in range(100):
                if len(got) >= {CHANNEL: n_channel, PAYLOAD: n_payload, FILTER: n_filter}[uuid]:
                    break
                await asyncio.sleep(0.02)
            await client.stop_notify(uuid)
        assert [struct.unpack_from("<H", r)[0] for r in records[CHANNEL]] == list(range(1, 9))
        assert struct.unpack_from("<HB", records[CHANNEL][7])[1] == 5  # the counter channel
        assert [struct.unpack("<HH", r) for r in records[PAYLOAD]] == [(c, f) for f in (0, 1) for c in range(1, 9)]
        assert len(records[FILTER]) == n_filter and all(len(r) == 16 for r in records[FILTER])

        data = []
        await client.start_notify(DATA, lambda _c, d: data.append(bytes(d)))
        await asyncio.sleep(0.5)
        await client.stop_notify(DATA)
        await asyncio.sleep(0.05)  # one may still be under way
        assert len(data) >= 20
        assert all(len(d) == payload_size for d in data)
        counters = [counter_of(d) for d in data]
        assert counters[0] == 1
        assert counters == list(range(1, len(counters) + 1))
        assert [counter_of(d, 15) for d in data] == counters  # frame 1 carries the same counter
        sent = sim.sent_data(NAME)
        assert [b for _t, b in sent[:len(data)]] == data
    assert not sim.is_connected(NAME)


def test_bleak_discovers_connects_reads_subscribes_and_disconnects():
    with Simulator() as sim:
        asyncio.run(session(sim))
        c = sim.counters(NAME)
        assert c["connects"] == 1 and c["disconnects"] == 1
        # Each record stream was sent whole; the one Bleak's MTU probe acquired
        # also sent what came before the probe closed the socket.
        assert c["channel"] >= 8 and c["payload"] >= 16 and c["filter"] >= 3
        assert c["reads"] >= 6
