"""Every Device method against simulated devices: the values, the bytes each
call put on the wire (from the simulator's log), and the exception each kind
of device answer raises."""

import datetime
import gc
import struct

import pytest

from simulator import Simulator, run_child, scan

UTC = datetime.timezone.utc
EAN = "4062138020019"
EAN_WIRE = 0x4062138020019

MODELS = [
    {
        "name": "Bench A",
        "nickname": "left",
        "serial_number": 5001,
        "ean": EAN,
        "firmware_ean": "4062138020026",
        "firmware_version": "2.4.1",
        "bootloader_version": "1.0.3",
        "pcb_revision": "B",
        "manufacturing_date": 1_700_000_000,
        "protocol_version": 2,
        "interfaces": [{}, {}, {"type": 2}],
    },
    {"name": "Old B", "serial_number": 5002, "ean": EAN, "protocol_version": 1, "manufacturing_date": 0},
    {"name": "Zero", "serial_number": 9, "ean": "1234567890128", "protocol_version": 2, "interfaces": []},
]


@pytest.fixture(scope="module")
def lab(tq):
    with Simulator(devices=MODELS) as sim:
        devices = scan(tq, 5001, 5002, 9)
        yield sim, {d.get_serial_number(): d for d in devices}, devices


@pytest.fixture
def v2(lab):
    return lab[1][5001]


@pytest.fixture
def v1(lab):
    return lab[1][5002]


def header(command, payload=b""):
    return struct.pack("<HH", command, len(payload)) + payload


def text(s):
    raw = s.encode()
    return struct.pack("<H", len(raw)) + raw


def test_scan_returns_devices_sorted_by_ean_then_serial(lab):
    _, _, devices = lab
    assert [d.get_serial_number() for d in devices] == [9, 5001, 5002]
    assert [d.get_ean() for d in devices] == [0x1234567890128, EAN_WIRE, EAN_WIRE]


@pytest.mark.parametrize(
    "method, expected, request_bytes",
    [
        ("get_name", "Bench A", header(3)),
        ("get_nickname", "left", header(81)),
        ("get_firmware_version", "2.4.1", header(33)),
        ("get_bootloader_version", "1.0.3", header(37)),
        ("get_pcb_revision", "B", header(41)),
        ("get_firmware_ean", 0x4062138020026, header(9)),
        ("get_manufacturing_date", datetime.datetime(2023, 11, 14, 22, 13, 20, tzinfo=UTC), header(69)),
        ("identify", None, header(7)),
    ],
)
def test_device_request_and_result(lab, v2, method, expected, request_bytes):
    sim = lab[0]
    mark = sim.mark()
    result = getattr(v2, method)()
    assert result == expected
    assert type(result) is type(expected)
    assert sim.requests_since(mark) == [(5001, request_bytes[0], request_bytes)]


def test_manufacturing_date_is_tz_aware_utc(v2, v1):
    date = v2.get_manufacturing_date()
    assert date.tzinfo is datetime.timezone.utc
    assert date.utcoffset() == datetime.timedelta(0)
    assert v1.get_manufacturing_date() == datetime.datetime(1970, 1, 1, tzinfo=UTC)


@pytest.mark.parametrize("method, value", [("get_serial_number", 5001), ("get_ean", EAN_WIRE)])
def test_cached_identity_sends_nothing(lab, v2, method, value):
    sim = lab[0]
    mark = sim.mark()
    for _ in range(3):
        assert getattr(v2, method)() == value
    assert sim.requests_since(mark) == []


@pytest.mark.parametrize(
    "nickname",
    ["Bench", "", "Grüße ✓", "x" * 127],
)
def test_set_nickname_round_trip(lab, v2, nickname):
    sim = lab[0]
    mark = sim.mark()
    assert v2.set_nickname(nickname) is None
    assert v2.get_nickname() == nickname
    assert sim.requests_since(mark) == [(5001, 5, header(5, text(nickname))), (5001, 81, header(81))]


