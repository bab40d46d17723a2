"""Firmware updates through the callbacks bridge. Each update runs in a child
interpreter so that what the module writes to standard output (fd 1) is
captured exactly as a user would see it."""

import re
import struct

import pytest

from simulator import Simulator, run_child

# serial -> model; each device has its own firmware behaviour.
CHUNK4, FINALIZE3, BIGCHUNK, DEADLOCK = 8001, 8002, 8003, 8004
MODELS = [
    {"serial_number": CHUNK4, "chunk_size": 4},
    {"serial_number": FINALIZE3, "chunk_size": 4, "finalize_status": 3},
    {"serial_number": BIGCHUNK, "chunk_size": 4088},
    {"serial_number": DEADLOCK, "chunk_size": 16, "interfaces": [{}]},
]

FAILED_LINE = re.compile(
    r"^Failed to call python function with error PyErr \{ type: <class '(\w+)'>, value: (.*), "
    r"traceback: (None|Some\(<traceback object at 0x[0-9a-f]+>\)) \}$"
)


@pytest.fixture(scope="module")
def sim():
    with Simulator(devices=MODELS) as s:
        yield s


def chunks_sent(sim, mark, serial):
    """(index, bytes) of every chunk request since mark."""
    out = []
    for _, command, raw in sim.requests_since(mark, serial=serial):
        if command == 51:
            index, length = struct.unpack_from("<HH", raw, 4)
            out.append((index, raw[8 : 8 + length]))
    return out


def update_script(serial, callbacks_class, blob="bytes(range(10))", call="update_firmware_from_blob", extra=""):
    return f"""
(device,) = scan(tq, {serial})
{callbacks_class}
cb = Callbacks()
error = None
try:
    result = device.{call}({blob}, cb)
except BaseException as e:
    error = [type(e).__name__, str(e)]
    result = None
{extra}
report(result=result, error=error, events=getattr(cb, "events", None))
"""


RECORDING = """
class Callbacks(tq.FirmwareUpdateCallbacks):
    def __init__(self):
        self.events = []
    def update_started(self, n):
        self.events.append(["started", n])
    def report_progress(self, n):
        self.events.append(["progress", n])
    def start_finalizing(self):
        self.events.append(["finalizing"])
    def update_finished(self, r):
        assert r is getattr(tq.FirmwareUpdateResult, repr(r).split(".")[1])
        self.events.append(["finished", repr(r)])
"""


def test_ten_bytes_in_chunks_of_four(sim):
    mark = sim.mark()
    lines, result, _ = run_child(update_script(CHUNK4, RECORDING))
    assert lines == []
    assert result["error"] is None and result["result"] is None
    assert result["events"] == [
        ["started", 10],
        ["progress", 4],
        ["progress", 8],
        ["progress", 10],
        ["finalizing"],
        ["finished", "FirmwareUpdateResult.Success"],
    ]
    assert chunks_sent(sim, mark, CHUNK4) == [(0, bytes(range(4))), (1, bytes(range(4, 8))), (2, bytes([8, 9]))]
    commands = [c for _, c, _ in sim.requests_since(mark, serial=CHUNK4) if c in (49, 51, 53)]
    assert commands == [49, 51, 51, 51, 53]


def test_finished_receives_the_cached_member(sim):
    script = update_script(
        CHUNK4,
        """
class Callbacks(tq.FirmwareUpdateCallbacks):
    seen = None
    def update_finished(self, r):
        type(self).seen = r
""",
        extra="report(same=Callbacks.seen is tq.FirmwareUpdateResult.Success, error=error)",
    )
    lines, result, _ = run_child(script)
    # The inherited defaults succeed: no line at all.
    assert lines == []
    assert result["same"] is True and result["error"] is None


def test_object_with_only_report_progress(sim):
    script = update_script(
        CHUNK4,
        """
class Callbacks:
    def __init__(self):
        self.events = []
    def report_progress(self, n):
        self.events.append(["progress", n])
""",
    )
    lines, result, _ = run_child(script)
    assert result["error"] is None
    assert result["events"] == [["progress", 4], ["progress", 8], ["progress", 10]]
    assert len(lines) == 3
    for line, name in zip(lines, ["update_started", "start_finalizing", "update_finished"]):
        m = FAILED_LINE.match(line)
        assert m, line
        assert m.group(1) == "AttributeError"
        assert name in m.group(2)
        assert m.group(3) == "None"


def test_raising_progress_reports_one_line_per_chunk(sim):
    script = update_script(
        CHUNK4,
        """
class Callbacks(tq.FirmwareUpdateCallbacks):
    def report_progress(self, n):
        raise ValueError(f"boom {n}")
""",
    )
    lines, result, _ = run_child(script)
    assert result["error"] is None
    assert len(lines) == 3
    for line, n in zip(lines, [4, 8, 10]):
        m = FAILED_LINE.match(line)
        assert m, line
        assert m.group(1) == "ValueError"
        assert m.group(2) == f"ValueError('boom {n}')"
        assert m.group(3).startswith("Some(<traceback object at 0x")


