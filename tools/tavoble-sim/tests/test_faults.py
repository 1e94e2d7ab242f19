"""Scenario features and the faults the library must survive, as a client sees them."""

import asyncio
import os
import struct
import subprocess
import sys

import pytest

from bluez_client import (run, ADAPTER, AMP_SERVICE, CHANNEL, CHAR, CONFIG, DATA, DEVICE, FILTER, NAME, PAYLOAD, Client,
                          DBusError, Simulator, configuration, counter_of, uuid16, values)
from tavoble_sim import find_executable

HCI0 = "/org/bluez/hci0"


def amp(**fields):
    return {"amplifiers": [dict({"name": NAME}, **fields)]}


def test_configuration_overrides_and_record_faults():
    scenario = amp(faults={
        "configuration": {"numberOfChannels": 7, "filterConfigurationCount": 0, "payloadSize": 50},
        "channelRecords": {"omit": [2], "duplicate": [0], "extra": 1, "truncate": {"4": 5}},
        "payloadRecords": {"records": [[1, 0, 0, 0], {"hex": "0200"}]},
        "filterRecords": {"intervalMs": 0}})

    async def body(sim, c):
        device = await c.connect_device()
        config = configuration(await c.read(device, CONFIG))
        assert config == (250, 7, 24, 2, 50, 8, 16, 0)
        channel = await c.collect(device, CHANNEL, 0.15)
        assert [struct.unpack_from("<H", r)[0] for r in channel] == [1, 1, 2, 4, 5, 6, 7, 8, 9]
        assert [len(r) for r in channel] == [8, 8, 8, 8, 5, 8, 8, 8, 8]
        assert await c.collect(device, PAYLOAD, 0.1) == [bytes([1, 0, 0, 0]), bytes([2, 0])]
        assert len(await c.collect(device, FILTER, 0.1)) == 3  # all at once, still all of them
    run(scenario, body)


def test_short_configuration_and_late_records():
    scenario = amp(faults={"configurationBytes": {"hex": "fa000800"}, "channelRecords": {"delayMs": 600}})

    async def body(sim, c):
        device = await c.connect_device()
        assert await c.read(device, CONFIG) == bytes([0xFA, 0, 8, 0])
        path = await c.char_path(device, CHANNEL)
        await c.bluez(path, CHAR, "StartNotify")
        subscribed = next(e for e in reversed(c.events) if e.kind == "reply" and e.member == "StartNotify")
        first = await c.wait_for(lambda e: e.path == path and e.changed("Value") is not None, timeout=5)
        assert first.time - subscribed.time >= 0.45  # far beyond the usual millisecond (600 ms asked)
    run(scenario, body)


def test_missing_service_and_characteristic():
    scenario = amp(faults={"omitServices": ["180A"], "omitCharacteristics": [FILTER]})

    async def body(sim, c):
        device = await c.connect_device()
        objects = await c.objects()
        services = {v["org.bluez.GattService1"]["UUID"].value for v in objects.values()
                    if "org.bluez.GattService1" in v}
        assert uuid16("180a") not in services and AMP_SERVICE in services
        with pytest.raises(KeyError):
            await c.char_path(device, FILTER)
        await c.char_path(device, CHANNEL)
    run(scenario, body)


def test_connect_fails_once_then_succeeds():
    scenario = amp(faults={"connect": {"fail": "error", "errorName": "org.bluez.Error.Failed",
                                       "errorText": "Software caused connection abort", "attempts": 1}})

    async def body(sim, c):
        device = await c.discover()
        with pytest.raises(DBusError) as e:
            await c.bluez(device, DEVICE, "Connect")
        assert e.value.name == "org.bluez.Error.Failed" and e.value.text == "Software caused connection abort"
        assert await c.get(device, DEVICE, "Connected") is False
        await c.bluez(device, DEVICE, "Connect")
        await c.wait_for(lambda e: e.path == device and e.changed("ServicesResolved") is True)
    run(scenario, body)