def test_set_nickname_by_keyword_and_reset(lab, v2):
    sim = lab[0]
    v2.set_nickname(nickname="kw")
    assert v2.get_nickname() == "kw"
    mark = sim.mark()
    assert v2.reset_nickname() is None
    assert sim.requests_since(mark) == [(5001, 5, bytes.fromhex("050002000000"))]
    assert v2.get_nickname() == ""


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((5,), {}, TypeError, "^argument 'nickname': "),
        ((b"x",), {}, TypeError, "^argument 'nickname': "),
        ((None,), {}, TypeError, "^argument 'nickname': "),
        (("\ud800",), {}, UnicodeEncodeError, ""),
        ((), {}, TypeError, "nickname"),
        (("a", "b"), {}, TypeError, ""),
        ((), {"name": "a"}, TypeError, "name"),
        (("a",), {"nickname": "b"}, TypeError, "nickname"),
        # Refused by the client before anything is encoded.
        (("a\0b",), {}, ValueError, r'^Unknown error type Utf8Error\("Failed to encode a\\0b as utf-8 cstring"\)$'),
        # Longer than a reply can carry back: every later read would fail.
        (("n" * 128,), {}, ValueError, r"^Unknown error type ApiError\(\"A nickname may be at most 127 bytes"),
    ],
)
def test_set_nickname_refusals_send_nothing(lab, v2, args, kwargs, error, match):
    sim = lab[0]
    mark = sim.mark()
    with pytest.raises(error, match=match or None):
        v2.set_nickname(*args, **kwargs)
    assert sim.requests_since(mark) == []


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.get_nickname(),
        lambda d: d.set_nickname("x"),
        lambda d: d.reset_nickname(),
    ],
)
def test_protocol_1_device_lacks_nickname_and_sends_nothing(tq, lab, v1, call):
    sim = lab[0]
    mark = sim.mark()
    with pytest.raises(tq.ApiNotAvailableInProtocolVersion, match="^Operation not supported in older firmware$"):
        call(v1)
    assert sim.requests_since(mark) == []


def test_get_interfaces_builds_new_objects_in_index_order(tq, lab, v2):
    sim = lab[0]
    mark = sim.mark()
    first = v2.get_interfaces()
    second = v2.get_interfaces()
    assert [type(i) for i in first] == [tq.Interface] * 3
    assert all(a is not b for a, b in zip(first, second))
    assert sim.requests_since(mark) == [(5001, 13, header(13))] * 2
    # Index order: the third port is the T port of the model.
    assert [i.get_status().interface_type for i in first] == [tq.InterfaceType.T1, tq.InterfaceType.T1, tq.InterfaceType.T]


def test_get_interfaces_with_zero_ports_is_empty(lab):
    assert lab[1][9].get_interfaces() == []


def test_device_objects_use_identity_and_default_repr(tq, lab, v2):
    assert repr(v2).startswith("<plenko_tq_api.Device object at 0x")
    assert v2 == v2
    assert v2 != lab[1][5002]
    with pytest.raises(AttributeError):
        v2.extra = 1


def test_two_scans_give_independent_devices(tq, lab):
    sim, by_serial, _ = lab
    again = {d.get_serial_number(): d for d in scan(tq, 5001, 5002, 9)}
    assert again[5001] is not by_serial[5001]
    assert again[5001].get_name() == by_serial[5001].get_name() == "Bench A"


def test_interfaces_outlive_their_device_object(tq):
    with Simulator(devices=[{"serial_number": 77, "interfaces": [{}]}]):
        (device,) = scan(tq, 77)
        (port,) = device.get_interfaces()
        del device
        gc.collect()
        assert port.get_status().interface_type is tq.InterfaceType.T1


def test_cached_values_survive_a_vanished_device(tq):
    sim = Simulator(devices=[{"serial_number": 78, "ean": EAN}])
    try:
        (device,) = scan(tq, 78)
    finally:
        sim.stop()
    assert device.get_serial_number() == 78
    assert device.get_ean() == EAN_WIRE
    with pytest.raises(tq.DeviceConnectionLost, match=r"^Unknown error type TcpStream(Read|Write)Error\("):
        device.get_name()


# ---- each device answer and the exception it raises -----------------------------

