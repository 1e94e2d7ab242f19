"""BlueZ behaviour that clients depend on: timing order, sessions per client,
live properties and BlueZ's error replies."""

import asyncio
import time

import pytest

from bluez_client import (run, ADAPTER, CHAR, CONFIG, DATA, DEVICE, NAME, OM, PROPS, Client, DBusError, Simulator,
                          values)

HCI0 = "/org/bluez/hci0"


async def expect_error(name, coro):
    with pytest.raises(DBusError) as e:
        await coro
    assert e.value.name == name, e.value
    return e.value


def test_discovery_order_rssi_updates_and_invalidation():
    async def body(sim, c):
        asked = time.monotonic()
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        reply = next(i for i, e in enumerate(c.events) if e.kind == "reply" and e.member == "StartDiscovery")
        found = await c.wait_for(lambda e: e.member == "InterfacesAdded" and DEVICE in e.body[1])
        discovering = await c.wait_for(lambda e: e.path == HCI0 and e.changed("Discovering") is True)
        assert c.events.index(discovering) > reply  # answered first, Discovering follows
        props = found.body[1][DEVICE]
        assert props["Name"].value == NAME and props["Alias"].value == NAME
        assert props["Adapter"].value == HCI0
        assert props["Connected"].value is False and "RSSI" in props
        # Appears some 100-200 ms in; timed from the request, which no loaded machine can delay.
        assert found.time - asked >= 0.1
        path = found.body[0]
        await asyncio.sleep(0.6)
        rssi = [e for e in c.events if e.path == path and e.changed("RSSI") is not None]
        assert len(rssi) >= 3
        assert await c.get(HCI0, ADAPTER, "Discovering") is True

        await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        await c.wait_for(lambda e: e.path == path and "RSSI" in (e.body[2] if e.member == "PropertiesChanged" else []))
        assert await c.get(HCI0, ADAPTER, "Discovering") is False
        await expect_error("org.freedesktop.DBus.Error.InvalidArgs", c.get(path, DEVICE, "RSSI"))
    run(None, body)


def test_discovery_errors_and_unpowered_adapter():
    async def body(sim, c):
        other = await Client(sim.address).connect()
        try:
            await c.bluez(HCI0, ADAPTER, "StartDiscovery")
            await c.wait_for(lambda e: e.path == HCI0 and e.changed("Discovering") is True)
            e = await expect_error("org.bluez.Error.InProgress", c.bluez(HCI0, ADAPTER, "StartDiscovery"))
            assert e.text == "Operation already in progress"
            await other.bluez(HCI0, ADAPTER, "StartDiscovery")  # another client may join
            await expect_error("org.bluez.Error.Failed", Client.bluez(await Client(sim.address).connect(),
                                                                      HCI0, ADAPTER, "StopDiscovery"))
            await c.bluez(HCI0, ADAPTER, "StopDiscovery")
            assert await c.get(HCI0, ADAPTER, "Discovering") is True  # the other's session runs on
            await other.bluez(HCI0, ADAPTER, "StopDiscovery")
            assert await c.get(HCI0, ADAPTER, "Discovering") is False
            await expect_error("org.bluez.Error.InvalidArguments",
                               c.bluez(HCI0, ADAPTER, "SetDiscoveryFilter", "a{sv}", [{"Transport": Variant_s("x")}]))
            await c.bluez(HCI0, ADAPTER, "SetDiscoveryFilter", "a{sv}", [{"Transport": Variant_s("le")}])

            await c.bluez(HCI0, PROPS, "Set", "ssv", [ADAPTER, "Powered", Variant_b(False)])
            await c.wait_for(lambda e: e.path == HCI0 and e.changed("Powered") is False)
            e = await expect_error("org.bluez.Error.NotReady", c.bluez(HCI0, ADAPTER, "StartDiscovery"))
            assert e.text == "Resource Not Ready"
            sim.set_powered("hci0", True)
            assert await c.get(HCI0, ADAPTER, "Powered") is True
            await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        finally:
            other.close()
    run(None, body)