def test_services_never_resolved():
    scenario = amp(faults={"connect": {"fail": "unresolved"}})

    async def body(sim, c):
        device = await c.discover()
        await c.bluez(device, DEVICE, "Connect")
        await asyncio.sleep(0.4)
        assert await c.get(device, DEVICE, "Connected") is True
        assert await c.get(device, DEVICE, "ServicesResolved") is False
    run(scenario, body)


def test_dropped_truncated_and_restarting_data():
    scenario = amp(rate=4.0, counter={"start": 1000, "restartEvery": 12},
                   faults={"dropEvery": 5, "truncateEvery": 7, "truncateTo": 40})

    async def body(sim, c):
        device = await c.connect_device()
        data = await c.collect(device, DATA, 0.4)
        await asyncio.sleep(0.05)
        generated = [1000 + i % 12 for i in range(2000)]
        sent_ix = [i for i in range(2000) if (i + 1) % 5 != 0]
        assert len(data) >= 20
        for k, payload in enumerate(data):
            i = sent_ix[k]
            if (i + 1) % 7 == 0:
                assert len(payload) == 40
            else:
                assert len(payload) == 48
            assert counter_of(payload) == generated[i]
        counters = sim.counters(NAME)
        assert counters["dropped"] >= 4 and counters["truncated"] >= 2
    run(scenario, body)


def test_peer_disconnects_after_the_given_time_and_advertises_again():
    # Long enough for a loaded machine to subscribe first.
    scenario = amp(faults={"disconnectAfterMs": 1500})

    async def body(sim, c):
        device = await c.connect_device()
        data = await c.char_path(device, DATA)
        await c.bluez(data, CHAR, "StartNotify")
        await c.wait_for(lambda e: e.path == device and e.changed("Connected") is False, timeout=5)
        await c.wait_for(lambda e: e.member == "InterfacesRemoved" and e.body[0] == data)
        assert sim.counters(NAME)["disconnects"] == 1
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        await c.wait_for(lambda e: e.path == device and e.changed("RSSI") is not None)  # advertising again
    run(scenario, body)


def test_advertising_stops_after_the_given_time():
    scenario = amp(faults={"advertisingStopsAfterMs": 1500})

    async def body(sim, c):
        device = await c.discover()  # some 150 ms after start
        await asyncio.sleep(1.6)
        start = len(c.events)
        await asyncio.sleep(0.4)
        assert not [e for e in c.events[start:] if e.path == device and e.changed("RSSI") is not None]
    run(scenario, body)


def test_device_information_as_raw_bytes_and_gatt_battery_service():
    scenario = amp(deviceInformation={"modelNumber": {"repeat": "M", "count": 300},
                                      "manufacturerName": {"hex": "ff fe 41 00 c3"}},
                   battery={"gattService": True, "level": 64})

    async def body(sim, c):
        device = await c.connect_device()
        assert await c.read(device, uuid16("2a24")) == b"M" * 300
        assert await c.read(device, uuid16("2a29")) == bytes([0xFF, 0xFE, 0x41, 0x00, 0xC3])
        assert await c.read(device, uuid16("2a19")) == bytes([64])
        assert "org.bluez.Battery1" not in (await c.objects())[device]
        path = await c.char_path(device, uuid16("2a19"))
        await c.bluez(path, CHAR, "StartNotify")
        sim.set_battery_level(NAME, 63)
        e = await c.wait_for(lambda e: e.path == path and e.changed("Value") == b"\x3f")
        assert e is not None
    run(scenario, body)