@pytest.mark.parametrize("exc", ["KeyboardInterrupt", "SystemExit"])
def test_even_interrupts_in_callbacks_are_consumed(sim, exc):
    script = update_script(
        CHUNK4,
        f"""
class Callbacks(tq.FirmwareUpdateCallbacks):
    def start_finalizing(self):
        raise {exc}("stop")
""",
    )
    lines, result, _ = run_child(script)
    assert result["error"] is None
    assert len(lines) == 1
    assert FAILED_LINE.match(lines[0]).group(1) == exc


def test_callbacks_are_looked_up_at_call_time(sim):
    script = update_script(
        CHUNK4,
        """
class Callbacks:
    def __init__(self):
        self.events = []
        # A plain callable stored on the instance, and a method that
        # rebinds another one while the update runs.
        self.update_started = lambda n: self.events.append(["started", n])
    def report_progress(self, n):
        self.events.append(["progress", n])
        self.report_progress = lambda n: self.events.append(["rebound", n])
    def start_finalizing(self):
        self.events.append(["finalizing"])
    def update_finished(self, r):
        self.events.append(["finished", repr(r)])
""",
    )
    lines, result, _ = run_child(script)
    assert lines == []
    assert result["events"] == [
        ["started", 10],
        ["progress", 4],
        ["rebound", 8],
        ["rebound", 10],
        ["finalizing"],
        ["finished", "FirmwareUpdateResult.Success"],
    ]


def test_finalize_failure(sim):
    lines, result, _ = run_child(update_script(FINALIZE3, RECORDING))
    assert lines == []
    assert result["error"] == ["OperationFailed", "Operation failed"]
    assert result["events"][-1] == ["finished", "FirmwareUpdateResult.UnknownError"]


def test_update_from_path(sim, tmp_path):
    image = bytes(range(256)) * 3
    path = tmp_path / "fw.img"
    path.write_bytes(image)
    mark = sim.mark()
    lines, result, _ = run_child(update_script(BIGCHUNK, RECORDING, blob=repr(str(path)), call="update_firmware_from_path"))
    assert lines == [] and result["error"] is None
    assert result["events"][0] == ["started", len(image)]
    assert b"".join(c for _, c in chunks_sent(sim, mark, BIGCHUNK)) == image


@pytest.mark.parametrize(
    "call, blob, message",
    [
        ("update_firmware_from_blob", "bytearray(b'abc')", "argument 'blob': "),
        ("update_firmware_from_blob", "memoryview(b'abc')", "argument 'blob': "),
        ("update_firmware_from_blob", "'abc'", "argument 'blob': "),
        ("update_firmware_from_path", "__import__('pathlib').Path('/tmp/x')", "argument 'path': "),
        ("update_firmware_from_path", "b'/tmp/x'", "argument 'path': "),
    ],
)
def test_wrong_argument_types_send_nothing_and_call_nothing(sim, call, blob, message):
    mark = sim.mark()
    lines, result, _ = run_child(update_script(BIGCHUNK, RECORDING, blob=blob, call=call))
    assert lines == []
    assert result["error"][0] == "TypeError"
    assert result["error"][1].startswith(message)
    assert result["events"] == []
    assert [c for _, c, _ in sim.requests_since(mark, serial=BIGCHUNK)] == [1, 39, 29]  # the handshake only


def test_callback_waiting_for_another_thread_on_the_same_device_does_not_deadlock(sim):
    # While a callback sleeps (the interpreter lock released), another thread
    # calls the same device and its interface. That thread must wait for the
    # connection without holding the interpreter lock, or neither could go on.
    script = f"""
(device,) = scan(tq, {DEADLOCK})
(port,) = device.get_interfaces()
answers = []
stop = threading.Event()
def other():
    while not stop.is_set():
        answers.append(device.get_name())
        answers.append(port.get_status().interface_type is tq.InterfaceType.T1)
class Callbacks(tq.FirmwareUpdateCallbacks):
    def report_progress(self, n):
        time.sleep(0.02)
worker = threading.Thread(target=other)
worker.start()
time.sleep(0.05)
device.update_firmware_from_blob(bytes(160), Callbacks())
stop.set()
worker.join()
report(answers=len(answers), good=all(a in ("TQ Ethernet Interface", True) for a in answers))
"""
    lines, result, _ = run_child(script, timeout=60)
    assert lines == []
    assert result["good"] is True
    assert result["answers"] > 0


def test_callback_using_the_updating_device_itself_fails_at_once(sim):
    # Same thread: the connection is held by this very update, so the call is
    # refused instead of waiting forever; the refusal is reported like any
    # other callback failure and the update completes.
    script = update_script(
        DEADLOCK,
        """
class Callbacks(tq.FirmwareUpdateCallbacks):
    def start_finalizing(self):
        device.get_name()
""",
    )
    lines, result, _ = run_child(script, timeout=60)
    assert result["error"] is None
    assert len(lines) == 1
    m = FAILED_LINE.match(lines[0])
    assert m.group(1) == "ValueError"
    assert "FailedToAquireLock" in m.group(2)
