"""Simulated devices for trying scripts and writing tests without hardware.

`Simulator` runs the installed plenko-tq-sim in a process of its own, as a
real device would be, and tells where its devices listen:

    import plenko_tq_testing

    with plenko_tq_testing.Simulator(devices=2, faults=["1/get_name:delay=1500"]) as sim:
        device = sim.connect(1)
        print(device.get_serial_number())

The simulated devices listen on loopback TCP only; they are reached by
address (`Simulator.connect`, `Client.connect`), not by a scan, unless they
are advertised, which is allowed inside a private network namespace only.
With pytest, the fixtures `tq_simulator`, `tq_device` and
`tq_advertised_simulator` come with the package (plenko_tq_testing.pytest_plugin).
"""

from __future__ import annotations

import datetime
import functools
import json
import os
import pathlib
import selectors
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import weakref
from types import TracebackType
from collections import abc
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Type

if TYPE_CHECKING:
    import plenko_tq_api

__all__ = ["Simulator", "SimulatorError", "simulator_path"]

_SIM_NAME = "plenko-tq-sim.exe" if os.name == "nt" else "plenko-tq-sim"
_STOP_WAIT = 10.0  # seconds a stopping simulator gets before it is killed


class SimulatorError(RuntimeError):
    """The simulator cannot be found, refused its arguments, did not get
    ready in time, ended on its own, or was asked for something it cannot do
    in this state (advertising outside a private network namespace, requests
    without log=True, addresses before start)."""


def simulator_path() -> pathlib.Path:
    """The plenko-tq-sim executable that Simulator runs.

    In this order: $PLENKO_TQ_SIM if set; the one pip installed with this
    package, in the running interpreter's scripts directory (the venv's bin,
    or the user scheme's for `pip install --user`); the first on PATH.

    Returns:
        (pathlib.Path): The executable

    Raises:
        SimulatorError: $PLENKO_TQ_SIM names no file, or no simulator is
            installed"""
    configured = os.environ.get("PLENKO_TQ_SIM")
    if configured:
        path = pathlib.Path(configured)
        if not path.is_file():
            raise SimulatorError(f"PLENKO_TQ_SIM is set to {configured}, which is not a file")
        return path
    folders = [sysconfig.get_path("scripts"), sysconfig.get_path("scripts", f"{os.name}_user")]
    for folder in folders:
        candidate = pathlib.Path(folder) / _SIM_NAME
        if candidate.is_file():
            return candidate
    found = shutil.which(_SIM_NAME)
    if found:
        return pathlib.Path(found)
    raise SimulatorError(
        f"{_SIM_NAME} not found in {' or '.join(folders)} nor on PATH: install the plenko-tq-api wheel "
        "into this interpreter's environment, or set PLENKO_TQ_SIM to the executable"
    )


def _in_private_network_namespace() -> bool:
    """Whether this process runs in a network namespace other than the
    machine's initial one, where what the simulator advertises reaches no
    real network. Without the right to look at process 1's namespace, the
    project's namespace harness (scripts/netns) is trusted by its marker."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        return os.stat("/proc/self/ns/net").st_ino != os.stat("/proc/1/ns/net").st_ino
    except OSError:
        return bool(os.environ.get("TQ_NETNS"))


@functools.lru_cache(maxsize=None)
def _command_names(sim: pathlib.Path) -> Dict[int, str]:
    """Request code -> command name, as the simulator lists them; empty for a
    simulator that cannot list them (its log then reads as codes)."""
    try:
        listed = subprocess.run([str(sim), "--list-commands"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return {}
    names: Dict[int, str] = {}
    if listed.returncode == 0:
        for line in listed.stdout.splitlines():
            code, _, name = line.partition(" ")
            if code.isdigit() and name:
                names[int(code)] = name
    return names


def _parse_address(text: str) -> Tuple[str, int]:
    """'127.0.0.1:40001' or '[::1]:40001' as (host, port)."""
    host, _, port = text.rpartition(":")
    return host.strip("[]"), int(port)


def _end_process(process: "subprocess.Popen[str]", workdir: str) -> None:
    """Stops the simulator (SIGTERM, then SIGKILL) and removes its files;
    also run when a Simulator is collected or the interpreter exits while
    the simulator still runs."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=_STOP_WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout is not None:
        process.stdout.close()
    shutil.rmtree(workdir, ignore_errors=True)