def test_adapters_none_two_and_unpowered_and_unnamed_peers():
    scenario = {"adapters": [{"powered": False}, {"id": "hci1"}],
                "amplifiers": [{"name": NAME}, {"name": None, "address": "11:22:33:44:55:66",
                                                "manufacturerData": {"0x05A7": {"hex": "0102"}}}]}

    async def body(sim, c):
        objects = await c.objects()
        assert {p for p, v in objects.items() if ADAPTER in v} == {HCI0, "/org/bluez/hci1"}
        assert objects[HCI0][ADAPTER]["Powered"].value is False
        path = await c.discover(NAME, "/org/bluez/hci1")
        assert path.startswith("/org/bluez/hci1/dev_")
        unnamed = await c.wait_for(lambda e: e.member == "InterfacesAdded" and
                                   e.body[0] == "/org/bluez/hci1/dev_11_22_33_44_55_66")
        props = unnamed.body[1][DEVICE]
        assert "Name" not in props and props["Alias"].value == "11-22-33-44-55-66"
        assert props["ManufacturerData"].value[0x05A7].value == b"\x01\x02"
    run(scenario, body)

    async def none(sim, c):
        assert not [p for p, v in (await c.objects()).items() if ADAPTER in v]
    run({"adapters": []}, none)


def test_a_sparse_payload_layout_and_custom_channels():
    scenario = amp(channels=[{"type": 1, "scale": 0.5, "waveform": {"kind": "constant", "offset": 100}},
                             {"type": 5, "scale": 1.0}],
                   payloadLayout=[[1, 0], [2, 0], [1, 1]], scansPerNotification=2)

    async def body(sim, c):
        device = await c.connect_device()
        assert configuration(await c.read(device, CONFIG))[:8] == (250, 2, 24, 2, 9, 2, 3, 3)
        data = await c.collect(device, DATA, 0.1)
        assert data and all(len(d) == 9 for d in data)
        assert counter_of(data[0], 0) == 200 and counter_of(data[0], 2) == 200  # 100 / 0.5
        assert counter_of(data[0], 1) == 1
    run(scenario, body)


def test_invalid_scenario_is_refused_with_the_key(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"amplifiers": [{"name": "X", "faults": {"dropEverry": 3}}]}')
    res = subprocess.run([find_executable(), "run", "--scenario", str(bad), "--", "true"],
                         capture_output=True, text=True)
    assert res.returncode == 2 and "dropEverry" in res.stderr


def test_battery1_can_appear_after_services_resolved():
    scenario = amp(battery={"battery1DelayMs": 200})

    async def body(sim, c):
        device = await c.connect_device()
        resolved = next(e for e in c.events if e.path == device and e.changed("ServicesResolved") is True)
        # BlueZ lists the Battery Service in UUIDs although it exports no GATT objects for it.
        assert uuid16("180f") in await c.get(device, DEVICE, "UUIDs")
        added = await c.wait_for(lambda e: e.member == "InterfacesAdded" and e.body[0] == device
                                 and "org.bluez.Battery1" in e.body[1])
        assert c.events.index(added) > c.events.index(resolved)
        assert added.body[1]["org.bluez.Battery1"]["Percentage"].value == 87
    run(scenario, body)


def test_connect_without_an_answer_until_disconnect():
    scenario = amp(faults={"connect": {"fail": "noreply", "attempts": 1}})

    async def body(sim, c):
        device = await c.discover()
        with pytest.raises(asyncio.TimeoutError):
            await c.bluez(device, DEVICE, "Connect", timeout=0.5)
        with pytest.raises(DBusError) as e:
            await c.bluez(device, DEVICE, "Connect")
        assert e.value.name == "org.bluez.Error.InProgress"
        await c.bluez(device, DEVICE, "Disconnect")  # abandons the attempt
        await c.bluez(device, DEVICE, "Connect")
        assert await c.get(device, DEVICE, "Connected") is True
    run(scenario, body)


