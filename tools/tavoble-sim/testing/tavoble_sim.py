"""Starts tavoble-sim (a private D-Bus bus with a simulated BlueZ) for Python tests.

    from tavoble_sim import Simulator

    with Simulator(scenario={"amplifiers": [{"name": "UX-0001.00.01"}]}) as sim:
        # DBUS_SYSTEM_BUS_ADDRESS now names the private bus
        ...
        sim.disconnect_peer("UX-0001.00.01")
        print(sim.counters("UX-0001.00.01")["data"])

pytest::

    @pytest.fixture
    def simulator():
        with Simulator() as sim:
            yield sim

The binary is found through the TAVOBLE_SIM environment variable, or as the
newest build*/bin/tavoble-sim of the repository. Python 3.9 compatible.
"""

import atexit
import ctypes
import glob
import json
import os
import shutil
import signal
import subprocess
import tempfile
from typing import Any, Dict, List, Optional, Tuple, Union

_REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
_CONTROL = ["org.bluez", "/org/tavoble/simulator", "org.tavoble.Simulator1"]


def find_executable() -> str:
    env = os.environ.get("TAVOBLE_SIM")
    if env:
        return env
    candidates = glob.glob(os.path.join(_REPO, "build*", "bin", "tavoble-sim"))
    if not candidates:
        raise FileNotFoundError("tavoble-sim not built; set TAVOBLE_SIM")
    return max(candidates, key=os.path.getmtime)


def _die_with_parent() -> None:
    # PR_SET_PDEATHSIG: the simulator ends with the test process, even on a crash.
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)
    except OSError:
        pass


def central_needs_bus_until_exit() -> bool:
    """True when this process has SimpleBLE loaded as a shared library: its D-Bus
    thread ends the process with exit(1) when the bus goes, and its destructors
    throw on a closed connection, so its bus must stay up until the process ends."""
    try:
        with open("/proc/self/maps") as maps:
            return any("libsimpleble" in line for line in maps)
    except OSError:
        return False


# Simulators left running for a SimpleBLE in this process: they end with it.
_left_until_exit: List["Simulator"] = []


class SimulatorError(RuntimeError):
    """A busctl call failed; the message is busctl's, with the error text."""