class Simulator:
    """Simulated devices in a plenko-tq-sim process of their own.

    A context manager: the with-block starts the simulator (unless start()
    already did) and stops it on exit. Each device listens on its own
    loopback TCP port; `addresses` lists them, `connect` connects to one.

    Parameters:
        devices: How many devices (1 to 256); or their models, a sequence of
            JSON objects with the keys that plenko-tq-sim --config takes (name,
            serial_number, ean, protocol_version, interfaces, faults, ...),
            written to a temporary file; or the path of such a JSON file
        interfaces: Ports per device (default: the models', else 2)
        protocol_version: The version every device reports (1, 2; 0 or 3 for
            an incompatible device)
        faults: Fault specs as plenko-tq-sim --fault takes them,
            "[DEVICE/]COMMAND:KIND[=VALUE][,...]", for example
            "get_name:delay=1500" or "1/update_firmware_send_chunk:close"
        random_faults: "rate=R[,seed=N][,delay=MIN-MAX]" as plenko-tq-sim
            --random-faults takes it
        advertise: Publish the devices by DNS-SD, for scans. Allowed only on
            Linux inside a private network namespace: start() raises
            SimulatorError anywhere else, so a test never publishes on a real
            network
        log: Record every request, for requests()
        extra_args: More plenko-tq-sim arguments, appended as given
        start_timeout: Seconds to wait for the simulator to get ready"""

    def __init__(
        self,
        devices: int | Sequence[Mapping[str, Any]] | os.PathLike[str] | str = 1,
        *,
        interfaces: int | None = None,
        protocol_version: int | None = None,
        faults: Sequence[str] = (),
        random_faults: str | None = None,
        advertise: bool = False,
        log: bool = False,
        extra_args: Sequence[str] = (),
        start_timeout: float = 30.0,
    ) -> None:
        if isinstance(devices, bool) or not isinstance(devices, (int, str, os.PathLike, abc.Sequence)):
            raise TypeError("devices: a count, a sequence of device models or the path of a JSON file")
        self._devices = devices
        self._interfaces = interfaces
        self._protocol_version = protocol_version
        # One spec given as a plain string is one spec, not its characters.
        self._faults = [faults] if isinstance(faults, str) else list(faults)
        self._random_faults = random_faults
        self._advertise = advertise
        self._log = log
        self._extra_args = [extra_args] if isinstance(extra_args, str) else list(extra_args)
        self._start_timeout = start_timeout
        self._sim: Optional[pathlib.Path] = None
        self._process: Optional[subprocess.Popen[str]] = None
        self._workdir: Optional[pathlib.Path] = None
        self._finalizer: Optional[Callable[[], Any]] = None
        self._addresses: List[Tuple[str, int]] = []
        self._final_log = ""

    def _command_line(self, sim: pathlib.Path, workdir: pathlib.Path) -> List[str]:
        cmd = [str(sim)]
        devices = self._devices
        if isinstance(devices, int):
            cmd += ["--devices", str(devices)]
        elif isinstance(devices, (str, os.PathLike)):
            cmd += ["--config", os.fspath(devices)]
        else:
            config = workdir / "devices.json"
            config.write_text(json.dumps({"devices": [dict(d) for d in devices]}))
            cmd += ["--config", str(config)]
        if self._interfaces is not None:
            cmd += ["--interfaces", str(self._interfaces)]
        if self._protocol_version is not None:
            cmd += ["--protocol-version", str(self._protocol_version)]
        for spec in self._faults:
            cmd += ["--fault", spec]
        if self._random_faults is not None:
            cmd += ["--random-faults", self._random_faults]
        if self._log:
            cmd += ["--log", str(workdir / "requests.log")]
        if self._advertise:
            cmd.append("--advertise")
        return cmd + self._extra_args

    def start(self) -> Simulator:
        """Starts the simulator and waits until every device listens (and,
        with advertise=True, is published).

        Returns:
            (Simulator): self, for `sim = Simulator().start()`

        Raises:
            SimulatorError: Already running; advertise=True outside a private
                network namespace; no simulator found (see simulator_path);
                the simulator refused its arguments or did not get ready
                within start_timeout (the message carries what it wrote to
                standard error)"""
        if self._process is not None:
            raise SimulatorError("the simulator is already running")
        if self._advertise and not _in_private_network_namespace():
            raise SimulatorError(
                "advertise=True publishes the simulated devices by mDNS to the whole network; it is allowed only "
                "on Linux inside a private network namespace (ip netns exec ...), and this process runs in the "
                "machine's own"
            )
        sim = simulator_path()
        workdir = pathlib.Path(tempfile.mkdtemp(prefix="plenko-tq-sim-"))
        try:
            cmd = self._command_line(sim, workdir)
            with open(workdir / "stderr", "w") as stderr:
                process = subprocess.Popen(
                    cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr, text=True
                )
        except BaseException:
            shutil.rmtree(workdir, ignore_errors=True)
            raise
        self._sim, self._process, self._workdir = sim, process, workdir
        self._finalizer = weakref.finalize(self, _end_process, process, str(workdir))
        self._final_log = ""
        assert process.stdout is not None
        ready = self._wait_ready(process.stdout)
        if ready is None:
            # Its standard output closes just before it ends.
            try:
                status: Optional[int] = process.wait(timeout=1.0)
            except subprocess.TimeoutExpired:
                status = None
            why = f"ended with status {status}" if status is not None else f"was not ready in {self._start_timeout} s"
            message = f"plenko-tq-sim {why}: {self._stderr().strip() or '(nothing on standard error)'}"
            self._finalizer()
            self._process = None
            raise SimulatorError(message)
        self._addresses = [_parse_address(a) for a in ready]
        return self

    def _wait_ready(self, stdout: IO[str]) -> Optional[List[str]]:
        """The addresses of the READY line, or None if the simulator ended
        or the start timeout passed first."""
        deadline = time.monotonic() + self._start_timeout
        with selectors.DefaultSelector() as selector:
            selector.register(stdout, selectors.EVENT_READ)
            while True:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(timeout=left):
                    return None
                line = stdout.readline()
                if not line:
                    return None
                if line.startswith("READY"):
                    return line.split()[1:]

    def _stderr(self) -> str:
        assert self._workdir is not None
        try:
            return (self._workdir / "stderr").read_text(errors="replace")
        except OSError:
            return ""

    def _read_log(self) -> str:
        assert self._workdir is not None
        try:
            return (self._workdir / "requests.log").read_text()
        except FileNotFoundError:
            return ""

    def stop(self) -> None:
        """Stops the simulator (SIGTERM; SIGKILL after 10 s) and removes its
        temporary files; requests() still answers afterwards. Stopping a
        stopped simulator does nothing.

        Raises:
            SimulatorError: The simulator had already ended on its own with
                an error (a crash), before it was asked to stop"""
        process, finalizer = self._process, self._finalizer
        if process is None or finalizer is None:
            return
        early = process.poll()
        message = f"plenko-tq-sim ended on its own with status {early}: {self._stderr().strip()}"
        if self._log:
            self._final_log = self._read_log()
        finalizer()
        self._process = None
        self._addresses = []
        if early is not None and early != 0:
            raise SimulatorError(message)

    def __enter__(self) -> Simulator:
        if self._process is None:
            self.start()
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.stop()

    @property
    def addresses(self) -> List[Tuple[str, int]]:
        """(host, port) of every device, in device order, as the simulator
        reported them once ready.

        Raises:
            SimulatorError: The simulator is not running"""
        if self._process is None:
            raise SimulatorError("the simulator is not running (start() it or use it in a with-block)")
        return list(self._addresses)

    @property
    def address(self) -> Tuple[str, int]:
        """(host, port) of the first device.

        Raises:
            SimulatorError: The simulator is not running"""
        return self.addresses[0]

    def connect(self, index: int = 0, timeout: datetime.timedelta | None = None) -> plenko_tq_api.Device:
        """Connects to one simulated device by its address, as
        plenko_tq_api.create_client().connect(host, port, timeout) does.

        Parameters:
            index (int): The device, from 0 in the order of `addresses`
            timeout (datetime.timedelta | None): Bounds the connect and every
                wait for an answer; None: the client's connection timeout

        Returns:
            (plenko_tq_api.Device): The connected device; close it when done

        Raises:
            SimulatorError: The simulator is not running
            IndexError: No device with this index
            OperationFailed: The device did not complete the handshake"""
        import plenko_tq_api

        host, port = self.addresses[index]
        return plenko_tq_api.create_client().connect(host, port, timeout)

    def requests(self) -> List[Tuple[int, str, bytes]]:
        """Every request the devices received so far, in arrival order,
        connection handshakes included: (serial number of the device, command
        name such as "get_name" or, for a code without a name, the code in
        decimal, the whole request as sent: header and payload). After stop(),
        what was received until then.

        Raises:
            SimulatorError: The simulator was made without log=True, or never
                started"""
        if not self._log:
            raise SimulatorError("requests() needs Simulator(log=True)")
        if self._sim is None:
            raise SimulatorError("the simulator was never started")
        text = self._read_log() if self._process is not None else self._final_log
        names = _command_names(self._sim)
        out: List[Tuple[int, str, bytes]] = []
        # A line still being written has no newline yet: it comes next time.
        for line in text.split("\n")[:-1]:
            fields = line.split()
            if len(fields) < 2:
                continue
            code = int(fields[1])
            out.append((int(fields[0]), names.get(code, str(code)), bytes.fromhex(fields[2] if len(fields) > 2 else "")))
        return out

