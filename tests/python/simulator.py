"""Runs plenko-tq-sim in a separate process and reads what it logged.

The simulator always runs as its own process, like a real device: nothing
of the test process (its interpreter, its threads) can make it answer. With advertise=True it publishes its devices by DNS-SD, which must
only happen inside a private network namespace (scripts/netns).
"""

import datetime
import json
import os
import selectors
import subprocess
import tempfile
import time
from pathlib import Path

from tqpaths import SIM


def in_private_netns():
    return bool(os.environ.get("TQ_NETNS"))


class Simulator:
    def __init__(self, *args, devices=None, advertise=True, log=True, workdir=None):
        """args: plenko-tq-sim flags; devices: a list of device models (JSON);
        log: record every request (off for benchmarks)."""
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="tq-sim-"))
        self.log_path = self.workdir / f"requests-{os.getpid()}-{id(self)}.log"
        cmd = [str(SIM), *(["--log", str(self.log_path)] if log else []), *args]
        if devices is not None:
            config = self.workdir / f"devices-{id(self)}.json"
            config.write_text(json.dumps({"devices": devices}))
            cmd += ["--config", str(config)]
        if advertise:
            assert in_private_netns(), "advertising only inside a private network namespace"
            cmd.append("--advertise")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.endpoints = self._wait_ready(timeout=30)

    def _wait_ready(self, timeout):
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if sel.select(timeout=max(0.0, deadline - time.monotonic())):
                line = self.proc.stdout.readline()
                if line.startswith("READY"):
                    return line.split()[1:]
                if not line:
                    break
        self.stop()
        raise RuntimeError(f"simulator did not get ready: {self.proc.stderr.read()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def requests(self, serial=None):
        """[(serial, command, bytes)] in arrival order, handshakes included."""
        if not self.log_path.exists():
            return []
        out = []
        for line in self.log_path.read_text().splitlines():
            fields = line.split()
            entry = (int(fields[0]), int(fields[1]), bytes.fromhex(fields[2]) if len(fields) > 2 else b"")
            if serial is None or entry[0] == serial:
                out.append(entry)
        return out

    def mark(self):
        """A position in the log; requests_since(mark) gives what came after."""
        return len(self.requests())

    def requests_since(self, mark, serial=None):
        return [r for r in self.requests()[mark:] if serial is None or r[0] == serial]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


SCAN_WAITS_MS = (300, 300, 1000, 1000, 1500, 2000, 3000)


def scan(tq, *serials):
    """Scans until every device with one of `serials` answers and returns
    those, in scan order; other simulators in the namespace are ignored.
    DNS-SD can miss an instance in one scan, so the wait grows on retries."""
    client = tq.create_client()
    found = []
    for wait_ms in SCAN_WAITS_MS:
        found = [d for d in client.scan_for_devices_with_timeout(datetime.timedelta(milliseconds=wait_ms))
                 if d.get_serial_number() in serials]
        if sorted(d.get_serial_number() for d in found) == sorted(serials):
            return found
    raise AssertionError(f"found {[d.get_serial_number() for d in found]} of {serials}")


CHILD_PREAMBLE = """
import datetime, json, os, sys, threading, time
import plenko_tq_api as tq
from simulator import scan
def report(**values):
    # Results go to stderr as one JSON line; stdout holds only what the
    # module itself wrote to file descriptor 1.
    sys.stderr.write("RESULT " + json.dumps(values) + "\\n")
    sys.stderr.flush()
"""


INTERRUPT_AFTER = 0.5  # seconds; see interrupted_child


def interrupted_child(setup, call, timeout=60):
    """Runs `setup` (statements), then `call` (an expression) in a child
    whose own SIGINT, as Ctrl-C sends it, arrives INTERRUPT_AFTER seconds
    into the call. Returns what the child saw: interrupted (whether the call
    raised KeyboardInterrupt), seconds (until it ended), events (what `cb`,
    a callbacks object defined for the call, was told) and next (a
    get_firmware_version on `d` afterwards, if setup defines `d`)."""
    return run_child(
        f"""
import signal
# As in an interactive interpreter, also where the harness ignores SIGINT.
signal.signal(signal.SIGINT, signal.default_int_handler)
class Recorder(tq.FirmwareUpdateCallbacks):
    events = []
    def start_finalizing(self): self.events.append("finalizing")
    def update_finished(self, r): self.events.append("finished " + repr(r).split(".")[-1])
cb = Recorder()
{setup}
threading.Timer({INTERRUPT_AFTER}, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    {call}
    interrupted = False
except KeyboardInterrupt:
    interrupted = True
seconds = time.monotonic() - start
after = d.get_firmware_version() if "d" in globals() else None
report(interrupted=interrupted, seconds=seconds, events=cb.events, next=after)
""",
        timeout,
    )[1]


def run_child(code, timeout=60):
    """Runs `code` in a fresh interpreter (same namespace, same module).
    Returns (stdout lines, the dict the child passed to report(), stderr).
    A child still running after `timeout` seconds is killed and fails the
    test, so a deadlock cannot hang the suite."""
    import subprocess
    import sys

    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD_PREAMBLE + code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError(f"child did not finish within {timeout} s (deadlock?)\nstdout:\n{out}\nstderr:\n{err}")
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{err}"
    result = {}
    for line in err.splitlines():
        if line.startswith("RESULT "):
            result.update(json.loads(line[len("RESULT ") :]))
    return out.splitlines(), result, err
