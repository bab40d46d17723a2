"""Client.connect (a device by address, without a scan) and Device.close /
`with`, against plenko-tq-sim on loopback: no DNS-SD, so no namespace."""

import datetime
import socket
import subprocess
import sys

import pytest

from simulator import Simulator, run_child

MS = datetime.timedelta(milliseconds=1)


def endpoint(sim, i=0):
    host, port = sim.endpoints[i].rsplit(":", 1)
    return host, int(port)


@pytest.fixture(scope="module")
def sim():
    with Simulator("--serial", "4242", "--name", "Direct", "--ean", "4062138020019", advertise=False) as s:
        yield s


@pytest.fixture
def device(tq, sim):
    return tq.create_client().connect(*endpoint(sim))


def test_connect_runs_the_scans_handshake_and_gives_a_working_device(tq, sim):
    mark = sim.mark()
    d = tq.create_client().connect(*endpoint(sim))
    assert type(d) is tq.Device
    assert (d.get_serial_number(), d.get_ean(), d.get_name()) == (4242, 0x4062138020019, "Direct")
    assert [command for _, command, _ in sim.requests_since(mark)] == [1, 39, 29, 3]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# The exception follows what failed: not reachable -> OperationFailed; a host
# that cannot be used here -> ValueError; a protocol mismatch ->
# ApiNotAvailableInProtocolVersion. The text names the address.
@pytest.mark.parametrize(
    "target, exception, match",
    [
        ("refused", "OperationFailed", r"^Cannot connect to 127\.0\.0\.1:\d+: Connection refused \(os error 111\)$"),
        ("name", "OperationFailed", r"^Cannot connect to nosuch\.invalid:\d+: name not found \(.+\)$"),
        ("interface", ValueError, r"^Cannot connect to \[fe80::1%tqnosuch0\]:\d+: no network interface named"),
        ("newer", "ApiNotAvailableInProtocolVersion",
         r"^Device at 127\.0\.0\.1:\d+ has newer \(incompatible\) firmware"),
        ("silent", "OperationFailed",
         r"^Device at 127\.0\.0\.1:\d+ failed the handshake: TcpStreamReadError\(\"Failed to read packet header\"\)"),
    ],
)
def test_connect_failures_raise_the_exception_that_fits_naming_the_address(tq, target, exception, match):
    if isinstance(exception, str):
        exception = getattr(tq, exception)
    client = tq.create_client()
    if target in ("newer", "silent"):
        flags = ["--protocol-version", "3"] if target == "newer" else ["--fault", "1:delay=1000"]
        with Simulator(*flags, advertise=False) as s:
            with pytest.raises(exception, match=match):
                client.connect(*endpoint(s), timeout=200 * MS)
            # An incompatible device gets nothing after the version query.
            assert [command for _, command, _ in s.requests()] == [1]
        return
    host = {"refused": "127.0.0.1", "name": "nosuch.invalid", "interface": "fe80::1%tqnosuch0"}[target]
    with pytest.raises(exception, match=match):
        client.connect(host, closed_port())


@pytest.mark.parametrize(
    "args, kwargs, exception",
    [
        ((5000,), {}, TypeError),  # port missing
        ((b"127.0.0.1", None), {}, TypeError),
        (("", None), {}, ValueError),
        (("127.0.0.1\0", None), {}, ValueError),
        ((None, "5000"), {}, TypeError),
        ((None, 0), {}, ValueError),
        ((None, 65536), {}, OverflowError),
        ((None, -1), {}, OverflowError),
        ((None, None, 0.5), {}, TypeError),
        ((None, None), {"timeout": datetime.timedelta(0)}, ValueError),
        ((None, None), {"timeout": datetime.timedelta(seconds=-1)}, ValueError),
        ((None, None), {"timeout": datetime.timedelta.max}, OverflowError),
        ((None, None, None, None), {}, TypeError),
        ((None, None), {"wait": MS}, TypeError),
    ],
)
def test_argument_errors_are_raised_before_anything_is_sent(tq, sim, args, kwargs, exception):
    host, port = endpoint(sim)
    args = tuple(host if a is None and i == 0 else port if a is None and i == 1 else a for i, a in enumerate(args))
    mark = sim.mark()
    with pytest.raises(exception):
        tq.create_client().connect(*args, **kwargs)
    assert sim.requests_since(mark) == []


def test_timeout_bounds_the_answers_of_the_device(tq):
    with Simulator("--fault", "3:delay=600", advertise=False) as s:
        d = tq.create_client().connect(*endpoint(s), timeout=200 * MS)  # the default 1.337 s would wait it out
        with pytest.raises(ValueError, match="TcpStreamReadError"):
            d.get_name()


# ---- close and with ------------------------------------------------------------


def test_a_closed_device_and_its_interfaces_raise_at_once_without_sending(tq, sim, device):
    port = device.get_interfaces()[0]
    mark = sim.mark()
    assert device.close() is None
    device.close()
    calls = [device.get_name, device.get_interfaces, port.get_status, lambda: port.set_loopback_state(True),
             lambda: device.update_firmware_from_blob(b"image", tq.FirmwareUpdateCallbacks())]
    for call in calls:
        with pytest.raises(ValueError, match="^Device was closed: Device.close"):
            call()
    assert sim.requests_since(mark) == []
    assert (device.get_serial_number(), device.get_ean()) == (4242, 0x4062138020019)


def test_with_closes_the_device_and_lets_the_exception_through(tq, device):
    with pytest.raises(KeyError):
        with device as d:
            assert d is device
            assert d.get_name() == "Direct"
            raise KeyError("inside")
    with pytest.raises(ValueError, match="^Device was closed"):
        device.get_name()


def test_close_from_another_thread_waits_for_the_call_in_flight():
    """Thread A updates firmware (the connection lock held throughout, the
    finalize answer delayed); thread B calls close() while A's callback lets
    it run. B must wait for the whole update, with the interpreter lock
    released, and then close. A child process, so a deadlock fails the test
    instead of hanging it."""
    with Simulator("--fault", "53:delay=300", advertise=False) as s:
        _, result, _ = run_child(
            f"""
events = []
device = tq.create_client().connect("{endpoint(s)[0]}", {endpoint(s)[1]})
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
events.append("update returned")
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
    assert result["events"][0] == "FirmwareUpdateResult.Success"
    assert set(result["events"][1:3]) == {"update returned", "closed"}
    assert result["events"][3] == "Device was closed"


def test_connect_by_address_example(sim):
    from tqpaths import REPO

    example = [sys.executable, str(REPO / "examples" / "connect_by_address.py")]
    host, port = endpoint(sim)
    shown = subprocess.run([*example, host, str(port)], capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.splitlines()[:3] == ["EAN       40-62138-02001-9", "serial    4242", "name      Direct"]
    refused = subprocess.run([*example, host, str(closed_port())], capture_output=True, text=True, timeout=60)
    assert refused.returncode == 1
    assert refused.stderr.startswith(f"error: Cannot connect to {host}:") and "Connection refused" in refused.stderr
