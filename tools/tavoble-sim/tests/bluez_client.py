"""A minimal asyncio BlueZ client on dbus_fast for the simulator's tests: calls,
error names, and every signal from org.bluez with its arrival order."""

import asyncio
import os
import struct
import sys
import time
from typing import Any, Callable, List, Optional, Tuple

from dbus_fast import Message, MessageType, Variant
from dbus_fast.aio import MessageBus

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testing"))

from tavoble_sim import Simulator  # noqa: E402,F401  (re-exported for the tests)

BLUEZ = "org.bluez"
ADAPTER = "org.bluez.Adapter1"
DEVICE = "org.bluez.Device1"
CHAR = "org.bluez.GattCharacteristic1"
PROPS = "org.freedesktop.DBus.Properties"
OM = "org.freedesktop.DBus.ObjectManager"
NAME = "UX-0001.00.01"

AMP_SERVICE = "b5211405-449f-4ba0-a651-b887924b81e8"
DATA = "b5211406-449f-4ba0-a651-b887924b81e8"
CONFIG = "b5211407-449f-4ba0-a651-b887924b81e8"
PAYLOAD = "b5211408-449f-4ba0-a651-b887924b81e8"
CHANNEL = "b5211409-449f-4ba0-a651-b887924b81e8"
FILTER = "b521140a-449f-4ba0-a651-b887924b81e8"


def uuid16(short: str) -> str:
    return "0000%s-0000-1000-8000-00805f9b34fb" % short.lower()


class DBusError(Exception):
    def __init__(self, name: str, text: str):
        super().__init__("%s: %s" % (name, text))
        self.name = name
        self.text = text


class Event:
    def __init__(self, kind: str, path: str, body: List[Any], member: str, interface: str):
        self.kind = kind  # "signal" or "reply"
        self.path = path
        self.body = body
        self.member = member
        self.interface = interface
        self.time = time.monotonic()

    def changed(self, prop: str) -> Any:
        """The value of prop in a PropertiesChanged signal, or None."""
        if self.member != "PropertiesChanged":
            return None
        v = self.body[1].get(prop)
        return None if v is None else v.value

    def __repr__(self) -> str:
        return "<%s %s %s %s>" % (self.kind, self.member, self.path, self.body)


