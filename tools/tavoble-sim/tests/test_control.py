"""The run/serve/bus commands and the control interface org.tavoble.Simulator1."""

import asyncio
import os
import signal
import statistics
import subprocess
import time

import pytest

from bluez_client import run, ADAPTER, CHAR, DATA, DEVICE, NAME, Client, DBusError, Simulator, counter_of, values
from tavoble_sim import SimulatorError, find_executable

SIM = find_executable()
HCI0 = "/org/bluez/hci0"


@pytest.fixture(autouse=True)
def private_tmpdir(tmp_path, monkeypatch):
    # run puts its bus into TMPDIR; a private one shows whether it cleaned up.
    monkeypatch.setenv("TMPDIR", str(tmp_path))


def leftovers(before):
    return sorted(sim_dirs() - before)


def sim_dirs():
    return set(d for d in os.listdir(os.environ["TMPDIR"]) if d.startswith("tavoble-sim."))


def test_run_exports_the_bus_waits_for_bluez_and_passes_the_exit_status():
    before = sim_dirs()
    script = ('test -n "$DBUS_SYSTEM_BUS_ADDRESS" && '
              'busctl --address="$DBUS_SYSTEM_BUS_ADDRESS" status org.bluez >/dev/null && exit 7')
    assert subprocess.run([SIM, "run", "--", "sh", "-c", script]).returncode == 7
    assert subprocess.run([SIM, "run", "--", "true"]).returncode == 0
    assert subprocess.run([SIM, "bus", "--", "sh", "-c", "busctl --address=$DBUS_SYSTEM_BUS_ADDRESS "
                           "status org.bluez >/dev/null 2>&1 || exit 3"]).returncode == 3
    assert subprocess.run([SIM, "run", "--", "/nonexistent/command"], stderr=subprocess.DEVNULL).returncode == 127
    bad = subprocess.run([SIM, "run", "--scenario", "/nonexistent.json", "--", "true"], capture_output=True, text=True)
    assert bad.returncode == 2 and "nonexistent.json" in bad.stderr
    assert leftovers(before) == []


def test_run_forwards_sigterm_and_leaves_nothing_running():
    before = sim_dirs()
    p = subprocess.Popen([SIM, "run", "--", "sh", "-c", "echo $$; exec sleep 30"], stdout=subprocess.PIPE, text=True)
    child = int(p.stdout.readline())
    bus_dirs = leftovers(before)
    assert len(bus_dirs) == 1
    p.send_signal(signal.SIGTERM)
    assert p.wait(timeout=10) == 128 + signal.SIGTERM
    p.stdout.close()
    with pytest.raises(ProcessLookupError):
        os.kill(child, 0)
    assert leftovers(before) == []


def test_serve_on_a_private_bus_and_restart():
    with subprocess.Popen([SIM, "bus"], stdout=subprocess.PIPE, text=True) as bus:
        address = bus.stdout.readline().strip()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        for _ in range(2):  # a second simulator takes over once the first has gone
            serve = subprocess.Popen([SIM, "serve"], env=env, stderr=subprocess.PIPE, text=True)
            assert "org.bluez" in serve.stderr.readline()
            out = subprocess.run(["busctl", "--address=" + address, "call", "org.bluez",
                                  "/org/tavoble/simulator", "org.tavoble.Simulator1", "ListAmplifiers"],
                                 capture_output=True, text=True, check=True).stdout
            assert NAME in out
            serve.send_signal(signal.SIGTERM)
            assert serve.wait(timeout=10) == 0
            serve.stderr.close()
        bus.send_signal(signal.SIGTERM)
        assert bus.wait(timeout=10) == 0


def test_counters_and_sent_data_match_what_a_subscriber_received():
    async def body(sim, c):
        device = await c.connect_device()
        sim.reset_counters(NAME)
        received = await c.collect(device, DATA, 0.4)
        await asyncio.sleep(0.05)
        counters = sim.counters(NAME)
        sent = sim.sent_data(NAME)
        assert counters["data"] == len(sent) == counters["sentTotal"]
        assert [b for _t, b in sent][:len(received)] == received
        times = [t for t, _b in sent]
        assert times == sorted(times) and abs(times[-1] / 1e9 - time.monotonic()) < 5
        assert sim.sent_data(NAME, 2, 3) == sent[2:5]
        assert sim.sent_data(NAME, len(sent)) == []
        assert sim.is_connected(NAME)
        sim.disconnect_peer(NAME)
        await c.wait_for(lambda e: e.path == device and e.changed("Connected") is False)
        assert not sim.is_connected(NAME)
        assert sim.counters(NAME)["disconnects"] == 1
        with pytest.raises(SimulatorError, match="not connected"):
            sim.disconnect_peer(NAME)
        with pytest.raises(SimulatorError, match="No amplifier"):
            sim.counters("UX-9999.00.01")
    run(None, body)