def test_sessions_end_when_their_client_leaves_the_bus():
    async def body(sim, c):
        leaving = await Client(sim.address).connect()
        device = await leaving.connect_device()
        data = await leaving.char_path(device, DATA)
        await leaving.bluez(data, CHAR, "StartNotify")
        await leaving.bluez(HCI0, ADAPTER, "StartDiscovery")
        await c.wait_for(lambda e: e.path == HCI0 and e.changed("Discovering") is True)
        await c.wait_for(lambda e: e.path == data and e.changed("Value") is not None)
        leaving.close()
        await c.wait_for(lambda e: e.path == data and e.changed("Notifying") is False)
        await c.wait_for(lambda e: e.path == HCI0 and e.changed("Discovering") is False)
        assert await c.get(data, CHAR, "Notifying") is False
        sent = sim.counters(NAME)["data"]
        await asyncio.sleep(0.1)
        assert sim.counters(NAME)["data"] == sent  # the values stopped with the session
    run(None, body)


def test_connect_order_gatt_objects_and_notify_order():
    async def body(sim, c):
        device = await c.discover()
        await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        start = len(c.events)
        await c.bluez(device, DEVICE, "Connect")
        await c.wait_for(lambda e: e.path == device and e.changed("ServicesResolved") is True)
        ev = c.events[start:]
        connected = next(i for i, e in enumerate(ev) if e.path == device and e.changed("Connected") is True)
        reply = next(i for i, e in enumerate(ev) if e.kind == "reply" and e.member == "Connect")
        added = [i for i, e in enumerate(ev) if e.member == "InterfacesAdded"]
        resolved = next(i for i, e in enumerate(ev) if e.changed("ServicesResolved") is True)
        assert connected < reply < min(added) and max(added) < resolved
        objects = await c.objects()
        assert "org.bluez.Battery1" in objects[device]  # BlueZ's battery plugin, not a GATT service
        assert not any(v.get("org.bluez.GattService1", {}).get("UUID", None) and
                       v["org.bluez.GattService1"]["UUID"].value.startswith("0000180f") for v in objects.values())

        # StartNotify answers, then Notifying turns true, then values flow.
        data = await c.char_path(device, DATA)
        start = len(c.events)
        await c.bluez(data, CHAR, "StartNotify")
        await c.bluez(data, CHAR, "StartNotify")  # again from the same client: a no-op
        first = await c.wait_for(lambda e: e.path == data and e.changed("Value") is not None, start=start)
        ev = c.events[start:]
        notifying = next(i for i, e in enumerate(ev) if e.changed("Notifying") is True)
        assert ev[0].kind == "reply" and 0 < notifying < ev.index(first)
        assert await c.get(data, CHAR, "Notifying") is True

        # StopNotify: Notifying false before the answer.
        start = len(c.events)
        await c.bluez(data, CHAR, "StopNotify")
        ev = c.events[start:]
        assert any(e.changed("Notifying") is False for e in ev[:-1]) and ev[-1].kind == "reply"
        e = await expect_error("org.bluez.Error.Failed", c.bluez(data, CHAR, "StopNotify"))
        assert e.text == "No notify session started"

        # ReadValue signals the value before it answers.
        config = await c.char_path(device, CONFIG)
        start = len(c.events)
        value = bytes((await c.bluez(config, CHAR, "ReadValue", "a{sv}", [{}]))[0])
        assert values(c.events[start:-1], config) == [value] and c.events[-1].kind == "reply"
        assert bytes((await c.bluez(config, CHAR, "ReadValue", "a{sv}", [{"offset": Variant_q(10)}]))[0]) == value[10:]

        await expect_error("org.bluez.Error.NotSupported", c.bluez(config, CHAR, "StartNotify"))
        await expect_error("org.bluez.Error.NotPermitted", c.bluez(data, CHAR, "ReadValue", "a{sv}", [{}]))
        await expect_error("org.freedesktop.DBus.Error.UnknownMethod", c.bluez(data, CHAR, "NoSuchMethod"))
    run(None, body)