class Client:
    """One bus connection; records every signal of org.bluez, in order."""

    def __init__(self, address: str):
        self.address = address
        self.bus: Optional[MessageBus] = None
        self.events: List[Event] = []
        self._waiters: List[asyncio.Event] = []

    async def connect(self) -> "Client":
        self.bus = await MessageBus(bus_address=self.address, negotiate_unix_fd=True).connect()
        self.bus.add_message_handler(self._on_message)
        await self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch", "s",
                        ["type='signal',sender='org.bluez'"])
        return self

    def close(self) -> None:
        if self.bus is not None:
            self.bus.disconnect()
            self.bus = None

    def _on_message(self, msg: Message) -> bool:
        # Replies are logged here too, on arrival, so that their order among the
        # signals is the order on the wire.
        if msg.message_type == MessageType.SIGNAL and msg.path != "/org/freedesktop/DBus":
            self.events.append(Event("signal", msg.path, msg.body, msg.member, msg.interface))
        elif msg.message_type in (MessageType.METHOD_RETURN, MessageType.ERROR):
            e = Event("reply", "", msg.body, "", "")
            e.serial = msg.reply_serial
            self.events.append(e)
        else:
            return False
        for w in self._waiters:
            w.set()
        return False

    async def call(self, dest: str, path: str, interface: str, member: str, signature: str = "",
                   body: Optional[List[Any]] = None, timeout: float = 10.0) -> List[Any]:
        assert self.bus is not None
        msg = Message(destination=dest, path=path, interface=interface, member=member, signature=signature,
                      body=body or [])
        reply = await asyncio.wait_for(self.bus.call(msg), timeout)
        for e in reversed(self.events):
            if e.kind == "reply" and getattr(e, "serial", None) == msg.serial:
                e.path, e.member, e.interface = path, member, interface
                break
        if reply.message_type == MessageType.ERROR:
            raise DBusError(reply.error_name, reply.body[0] if reply.body else "")
        return reply.body

    async def acquire_notify(self, path: str) -> Tuple[int, int]:
        """AcquireNotify: the socket's descriptor (ours to close) and the MTU."""
        assert self.bus is not None
        msg = Message(destination=BLUEZ, path=path, interface=CHAR, member="AcquireNotify", signature="a{sv}",
                      body=[{}])
        reply = await asyncio.wait_for(self.bus.call(msg), 10.0)
        if reply.message_type == MessageType.ERROR:
            raise DBusError(reply.error_name, reply.body[0] if reply.body else "")
        for e in reversed(self.events):
            if e.kind == "reply" and getattr(e, "serial", None) == msg.serial:
                e.path, e.member, e.interface = path, "AcquireNotify", CHAR
                break
        return reply.unix_fds[reply.body[0]], reply.body[1]

    async def bluez(self, path: str, interface: str, member: str, signature: str = "",
                    body: Optional[List[Any]] = None, timeout: float = 10.0) -> List[Any]:
        return await self.call(BLUEZ, path, interface, member, signature, body, timeout)

    async def get(self, path: str, interface: str, prop: str) -> Any:
        return (await self.bluez(path, PROPS, "Get", "ss", [interface, prop]))[0].value

    async def objects(self) -> dict:
        return (await self.bluez("/", OM, "GetManagedObjects"))[0]

    async def wait_for(self, pred: Callable[[Event], bool], timeout: float = 5.0, start: int = 0) -> Event:
        """The first recorded event from index start on that satisfies pred."""
        deadline = time.monotonic() + timeout
        seen = start
        while True:
            for e in self.events[seen:]:
                if pred(e):
                    return e
            seen = len(self.events)
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no matching event; events: %r" % self.events[-20:])
            w = asyncio.Event()
            self._waiters.append(w)
            try:
                await asyncio.wait_for(w.wait(), left)
            except asyncio.TimeoutError:
                pass
            finally:
                self._waiters.remove(w)

    # ---- common steps ----

    async def discover(self, name: str = NAME, adapter: str = "/org/bluez/hci0") -> str:
        """Starts discovery and returns the device path of the named peer."""
        await self.bluez(adapter, ADAPTER, "StartDiscovery")
        e = await self.wait_for(lambda e: e.member == "InterfacesAdded" and DEVICE in e.body[1]
                                and e.body[1][DEVICE].get("Name", Variant("s", "")).value == name)
        return e.body[0]

    async def connect_device(self, name: str = NAME) -> str:
        path = await self.discover(name)
        await self.bluez("/org/bluez/hci0", ADAPTER, "StopDiscovery")
        await self.bluez(path, DEVICE, "Connect")
        await self.wait_for(lambda e: e.path == path and e.changed("ServicesResolved") is True)
        return path

    async def char_path(self, device: str, uuid: str) -> str:
        for path, ifaces in (await self.objects()).items():
            if path.startswith(device + "/") and CHAR in ifaces and ifaces[CHAR]["UUID"].value == uuid:
                return path
        raise KeyError(uuid)

    async def read(self, device: str, uuid: str) -> bytes:
        path = await self.char_path(device, uuid)
        return bytes((await self.bluez(path, CHAR, "ReadValue", "a{sv}", [{}]))[0])

    async def collect(self, device: str, uuid: str, seconds: float) -> List[bytes]:
        """Subscribes for a while and returns the values notified."""
        path = await self.char_path(device, uuid)
        start = len(self.events)
        await self.bluez(path, CHAR, "StartNotify")
        await asyncio.sleep(seconds)
        await self.bluez(path, CHAR, "StopNotify")
        return values(self.events[start:], path)


def run(scenario, body) -> None:
    """Runs the coroutine function body(sim, client) against a fresh simulator."""
    async def main(sim):
        client = await Client(sim.address).connect()
        try:
            await body(sim, client)
        finally:
            client.close()
    with Simulator(scenario) as sim:
        asyncio.run(main(sim))


def values(events: List[Event], path: str) -> List[bytes]:
    return [bytes(e.changed("Value")) for e in events
            if e.path == path and e.member == "PropertiesChanged" and e.changed("Value") is not None]


def counter_of(payload: bytes, index: int = 7) -> int:
    """The signed 24-bit big-endian sample at index (default: channel 8 of frame 0)."""
    raw = payload[3 * index:3 * index + 3]
    return int.from_bytes(raw, "big", signed=True)


def configuration(value: bytes) -> tuple:
    return struct.unpack("<8H", value[:16])