def test_sent_data_ring_keeps_the_newest():
    async def body(sim, c):
        device = await c.connect_device()
        await c.collect(device, DATA, 0.3)
        total = sim.counters(NAME)["sentTotal"]
        assert total > 10
        kept = sim.sent_data(NAME, total - 10)
        assert len(kept) == 10
        with pytest.raises(SimulatorError, match="no longer kept"):
            sim.sent_data(NAME, 0)
    run({"amplifiers": [{"name": NAME, "sentDataCapacity": 10}]}, body)


def test_advertising_adding_and_removing_amplifiers():
    async def body(sim, c):
        sim.set_advertising(NAME, False)
        path = sim.add_amplifier({"name": "UX-0002.00.01", "channels": 4})
        assert path.startswith(HCI0 + "/dev_")
        found = await c.discover("UX-0002.00.01")
        assert found == path
        await asyncio.sleep(0.4)
        assert not [e for e in c.events if e.member == "InterfacesAdded" and e.body[0] != path]
        sim.set_advertising(NAME, True)
        await c.wait_for(lambda e: e.member == "InterfacesAdded" and e.body[0] != path)
        sim.remove_amplifier("UX-0002.00.01")
        # A round trip on the client's own connection: every signal sent before the removal is in.
        await c.get(HCI0, ADAPTER, "Discovering")
        start = len(c.events)
        await asyncio.sleep(0.4)
        assert not [e for e in c.events[start:] if e.path == path and e.changed("RSSI") is not None]
        with pytest.raises(SimulatorError, match="exists"):
            sim.add_amplifier({"name": NAME})
        with pytest.raises(SimulatorError, match="unknown key"):
            sim.add_amplifier({"name": "UX-0003.00.01", "colour": "red"})
    run(None, body)


def test_battery_level_rate_and_power():
    async def body(sim, c):
        device = await c.connect_device()
        sim.set_battery_level(NAME, 42)
        e = await c.wait_for(lambda e: e.path == device and e.interface == "org.freedesktop.DBus.Properties"
                             and e.body[0] == "org.bluez.Battery1")
        assert e.changed("Percentage") == 42
        assert await c.get(device, "org.bluez.Battery1", "Percentage") == 42
        assert sim.counters(NAME)["battery"] == 1

        sim.set_rate(NAME, 8.0)  # 1 kHz of notifications instead of 125 Hz
        data = await c.collect(device, DATA, 0.5)
        assert len(data) > 125
        counters = [counter_of(d) for d in data]
        assert counters == list(range(counters[0], counters[0] + len(counters)))
        sent = [t for t, _b in sim.sent_data(NAME)][-len(data):]
        gaps = [b - a for a, b in zip(sent, sent[1:])]
        assert statistics.median(gaps) < 4e6  # 1 ms pace, far below the 8 ms of real time
        with pytest.raises(SimulatorError):
            sim.set_rate(NAME, -1)

        sim.set_rate(NAME, 0)  # as fast as possible
        data = await c.collect(device, DATA, 0.3)
        assert len(data) > 300

        sim.set_powered("hci0", False)
        await c.wait_for(lambda e: e.path == device and e.changed("Connected") is False)
        assert await c.get(HCI0, ADAPTER, "Powered") is False
        assert not sim.is_connected(NAME)
        with pytest.raises(SimulatorError, match="No adapter"):
            sim.set_powered("hci9", True)
    run(None, body)


def test_unknown_control_methods_and_wrong_signatures_are_refused():
    with Simulator() as sim:
        assert NAME in sim.control("ListAmplifiers")
        with pytest.raises(SimulatorError, match="doesn't exist"):
            sim.control("NoSuchMethod")
        # A known name with the wrong arguments is no call of it either.
        with pytest.raises(SimulatorError, match="doesn't exist"):
            sim.control("IsConnected", "b", True)
        assert sim.is_connected(NAME) is False


def test_unreachable_peer_drops_its_link_goes_silent_and_comes_back():
    scenario = {"amplifiers": [{"name": NAME}], "timing": {"connectTimeoutMs": 300}}

    async def body(sim, c):
        device = await c.connect_device()
        sim.set_unreachable(NAME, 30)
        await c.wait_for(lambda e: e.path == device and e.changed("Connected") is False)
        assert not sim.is_connected(NAME)
        with pytest.raises(DBusError, match="le-connection-abort-by-local"):
            await c.bluez(device, DEVICE, "Connect")
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        await c.get(HCI0, ADAPTER, "Discovering")
        start = len(c.events)
        await asyncio.sleep(0.4)
        assert not [e for e in c.events[start:] if e.path == device and e.changed("RSSI") is not None]
        sim.set_unreachable(NAME, 0)  # back before its time
        await c.wait_for(lambda e: e.path == device and e.changed("RSSI") is not None, start=start)

        sim.set_unreachable(NAME, 0.3)  # back by itself
        await c.get(HCI0, ADAPTER, "Discovering")
        await c.wait_for(lambda e: e.path == device and e.changed("RSSI") is not None, start=len(c.events))
        await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        await c.bluez(device, DEVICE, "Connect")
        assert sim.is_connected(NAME)
        with pytest.raises(SimulatorError, match="0 or positive"):
            sim.set_unreachable(NAME, -1)
    run(scenario, body)