class Simulator:
    """One ``tavoble-sim run`` without a command: bus + simulator until stop()."""

    def __init__(
        self,
        scenario: Union[None, str, Dict[str, Any]] = None,
        executable: Optional[str] = None,
        set_environment: bool = True,
    ):
        self.scenario = scenario
        self.executable = executable or find_executable()
        self.set_environment = set_environment
        self.address = ""
        self.process: Optional[subprocess.Popen] = None
        self._temp: Optional[str] = None
        self._socket_dir: Optional[str] = None
        self._previous: Optional[str] = None

    def start(self) -> "Simulator":
        if isinstance(self.scenario, dict):
            fd, self._temp = tempfile.mkstemp(prefix="tavoble-sim-", suffix=".json")
            with os.fdopen(fd, "w") as f:
                json.dump(self.scenario, f)
        # The bus listens in a directory of ours, so a restarted bus has the same address.
        self._socket_dir = tempfile.mkdtemp(prefix="tavoble-bus-")
        self._spawn()
        if self.set_environment:
            self._previous = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS")
            os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        return self

    def _spawn(self) -> None:
        assert self._socket_dir is not None
        socket = os.path.join(self._socket_dir, "bus")
        args = [self.executable, "run", "--bus-socket", socket]
        if self._temp:
            args += ["--scenario", self._temp]
        elif isinstance(self.scenario, str):
            args += ["--scenario", self.scenario]
        self.process = subprocess.Popen(
            args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent
        )
        assert self.process.stdout is not None
        line = self.process.stdout.readline().decode().strip()
        if not line:
            self.process.wait(timeout=10)
            self.process = None
            self._cleanup()
            raise RuntimeError("tavoble-sim did not start")
        # Without the daemon's guid, which a restarted bus does not keep.
        self.address = "unix:path=" + socket

    def stop_bus(self) -> int:
        """The bus daemon goes down with the simulator: every client loses its
        connection. restart_bus() brings both back at the same address."""
        return self._end_process()

    def restart_bus(self) -> None:
        """Stops bus and simulator if running and starts them again at the same
        address, with the scenario of start() in its initial state."""
        self._end_process()
        self._spawn()

    def _end_process(self) -> int:
        status = 0
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                status = self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                status = self.process.wait()
            if self.process.stdout is not None:
                self.process.stdout.close()
            self.process = None
        return status

    def stop(self) -> int:
        """Stops simulator and bus; returns the exit status of tavoble-sim."""
        status = self._end_process()
        self._restore_environment()
        self.address = ""
        self._cleanup()
        return status

    def close(self) -> int:
        """A test's teardown: stop() now, or, when this process uses the bus and
        a SimpleBLE in it would not survive losing it, leave bus and simulator
        up until the process ends (the simulator ends with it) and return 0."""
        if self.process is None or not self.set_environment or not central_needs_bus_until_exit():
            return self.stop()
        self._restore_environment()
        if not _left_until_exit:
            atexit.register(_cleanup_left)
        _left_until_exit.append(self)
        return 0

    def _restore_environment(self) -> None:
        if self.set_environment and self.address:
            if self._previous is None:
                os.environ.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
            else:
                os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = self._previous

    def _cleanup(self) -> None:
        if self._temp:
            os.unlink(self._temp)
            self._temp = None
        if self._socket_dir:
            shutil.rmtree(self._socket_dir, ignore_errors=True)
            self._socket_dir = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, exc_type, *exc) -> None:
        status = self.close()
        # A simulator that failed on its way out (a sanitizer report, say) fails the test.
        if status != 0 and exc_type is None:
            raise RuntimeError("tavoble-sim exited with status %d" % status)

    # ---- calls through busctl (no Python D-Bus library needed) ----

    def busctl(self, *args: str, timeout: float = 30) -> Any:
        """Runs busctl --json=short on this bus; returns the decoded "data" or None."""
        cmd = ["busctl", "--address=" + self.address, "--json=short"] + list(args)
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        if res.returncode != 0:
            raise SimulatorError(res.stderr.strip())
        out = res.stdout.strip()
        if not out:
            return None
        return json.loads(out).get("data")

    def call(self, service: str, path: str, interface: str, method: str, signature: str = "", *args: Any) -> Any:
        argv = ["--", "call", service, path, interface, method]  # "--": negative numbers are no options
        if signature:
            argv.append(signature)
            argv += [_arg(a) for a in args]
        data = self.busctl(*argv)
        if data is None:
            return None
        return data[0] if len(data) == 1 else data

    def control(self, method: str, signature: str = "", *args: Any) -> Any:
        return self.call(*_CONTROL, method, signature, *args)

    def set_powered(self, adapter: str, powered: bool) -> None:
        self.control("SetPowered", "sb", adapter, powered)

    def add_amplifier(self, amplifier: Dict[str, Any]) -> str:
        return self.control("AddAmplifier", "s", json.dumps(amplifier))

    def remove_amplifier(self, name: str) -> None:
        self.control("RemoveAmplifier", "s", name)

    def set_advertising(self, name: str, advertising: bool) -> None:
        self.control("SetAdvertising", "sb", name, advertising)

    def disconnect_peer(self, name: str) -> None:
        self.control("DisconnectPeer", "s", name)

    def set_unreachable(self, name: str, seconds: float) -> None:
        """Out of range for seconds (link lost, silent, connects time out); 0: back now."""
        self.control("SetUnreachable", "sd", name, float(seconds))

    def set_discovering_delay(self, milliseconds: float) -> None:
        self.control("SetDiscoveringDelay", "d", float(milliseconds))

    def remove_adapter(self, adapter: str) -> None:
        """Unplugs adapter "hciN": its links end, its devices and it leave the bus."""
        self.control("RemoveAdapter", "s", adapter)

    def add_adapter(self, adapter: str, address: str) -> str:
        """Plugs in a powered adapter "hciN"; returns its object path."""
        return self.control("AddAdapter", "ss", adapter, address)

    def restart_bluetooth(self, seconds: float) -> None:
        """org.bluez leaves the bus with all its objects and is back after seconds."""
        self.control("RestartBluetooth", "d", float(seconds))

    def set_battery_level(self, name: str, percent: int) -> None:
        self.control("SetBatteryLevel", "sy", name, percent)

    def set_rate(self, name: str, multiplier: float) -> None:
        self.control("SetRate", "sd", name, multiplier)

    def counters(self, name: str) -> Dict[str, int]:
        return self.control("GetCounters", "s", name)

    def reset_counters(self, name: str) -> None:
        self.control("ResetCounters", "s", name)

    def is_connected(self, name: str) -> bool:
        return self.control("IsConnected", "s", name)

    def sent_data(self, name: str, first: int = 0, max_count: int = 1 << 31) -> List[Tuple[int, bytes]]:
        """(CLOCK_MONOTONIC send time in ns, payload) of data notifications from index first."""
        rows = self.control("GetSentData", "stu", name, first, min(max_count, 0xFFFFFFFF))
        return [(int(t), bytes(b)) for t, b in (rows or [])]


def _cleanup_left() -> None:
    for sim in _left_until_exit:
        sim._cleanup()


def _arg(a: Any) -> str:
    if isinstance(a, bool):
        return "true" if a else "false"
    return str(a)