def test_disconnect_removes_gatt_objects_and_peer_advertises_again():
    async def body(sim, c):
        device = await c.connect_device()
        data = await c.char_path(device, DATA)
        start = len(c.events)
        await c.bluez(HCI0, ADAPTER, "StartDiscovery")
        await asyncio.sleep(0.4)
        # A connected peer does not advertise, so discovery does not hear it.
        assert not [e for e in c.events[start:] if e.path == device and e.changed("RSSI") is not None]
        start = len(c.events)
        await c.bluez(device, DEVICE, "Disconnect")
        await c.wait_for(lambda e: e.member == "InterfacesRemoved" and e.body[0] == data, start=start)
        ev = c.events[start:]
        resolved = next(i for i, e in enumerate(ev) if e.changed("ServicesResolved") is False)
        connected = next(i for i, e in enumerate(ev) if e.changed("Connected") is False)
        removed = next(i for i, e in enumerate(ev) if e.member == "InterfacesRemoved")
        assert resolved < connected < removed
        await expect_error("org.freedesktop.DBus.Error.UnknownObject", c.bluez(data, CHAR, "StartNotify"))
        await expect_error("org.bluez.Error.NotConnected", c.bluez(device, DEVICE, "Disconnect"))
        await c.wait_for(lambda e: e.path == device and e.changed("RSSI") is not None, start=start)
        assert "org.bluez.Battery1" not in (await c.objects())[device]
    run(None, body)


def test_concurrent_connect_unreachable_peer_and_removed_device():
    scenario = {"timing": {"connectTimeoutMs": 300, "deviceTimeoutMs": 300, "connectDelayMs": 500}}

    async def body(sim, c):
        device = await c.discover()
        first = asyncio.ensure_future(c.bluez(device, DEVICE, "Connect"))
        await asyncio.sleep(0.02)
        await expect_error("org.bluez.Error.InProgress", c.bluez(device, DEVICE, "Connect"))
        await first
        await c.bluez(device, DEVICE, "Disconnect")

        sim.set_advertising(NAME, False)
        e = await expect_error("org.bluez.Error.Failed", c.bluez(device, DEVICE, "Connect"))
        assert e.text == "le-connection-abort-by-local"

        await c.bluez(HCI0, ADAPTER, "StopDiscovery")
        gone = await c.wait_for(lambda e: e.member == "InterfacesRemoved" and e.body[0] == device, timeout=5)
        assert "org.bluez.Device1" in gone.body[1]
        await expect_error("org.freedesktop.DBus.Error.UnknownObject", c.get(device, DEVICE, "Connected"))
        await expect_error("org.bluez.Error.DoesNotExist",
                           c.bluez(HCI0, ADAPTER, "RemoveDevice", "o", [device]))
    run(scenario, body)


def test_object_manager_and_introspection():
    async def body(sim, c):
        objects = await c.objects()
        assert set(objects) == {"/org/bluez", HCI0}
        assert "org.bluez.AgentManager1" in objects["/org/bluez"]
        assert "org.freedesktop.DBus.Properties" in objects[HCI0]
        xml = (await c.bluez("/org", "org.freedesktop.DBus.Introspectable", "Introspect"))[0]
        assert '<node name="bluez"/>' in xml and '<node name="tavoble"/>' in xml
        xml = (await c.bluez(HCI0, "org.freedesktop.DBus.Introspectable", "Introspect"))[0]
        assert 'name="StartDiscovery"' in xml
        await expect_error("org.freedesktop.DBus.Error.UnknownObject",
                           c.bluez("/org/bluez/hci7", ADAPTER, "StartDiscovery"))
        await expect_error("org.freedesktop.DBus.Error.InvalidArgs", c.get(HCI0, ADAPTER, "NoSuchProperty"))
        await expect_error("org.freedesktop.DBus.Error.PropertyReadOnly",
                           c.bluez(HCI0, PROPS, "Set", "ssv", [ADAPTER, "Address", Variant_s("x")]))
        assert (await c.bluez(HCI0, PROPS, "GetAll", "s", [ADAPTER]))[0]["Address"].value
        await c.bluez("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", "os", ["/agent", "NoInputNoOutput"])
        await expect_error("org.bluez.Error.DoesNotExist",
                           c.bluez("/org/bluez", "org.bluez.AgentManager1", "UnregisterAgent", "o", ["/other"]))
        assert OM
    run(None, body)


def Variant_s(v):
    from dbus_fast import Variant
    return Variant("s", v)


def Variant_b(v):
    from dbus_fast import Variant
    return Variant("b", v)


def Variant_q(v):
    from dbus_fast import Variant
    return Variant("q", v)