def test_discovering_delay_is_set_at_run_time():
    async def body(sim, c):
        for delay in (150, 0):
            sim.set_discovering_delay(delay)
            t0, start = time.monotonic(), len(c.events)
            await c.bluez(HCI0, ADAPTER, "StartDiscovery")
            await c.wait_for(lambda e: e.path == HCI0 and e.changed("Discovering") is True, start=start)
            waited = time.monotonic() - t0
            start = len(c.events)
            await c.bluez(HCI0, ADAPTER, "StopDiscovery")
            await c.wait_for(lambda e: e.path == HCI0 and e.changed("Discovering") is False, start=start)
            if delay:
                assert waited >= 0.14
        with pytest.raises(DBusError, match="org.bluez.Error.InProgress"):
            await c.bluez(HCI0, ADAPTER, "StartDiscovery")
            await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        with pytest.raises(DBusError, match="No discovery started"):
            await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        with pytest.raises(SimulatorError, match="0 or positive"):
            sim.set_discovering_delay(-5)
    run(None, body)


def test_adapter_unplugged_and_another_plugged_in():
    async def body(sim, c):
        device = await c.connect_device()
        start = len(c.events)
        sim.remove_adapter("hci0")
        await c.wait_for(lambda e: e.member == "InterfacesRemoved" and e.body[0] == HCI0, start=start)
        removed = [e.body[0] for e in c.events[start:] if e.member == "InterfacesRemoved"]
        assert device in removed and removed.index(device) < removed.index(HCI0)
        assert not sim.is_connected(NAME)
        assert not [p for p in await c.objects() if p.startswith(HCI0)]
        with pytest.raises(SimulatorError, match="No adapter"):
            sim.remove_adapter("hci0")
        assert sim.add_adapter("hci1", "00:1A:7D:DA:71:14") == "/org/bluez/hci1"
        with pytest.raises(SimulatorError, match="exists"):
            sim.add_adapter("hci1", "00:1A:7D:DA:71:15")
        start = len(c.events)
        await c.bluez("/org/bluez/hci1", ADAPTER, "StartDiscovery")
        e = await c.wait_for(lambda e: e.member == "InterfacesAdded" and e.body[0].startswith("/org/bluez/hci1/"),
                             start=start)
        await c.bluez(e.body[0], DEVICE, "Connect")
        assert sim.is_connected(NAME)
    run(None, body)


def test_bluetooth_restart_takes_the_name_and_objects_away_and_brings_them_back():
    async def owner(c):
        try:
            return (await c.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetNameOwner", "s", ["org.bluez"]))[0]
        except DBusError:
            return None

    async def until(pred, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not await pred():
            assert time.monotonic() < deadline
            await asyncio.sleep(0.02)

    async def body(sim, c):
        device = await c.connect_device()
        before = await owner(c)
        sim.restart_bluetooth(1.0)
        await until(lambda: _is(owner(c), None))
        await until(lambda: _is_not(owner(c), None))
        objects = await c.objects()
        assert HCI0 in objects and device not in objects
        assert await owner(c) == before  # the same simulator, back on the name
        assert not sim.is_connected(NAME)
        start = len(c.events)
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        await c.wait_for(lambda e: e.member == "InterfacesAdded" and e.body[0] == device, start=start)
        await c.bluez(device, DEVICE, "Connect")
        assert sim.is_connected(NAME)
    run(None, body)


async def _is(coro, value):
    return (await coro) is value


async def _is_not(coro, value):
    return (await coro) is not value


def test_switched_off_amplifier_drops_its_link_and_its_device_goes_after_the_timeout():
    scenario = {"amplifiers": [{"name": NAME}, {"name": "UX-0002.00.01"}], "timing": {"deviceTimeoutMs": 400}}

    async def body(sim, c):
        device = await c.connect_device()
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")  # a scan goes on, hearing the other one
        start = len(c.events)
        t0 = time.monotonic()
        sim.remove_amplifier(NAME)
        await c.wait_for(lambda e: e.path == device and e.changed("Connected") is False, start=start)
        await c.wait_for(lambda e: e.member == "InterfacesRemoved" and e.body[0] == device and DEVICE in e.body[1],
                         start=start)
        assert time.monotonic() - t0 >= 0.35
        assert not [e for e in c.events[start:] if e.path == device and e.changed("RSSI") is not None]
    run(scenario, body)