# (serial, fault on one command, the call, exception, exact message)
FAULTS = [
    (601, "7:status=3", "identify", "OperationFailed", "Operation failed"),
    (602, "7:status=5", "identify", "OperationNotSupportedByDevice", "Operation failed"),
    (603, "7:status=4", "identify", "OperationNotSupportedByDevice", "Operation failed"),
    (604, "7:status=2", "identify", ValueError, 'Unknown error type ApiError("Encountered an unspecified error")'),
    (605, "5:status=6", "reset_nickname", "OperationNotSupportedByInterface", "Operation not supported by interface"),
    (606, "3:error=1", "get_name", "ApiNotAvailableInProtocolVersion", "Operation not supported in older firmware"),
    (
        607,
        "3:error=5",
        "get_name",
        ValueError,
        'Unknown error type ApiError("An error ocurred in the protocol '
        '\\"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE\\"")',
    ),
    (608, "33:close", "get_firmware_version", "DeviceConnectionLost", 'Unknown error type TcpStreamReadError("Failed to read packet header")'),
    (609, "41:partial=1", "get_pcb_revision", "DeviceTimedOut", 'Unknown error type TcpStreamReadError("Failed to read remaining payload")'),
    (610, "3:raw=0400010000", "get_name", ValueError, "TQ_PROTOCOL_STATUS_PACKET_TRYING_TO_READ_BEYOND_PAYLOAD_SIZE"),
    (611, "3:delay=2000", "get_name", "DeviceTimedOut", 'Unknown error type TcpStreamReadError("Failed to read packet header")'),
]
# The module's ValueError subclasses, for the transport failures.
TRANSPORT = ("DeviceTimedOut", "DeviceConnectionLost")


@pytest.fixture(scope="module")
def faulty(tq):
    models = [{"serial_number": serial, "ean": EAN} for serial, *_ in FAULTS]
    faults = [f"{i}/{spec}" for i, (_, spec, *_) in enumerate(FAULTS)]
    args = [a for f in faults for a in ("--fault", f)]
    with Simulator(*args, "--interfaces", "1", devices=models) as sim:
        yield {d.get_serial_number(): d for d in scan(tq, *(f[0] for f in FAULTS))}


@pytest.mark.parametrize("serial, spec, method, exc, message", FAULTS, ids=[f[1] for f in FAULTS])
def test_device_answer_raises(tq, faulty, serial, spec, method, exc, message):
    exc_type = getattr(tq, exc) if isinstance(exc, str) else exc
    with pytest.raises(exc_type) as info:
        getattr(faulty[serial], method)()
    assert type(info.value) is exc_type
    if exc_type is ValueError and message.startswith("TQ_"):
        assert str(info.value).startswith("Unknown error type ApiError(")
        assert message in str(info.value)
    else:
        assert str(info.value) == message
        assert info.value.args == (message,)
    assert isinstance(info.value, RuntimeError) == (isinstance(exc, str) and exc not in TRANSPORT)


@pytest.mark.parametrize(
    "seconds, expected",
    [
        (253_402_300_799, datetime.datetime(9999, 12, 31, 23, 59, 59, tzinfo=UTC)),
        # Year 10000, and far beyond.
        (253_402_300_800, OverflowError),
        (2**40, OverflowError),
        (2**62, OverflowError),
    ],
)
def test_manufacturing_date_up_to_the_end_of_year_9999(tq, seconds, expected):
    with Simulator(devices=[{"serial_number": 90, "manufacturing_date": seconds}]):
        (device,) = scan(tq, 90)
        if expected is OverflowError:
            with pytest.raises(OverflowError):
                device.get_manufacturing_date()
        else:
            assert device.get_manufacturing_date() == expected


def test_a_cpp_exception_becomes_the_internal_fault_and_the_module_stays_usable(tq):
    # With the address space capped and the free heap used up, the client's
    # list of 65535 interfaces cannot be allocated: std::bad_alloc reaches the
    # module boundary and must surface as the internal fault, never unwind
    # through the interpreter.
    with Simulator(devices=[{"serial_number": 31, "interfaces": [{}] * 65535}]):
        _, result, _ = run_child(
            """
import resource
(device,) = scan(tq, 31)
def vm():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm(), resource.RLIM_INFINITY))
filler = []
try:
    while True:
        filler.append(bytes(64 * 1024))
except MemoryError:
    pass
try:
    device.get_interfaces()
    outcome = None
except BaseException as e:
    outcome = [type(e).__module__, [c.__name__ for c in type(e).__mro__], str(e)]
del filler
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
try:
    device.get_name()
    after = None
except ValueError as e:
    after = str(e)
report(outcome=outcome, after=after, usable=tq.format_ean(0x123))
"""
        )
    module, mro, message = result["outcome"]
    assert module == "plenko_tq_api"
    assert mro[1:] == ["BaseException", "object"]
    assert "bad_alloc" in message
    # The aborted transaction poisoned the device's connection.
    assert result["after"] == "Unknown error type FailedToAquireLock"
    assert result["usable"] == "00-00000-00012-3"
