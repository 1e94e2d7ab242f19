"""AcquireNotify as BlueZ hands it out: a socket with one notification per
read, exclusive against StartNotify, released by closing, hung up when the link
ends."""

import asyncio
import os
import select
import socket
import time
from typing import List, Tuple

import pytest

from bluez_client import ADAPTER, CHAR, CONFIG, DATA, DEVICE, NAME, Client, DBusError, counter_of, run, values


async def expect_error(name, coro):
    with pytest.raises(DBusError) as e:
        await coro
    assert e.value.name == name, e.value


def read_for(fd: int, seconds: float, size: int = 4096) -> Tuple[List[bytes], bool]:
    """Datagrams read from fd for a while, and whether it was hung up."""
    got = []
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return got, False
        r, _, _ = select.select([fd], [], [], left)
        if not r:
            continue
        data = os.read(fd, size)
        if not data:
            return got, True
        got.append(data)


def test_acquired_socket_carries_every_notification_exclusively_until_closed():
    async def body(sim, c):
        device = await c.connect_device()
        data = await c.char_path(device, DATA)
        config = await c.char_path(device, CONFIG)
        assert await c.get(data, CHAR, "NotifyAcquired") is False
        await expect_error("org.bluez.Error.NotSupported", c.acquire_notify(config))

        start = len(c.events)
        fd, mtu = await c.acquire_notify(data)
        assert mtu == 247
        assert socket.socket(fileno=os.dup(fd)).type == socket.SOCK_SEQPACKET
        await c.wait_for(lambda e: e.path == data and e.changed("NotifyAcquired") is True, start=start)
        ev = c.events[start:]
        assert ev[0].kind == "reply" and ev[0].member == "AcquireNotify"

        # Exclusive: StartNotify and a second AcquireNotify are refused, also from another client.
        other = await Client(sim.address).connect()
        try:
            for client in (c, other):
                await expect_error("org.bluez.Error.NotPermitted", client.bluez(data, CHAR, "StartNotify"))
                await expect_error("org.bluez.Error.NotPermitted", client.acquire_notify(data))
        finally:
            other.close()

        got, hung_up = await asyncio.get_running_loop().run_in_executor(None, read_for, fd, 0.6)
        assert not hung_up and len(got) >= 40
        # One notification per read, as sent, and none through the bus; Value stays untouched.
        sent = [b for _t, b in sim.sent_data(NAME)]
        assert got == sent[:len(got)]
        assert [counter_of(d) for d in got] == list(range(1, len(got) + 1))
        assert values(c.events[start:], data) == []
        assert await c.get(data, CHAR, "Value") == b""
        assert await c.get(data, CHAR, "Notifying") is False

        # Closing releases; StartNotify right after it is accepted and values flow on the bus.
        start = len(c.events)
        os.close(fd)
        await c.bluez(data, CHAR, "StartNotify")
        await c.wait_for(lambda e: e.path == data and e.changed("Value") is not None, start=start)
        assert any(e.changed("NotifyAcquired") is False for e in c.events[start:])
        on_bus = values(c.events[start:], data)
        assert counter_of(on_bus[0]) > len(got)  # the amplifier's counter runs on
        await expect_error("org.bluez.Error.NotPermitted", c.acquire_notify(data))
        await c.bluez(data, CHAR, "StopNotify")
        fd, _ = await c.acquire_notify(data)
        os.close(fd)
    run(None, body)


def test_link_loss_hangs_up_and_reconnection_gives_a_fresh_socket():
    async def body(sim, c):
        device = await c.connect_device()
        data = await c.char_path(device, DATA)
        fd, _ = await c.acquire_notify(data)
        loop = asyncio.get_running_loop()
        await asyncio.sleep(0.2)
        sim.disconnect_peer(NAME)
        got, hung_up = await loop.run_in_executor(None, read_for, fd, 3.0)
        assert hung_up and got  # what was queued before the loss is still read, then the hang-up
        assert got == [b for _t, b in sim.sent_data(NAME)][:len(got)]
        os.close(fd)

        await c.wait_for(lambda e: e.path == device and e.changed("Connected") is False)
        start = len(c.events)
        await c.bluez(device, DEVICE, "Connect")
        await c.wait_for(lambda e: e.path == device and e.changed("ServicesResolved") is True, start=start)
        data = await c.char_path(device, DATA)
        assert await c.get(data, CHAR, "NotifyAcquired") is False
        fd, _ = await c.acquire_notify(data)
        got, hung_up = await loop.run_in_executor(None, read_for, fd, 0.3)
        assert got and not hung_up
        os.close(fd)

        # A client that leaves the bus releases what it acquired; its socket is hung up.
        other = await Client(sim.address).connect()
        fd, _ = await other.acquire_notify(data)
        other.close()
        await c.wait_for(lambda e: e.path == data and e.changed("NotifyAcquired") is False)
        _, hung_up = await loop.run_in_executor(None, read_for, fd, 3.0)
        assert hung_up
        os.close(fd)
    run(None, body)


def test_as_fast_as_possible_through_the_socket_loses_nothing():
    async def body(sim, c):
        device = await c.connect_device()
        data = await c.char_path(device, DATA)
        sim.set_rate(NAME, 0)
        fd, _ = await c.acquire_notify(data)
        got, _ = await asyncio.get_running_loop().run_in_executor(None, read_for, fd, 1.0)
        os.close(fd)
        assert len(got) > 500
        assert [counter_of(d) for d in got] == list(range(1, len(got) + 1))
        assert "socketFull" not in sim.counters(NAME)
    run(None, body)


def test_without_acquire_notify_the_bus_path_is_left(monkeypatch):
    monkeypatch.setenv("TAVOBLE_SIM_NO_ACQUIRE_NOTIFY", "1")

    async def body(sim, c):
        device = await c.connect_device()
        data = await c.char_path(device, DATA)
        objects = await c.objects()
        assert "NotifyAcquired" not in objects[data][CHAR]
        await expect_error("org.bluez.Error.NotSupported", c.acquire_notify(data))
        assert await c.collect(device, DATA, 0.3)
    run(None, body)
