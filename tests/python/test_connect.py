"""Client.connect (a device by address, without a scan) and Device.close /
`with`, against plenko-tq-sim on loopback: no DNS-SD, so no namespace."""

import datetime
import socket
import subprocess
import sys

import pytest

from simulator import Simulator, run_child
from tqpaths import REPO

MS = datetime.timedelta(milliseconds=1)
DIRECT, NEWER, SILENT = range(3)  # devices of the simulator


@pytest.fixture(scope="module")
def sim():
    devices = [{"name": "Direct", "serial_number": 4242, "ean": "4062138020019"}, {"protocol_version": 3}, {}]
    # The silent device answers the version query too late; the direct one
    # takes 300 ms to finalize a firmware update.
    with Simulator("--fault", "2/1:delay=1000", "--fault", "0/53:delay=300", devices=devices, advertise=False) as s:
        yield s


def endpoint(sim, i=DIRECT):
    host, port = sim.endpoints[i].rsplit(":", 1)
    return host, int(port)


@pytest.fixture
def device(tq, sim):
    return tq.create_client().connect(*endpoint(sim))


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_connect_gives_a_working_device(tq, sim):
    d = tq.create_client().connect(*endpoint(sim))
    assert (type(d), d.get_serial_number(), d.get_ean(), d.get_name()) == (tq.Device, 4242, 0x4062138020019, "Direct")
    # Where it was reached and what it speaks, read without asking it again.
    assert (d.address, d.protocol_version) == (endpoint(sim), 2)
    assert tq.__version__ == tq.get_api_version_string()


# The exception follows what failed: not reachable -> OperationFailed; a host
# that cannot be used here -> ValueError; a protocol mismatch ->
# ApiNotAvailableInProtocolVersion. The text names the address. The silent
# device fails only because of the timeout given (the default would wait).
@pytest.mark.parametrize(
    "host, device, exception, match",
    [
        ("127.0.0.1", None, "OperationFailed", r"^Cannot connect to 127\.0\.0\.1:\d+: Connection refused \("),
        ("nosuch.invalid", None, "OperationFailed", r"^Cannot connect to nosuch\.invalid:\d+: name not found \("),
        ("fe80::1%tqnosuch0", None, "ValueError", r"^Cannot connect to \[fe80::1%tqnosuch0\]:\d+: no network interf"),
        ("localhost", NEWER, "ApiNotAvailableInProtocolVersion",
         r"^Device at localhost:(\d+) \(127\.0\.0\.1:\1\) has newer \(incompatible\) firmware: "),
        ("127.0.0.1", SILENT, "OperationFailed",
         r"^Device at 127\.0\.0\.1:\d+ failed the handshake: TcpStreamReadError\(.*\) \(no answer within 0\.2 s"),
    ],
)
def test_connect_failures_raise_the_exception_that_fits_naming_the_address(tq, sim, host, device, exception, match):
    port = closed_port() if device is None else endpoint(sim, device)[1]
    with pytest.raises(getattr(tq, exception, ValueError), match=match):
        tq.create_client().connect(host, port, timeout=200 * MS)


@pytest.mark.parametrize(
    "args, exception",
    [
        (("127.0.0.1",), TypeError),  # port missing
        ((b"127.0.0.1", "PORT"), TypeError),
        (("", "PORT"), ValueError),
        (("127.0.0.1\0", "PORT"), ValueError),
        (("HOST", "5000"), TypeError),
        (("HOST", 0), ValueError),
        (("HOST", 65536), OverflowError),
        (("HOST", "PORT", 0.5), TypeError),
        (("HOST", "PORT", datetime.timedelta(0)), ValueError),
        (("HOST", "PORT", None, None), TypeError),
    ],
)
def test_argument_errors_are_raised_before_anything_is_sent(tq, sim, args, exception):
    host, port = endpoint(sim)
    mark = sim.mark()
    with pytest.raises(exception):
        tq.create_client().connect(*[{"HOST": host, "PORT": port}.get(a, a) if isinstance(a, str) else a for a in args])
    assert sim.requests_since(mark) == []


def test_a_closed_device_and_its_interfaces_raise_at_once_and_its_identity_stays(device):
    port = device.get_interfaces()[0]
    assert device.close() is None
    device.close()
    for call in (device.get_name, port.get_status):
        with pytest.raises(ValueError, match="^Device was closed: Device.close"):
            call()
    assert (device.get_serial_number(), device.get_ean()) == (4242, 0x4062138020019)


def test_with_closes_the_device_and_lets_the_exception_through(device):
    with pytest.raises(KeyError):
        with device as d:
            assert d is device and d.get_name() == "Direct"
            raise KeyError("inside")
    with pytest.raises(ValueError, match="^Device was closed"):
        device.get_name()


def test_close_from_another_thread_waits_for_the_call_in_flight(sim):
    """A firmware update holds the connection throughout; its callback lets
    thread B run, which calls close(). B must wait, with the interpreter lock
    released, until the update is over. In a child, so a deadlock fails."""
    _, result, _ = run_child(
        f"""
events = []
device = tq.create_client().connect(*{endpoint(sim)!r})
closing = threading.Event()

def close():
    closing.set()
    device.close()
    events.append("closed")

class Callbacks(tq.FirmwareUpdateCallbacks):
    def start_finalizing(self):
        threading.Thread(target=close).start()
        closing.wait()
        time.sleep(0.1)  # B reaches the connection lock and waits there
    def update_finished(self, update_result):
        events.append(repr(update_result))

device.update_firmware_from_blob(bytes(100), Callbacks())
while "closed" not in events:
    time.sleep(0.01)
try:
    device.get_name()
except ValueError as e:
    events.append(str(e).split(":")[0])
report(events=events)
""",
        timeout=30,
    )
    assert result["events"] == ["FirmwareUpdateResult.Success", "closed", "Device was closed"]


def test_connect_by_address_example(sim):
    example = [sys.executable, str(REPO / "examples" / "connect_by_address.py")]
    host, port = endpoint(sim)
    shown = subprocess.run([*example, host, str(port)], capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.splitlines()[:3] == ["EAN       40-62138-02001-9", "serial    4242", "name      Direct"]
    refused = subprocess.run([*example, host, str(closed_port())], capture_output=True, text=True, timeout=60)
    assert refused.returncode == 1
    assert refused.stderr.startswith(f"error: Cannot connect to {host}:") and "Connection refused" in refused.stderr
