"""asyncio forms of plenko_tq_api.

Every operation of the client, of a Device and of an Interface is a
coroutine here, with the same name, arguments, results and exceptions:

    import asyncio, datetime, plenko_tq_aio as tq

    async def main():
        client = tq.create_client()
        for device in await client.scan_for_devices_with_timeout(datetime.timedelta(milliseconds=300)):
            async with device:
                print(await device.get_name())

    asyncio.run(main())

Each device's calls run one after another, in the order they were made, on a
worker thread of that device (its interfaces share it); calls on different
devices run at the same time. The event loop never waits on the network.
Cancelling a task that awaits a call stops the call as Ctrl-C would: a
waiting call gives up within 0.2 s (the device's connection is closed and the
next call reconnects), a firmware transfer stops between chunks, a finalize
runs to its answer. The task sees CancelledError at once; the device's next
call starts once the stopped one has ended.

A firmware update's callbacks run on the event loop's thread, in their
designed order, before the update's own await returns. The synchronous
objects stay reachable as `.sync`.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import datetime
import queue
import threading
from typing import Any, Callable, List, Optional, Tuple, TypeVar

import plenko_tq_api as _tq

__all__ = ["Client", "Device", "Interface", "create_client"]

_T = TypeVar("_T")
_Job = Tuple["concurrent.futures.Future[Any]", Callable[..., Any], Tuple[Any, ...]]


class _Worker:
    """One thread that runs the calls given to it in order, started by the first."""

    def __init__(self, name: str) -> None:
        self._jobs: "queue.SimpleQueue[Optional[_Job]]" = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._running: Optional[concurrent.futures.Future[Any]] = None
        self._thread = threading.Thread(target=self._serve, name=name, daemon=True)
        self._ident = 0

    def _serve(self) -> None:
        ident = threading.get_ident()
        while True:
            job = self._jobs.get()
            if job is None:
                return
            future, fn, args = job
            with self._lock:
                if not future.set_running_or_notify_cancel():
                    continue  # cancelled before it started
                self._running = future
            try:
                result = fn(*args)
            except BaseException as error:  # noqa: B902 - handed to the awaiting task
                outcome: Tuple[bool, Any] = (False, error)
            else:
                outcome = (True, result)
            with self._lock:
                self._running = None
                _tq._interrupt_thread(ident, False)  # a stop that came too late concerns no later call
            if outcome[0]:
                future.set_result(outcome[1])
            else:
                future.set_exception(outcome[1])

    def submit(self, fn: Callable[..., _T], *args: Any) -> "concurrent.futures.Future[_T]":
        future: concurrent.futures.Future[_T] = concurrent.futures.Future()
        self._jobs.put((future, fn, args))
        with self._lock:
            if not self._ident:
                self._thread.start()
                self._ident = self._thread.ident or 0
        return future

    def stop(self, future: "concurrent.futures.Future[Any]") -> None:
        """Stops the call of `future`: running, as Ctrl-C would; queued, before it starts."""
        with self._lock:
            if self._running is future:
                _tq._interrupt_thread(self._ident, True)
            else:
                future.cancel()

    def close(self) -> None:
        self._jobs.put(None)  # a worker never started ignores it


async def _run(worker: _Worker, fn: Callable[..., _T], *args: Any) -> _T:
    future = worker.submit(fn, *args)
    try:
        return await asyncio.wrap_future(future)
    except asyncio.CancelledError:
        worker.stop(future)
        raise


def _same_docs(cls: type, sync_class: type) -> None:
    """Each coroutine says what the synchronous method of its name says."""
    for name, member in vars(cls).items():
        if not name.startswith("_") and callable(member) and member.__doc__ is None:
            member.__doc__ = getattr(sync_class, name).__doc__


class _OnLoop(_tq.FirmwareUpdateCallbacks):
    """Delivers an update's callbacks to the event loop's thread, in order."""

    _target: Any
    _loop: asyncio.AbstractEventLoop

    @classmethod
    def forwarding(cls, target: Any, loop: asyncio.AbstractEventLoop) -> "_OnLoop":
        # The base class takes no constructor arguments.
        forwarder = cls()
        forwarder._target, forwarder._loop = target, loop
        return forwarder

    def _post(self, name: str, *args: Any) -> None:
        self._loop.call_soon_threadsafe(getattr(self._target, name), *args)

    def update_started(self, total_bytes: int) -> None:
        self._post("update_started", total_bytes)

    def report_progress(self, total_transferred_bytes: int) -> None:
        self._post("report_progress", total_transferred_bytes)

    def start_finalizing(self) -> None:
        self._post("start_finalizing")

    def update_finished(self, update_result: _tq.FirmwareUpdateResult) -> None:
        self._post("update_finished", update_result)


class Interface:
    """An interface of a Device; its calls run on the device's worker, in order with the device's."""

    def __init__(self, sync: _tq.Interface, worker: _Worker) -> None:
        self.sync = sync
        self._worker = worker

    async def identify(self) -> None:
        return await _run(self._worker, self.sync.identify)
    async def get_nickname(self) -> str:
        return await _run(self._worker, self.sync.get_nickname)
    async def set_nickname(self, nickname: str) -> None:
        return await _run(self._worker, self.sync.set_nickname, nickname)
    async def reset_nickname(self) -> None:
        return await _run(self._worker, self.sync.reset_nickname)
    async def get_status(self) -> _tq.InterfaceStatus:
        return await _run(self._worker, self.sync.get_status)
    async def get_eth_config(self) -> _tq.EthInterfaceConfig:
        return await _run(self._worker, self.sync.get_eth_config)
    async def set_eth_config(self, config: _tq.EthInterfaceConfig) -> None:
        return await _run(self._worker, self.sync.set_eth_config, config)
    async def get_supported_eth_configs(self) -> _tq.EthInterfaceConfig:
        return await _run(self._worker, self.sync.get_supported_eth_configs)
    async def get_tc10_state(self) -> _tq.Tc10State:
        return await _run(self._worker, self.sync.get_tc10_state)
    async def send_tc10_command(self, command: _tq.Tc10Command) -> None:
        return await _run(self._worker, self.sync.send_tc10_command, command)
    async def read_dcq(self) -> _tq.DcqReading:
        return await _run(self._worker, self.sync.read_dcq)
    async def run_cable_test(self) -> _tq.CableTestResult:
        return await _run(self._worker, self.sync.run_cable_test)
    async def get_loopback_state(self) -> bool:
        return await _run(self._worker, self.sync.get_loopback_state)
    async def set_loopback_state(self, enabled: bool) -> None:
        return await _run(self._worker, self.sync.set_loopback_state, enabled)
    async def get_packet_generator_config(self) -> _tq.PacketGeneratorConfig:
        return await _run(self._worker, self.sync.get_packet_generator_config)
    async def set_packet_generator_config(self, config: _tq.PacketGeneratorConfig) -> None:
        return await _run(self._worker, self.sync.set_packet_generator_config, config)


class Device:
    """A device whose calls run in order on a worker thread of its own."""

    def __init__(self, sync: _tq.Device) -> None:
        self.sync = sync
        self._worker = _Worker("plenko-tq device")

    async def get_name(self) -> str:
        return await _run(self._worker, self.sync.get_name)
    async def get_nickname(self) -> str:
        return await _run(self._worker, self.sync.get_nickname)
    async def set_nickname(self, nickname: str) -> None:
        return await _run(self._worker, self.sync.set_nickname, nickname)
    async def reset_nickname(self) -> None:
        return await _run(self._worker, self.sync.reset_nickname)
    async def get_serial_number(self) -> int:
        return await _run(self._worker, self.sync.get_serial_number)
    async def get_pcb_revision(self) -> str:
        return await _run(self._worker, self.sync.get_pcb_revision)
    async def get_firmware_version(self) -> str:
        return await _run(self._worker, self.sync.get_firmware_version)
    async def get_bootloader_version(self) -> str:
        return await _run(self._worker, self.sync.get_bootloader_version)
    async def get_manufacturing_date(self) -> datetime.datetime:
        return await _run(self._worker, self.sync.get_manufacturing_date)
    async def get_ean(self) -> int:
        return await _run(self._worker, self.sync.get_ean)
    async def get_firmware_ean(self) -> int:
        return await _run(self._worker, self.sync.get_firmware_ean)
    async def identify(self) -> None:
        return await _run(self._worker, self.sync.identify)

    async def get_interfaces(self) -> List[Interface]:
        return [Interface(i, self._worker) for i in await _run(self._worker, self.sync.get_interfaces)]

    async def update_firmware_from_blob(self, blob: bytes, callbacks: _tq.FirmwareUpdateCallbacks) -> None:
        on_loop = _OnLoop.forwarding(callbacks, asyncio.get_running_loop())
        await _run(self._worker, self.sync.update_firmware_from_blob, blob, on_loop)

    async def update_firmware_from_path(self, path: str, callbacks: _tq.FirmwareUpdateCallbacks) -> None:
        on_loop = _OnLoop.forwarding(callbacks, asyncio.get_running_loop())
        await _run(self._worker, self.sync.update_firmware_from_path, path, on_loop)

    async def close(self) -> None:
        """Closes the device once the calls made before have ended, and ends its worker."""
        try:
            await _run(self._worker, self.sync.close)
        finally:
            self._worker.close()

    async def __aenter__(self) -> "Device":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()


class Client:
    """The client; each scan or connect runs on a thread of its own."""

    def __init__(self, sync: Optional[_tq.Client] = None) -> None:
        self.sync = sync if sync is not None else _tq.create_client()

    async def _once(self, fn: Callable[..., _T], *args: Any) -> _T:
        worker = _Worker("plenko-tq scan")
        try:
            return await _run(worker, fn, *args)
        finally:
            worker.close()

    async def scan_for_devices(self) -> List[Device]:
        return [Device(d) for d in await self._once(self.sync.scan_for_devices)]

    async def scan_for_devices_with_timeout(self, timeout: datetime.timedelta) -> List[Device]:
        return [Device(d) for d in await self._once(self.sync.scan_for_devices_with_timeout, timeout)]

    async def connect(self, host: str, port: int, timeout: Optional[datetime.timedelta] = None) -> Device:
        return Device(await self._once(self.sync.connect, host, port, timeout))


for _cls, _sync in ((Interface, _tq.Interface), (Device, _tq.Device), (Client, _tq.Client)):
    _same_docs(_cls, _sync)


def create_client() -> Client:
    """Creates a client whose operations are coroutines."""
    return Client()