def test_free_running_counter_counts_the_time_nobody_listened():
    scenario = amp(counter={"start": 8388000, "freeRunning": True})
    period_ns = 8e6  # 250 samples/s, 2 scans per notification

    async def body(sim, c):
        device = await c.connect_device()
        first = await c.collect(device, DATA, 0.3)
        await asyncio.sleep(1.0)
        second = await c.collect(device, DATA, 0.3)
        assert first and second
        sent = sim.sent_data(NAME)
        last_before = sent[len(first) - 1]
        first_after = sent[len(first)]
        assert counter_of(last_before[1]) == counter_of(first[-1])
        assert counter_of(first_after[1]) == counter_of(second[0])
        # The amplifier was switched on at start-up: its first value is past the start.
        assert (counter_of(first[0]) - 8388000) % 8388608 > 0
        # Over 1 s unsubscribed: about 125 values went by, no more than the clock says.
        jump = (counter_of(second[0]) - counter_of(first[-1])) % 8388608
        assert 60 <= jump <= (first_after[0] - last_before[0]) / period_ns + 1
    run(scenario, body)


_HOLDER = """
import asyncio, sys
from bluez_client import Client, DATA, CHAR

async def main():
    c = await Client(sys.argv[1]).connect()
    device = await c.connect_device()
    await c.bluez(await c.char_path(device, DATA), CHAR, "StartNotify")
    print(device, flush=True)
    await asyncio.sleep(60)

asyncio.run(main())
"""


def test_link_outlives_a_killed_client_and_serves_the_next():
    async def body(sim, c):
        holder = subprocess.Popen([sys.executable, "-c", _HOLDER, sim.address], stdout=subprocess.PIPE,
                                  text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        try:
            device = holder.stdout.readline().strip()
            assert device
            data = await c.char_path(device, DATA)
            assert await c.get(data, CHAR, "Notifying") is True
            start = len(c.events)
            holder.kill()
            holder.wait(timeout=10)
        finally:
            holder.stdout.close()
            if holder.poll() is None:
                holder.kill()
                holder.wait()
        # The notify session ended with its client; the link stays with the service.
        await c.wait_for(lambda e: e.path == data and e.changed("Notifying") is False, start=start)
        assert await c.get(device, DEVICE, "Connected") is True
        assert sim.is_connected(NAME)
        connects = sim.counters(NAME)["connects"]
        await c.bluez(device, DEVICE, "Connect")  # already connected: answered without a new link
        assert sim.counters(NAME)["connects"] == connects
        assert len(await c.collect(device, DATA, 0.3)) > 5
    run(None, body)


def _scenario(name):
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios", name + ".json")


def test_a_same_name_impostor_refuses_and_the_real_amplifier_connects():
    async def body(sim, c):
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        found = {}
        while len(found) < 2:
            e = await c.wait_for(lambda e: e.member == "InterfacesAdded" and DEVICE in e.body[1]
                                 and e.body[0] not in found, start=0)
            found[e.body[0]] = e.body[1][DEVICE]
        await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        assert {p["Name"].value for p in found.values()} == {NAME}
        by_address = {p["Address"].value: path for path, p in found.items()}
        with pytest.raises(DBusError, match="le-connection-abort-by-local"):
            await c.bluez(by_address["C0:FF:EE:00:00:02"], DEVICE, "Connect")
        await c.bluez(by_address["C0:FF:EE:00:00:01"], DEVICE, "Connect")
        # Control calls tell the two apart by address.
        assert sim.is_connected("C0:FF:EE:00:00:01") and not sim.is_connected("C0:FF:EE:00:00:02")
    run(_scenario("same-name-impostor"), body)


def test_device_information_and_names_carry_raw_bytes():
    async def body(sim, c):
        device = await c.connect_device("UX-0001.00.01-\u00e9")
        serial = await c.read(device, uuid16("2a25"))
        assert serial == b"UX-0001\xff.00.01"
        assert (await c.read(device, uuid16("2a24"))).startswith(b"UX8 \x1b[31m")
        assert await c.read(device, uuid16("2a29")) == b"\x1b[2J\xc3\x28\xe2\x82"
    run(_scenario("unicode-and-escapes"), body)

    async def differs(sim, c):
        device = await c.connect_device()
        assert await c.read(device, uuid16("2a25")) == b"UX-0999.00.07"
    run(_scenario("serial-differs"), differs)
