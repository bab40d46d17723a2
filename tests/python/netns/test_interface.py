"""Every Interface method against a simulated device: values, request bytes,
argument conversion before anything is sent, and device refusals."""

import struct

import numpy
import pytest

from simulator import Simulator, scan

PORTS = [
    {
        "type": 0,
        "nickname": "p0",
        "link_up": True,
        "eth_config": 0x0002 | 0x0080 | 0x0200,  # 100 Mbit/s, full duplex, leader
        "dcq": {"sqi": 12, "sqi_worst": 9, "peak_mse": 3, "peak_mse_worst": 7, "mse": 250, "mse_worst": 410},
        "cable_test": {"harness_status": 1, "distance": 42},
        "tc10_state": 1,
        "loopback": 0,
    },
    {"type": 2, "link_up": False, "eth_config": 0x0004 | 0x0080 | 0x0100},
]
SERIAL = 7001


@pytest.fixture(scope="module")
def lab(tq):
    with Simulator(devices=[{"serial_number": SERIAL, "protocol_version": 2, "interfaces": PORTS}]) as sim:
        (device,) = scan(tq, SERIAL)
        yield sim, device.get_interfaces()


@pytest.fixture
def sim(lab):
    return lab[0]


@pytest.fixture
def p0(lab):
    return lab[1][0]


@pytest.fixture
def p1(lab):
    return lab[1][1]


def req(command, index, payload=b""):
    body = struct.pack("<H", index) + payload
    return (SERIAL, command, struct.pack("<HH", command, len(body)) + body)


def sent(sim, mark):
    return sim.requests_since(mark, serial=SERIAL)


def test_get_status(tq, sim, p0, p1):
    mark = sim.mark()
    status = p0.get_status()
    assert type(status) is tq.InterfaceStatus
    assert status.interface_type is tq.InterfaceType.T1
    eth = status.eth_interface_status
    assert type(eth) is tq.EthInterfaceStatus
    assert eth.link_state is tq.EthLinkState.Up
    assert eth.role is tq.EthRole.Leader
    assert eth.speed is tq.EthLinkSpeed.Speed100MbitFullDuplex
    # A new object on each read, holding a copy.
    assert status.eth_interface_status is not eth
    other = p1.get_status()
    assert other.interface_type is tq.InterfaceType.T
    assert other.eth_interface_status.link_state is tq.EthLinkState.Down
    assert sent(sim, mark) == [req(19, 0), req(19, 1)]


def test_nickname(sim, p0):
    mark = sim.mark()
    assert p0.get_nickname() == "p0"
    assert p0.set_nickname("röntgen") is None
    assert p0.get_nickname() == "röntgen"
    assert p0.reset_nickname() is None
    assert p0.get_nickname() == ""
    name = "röntgen".encode()
    assert sent(sim, mark) == [
        req(15, 0),
        req(17, 0, struct.pack("<H", len(name)) + name),
        req(15, 0),
        req(17, 0, b"\0\0"),
        req(15, 0),
    ]


def test_eth_config_round_trip_and_supported(tq, sim, p0):
    current = p0.get_eth_config()
    assert type(current) is tq.EthInterfaceConfig
    assert current.speed == [tq.EthLinkSpeed.Speed100MbitFullDuplex]
    assert current.role == [tq.EthRole.Leader]
    assert current.aneg_mode is tq.EthAnegMode.AnegDisabled
    supported = p0.get_supported_eth_configs()
    assert type(supported) is tq.EthInterfaceConfig
    assert tq.EthLinkSpeed.Speed1000MbitFullDuplex in supported.speed
    assert set(supported.role) >= {tq.EthRole.Leader, tq.EthRole.Follower}
    assert supported.aneg_mode is tq.EthAnegMode.IEEEAnegEnabled

    mark = sim.mark()
    new = tq.EthInterfaceConfig(
        [tq.EthLinkSpeed.Speed1000MbitFullDuplex, tq.EthLinkSpeed.Speed1000MbitFullDuplex],
        [tq.EthRole.Follower],
        tq.EthAnegMode.AnegDisabled,
    )
    assert p0.set_eth_config(new) is None
    assert p0.get_eth_config().speed == [tq.EthLinkSpeed.Speed1000MbitFullDuplex]
    # 1000 Mbit/s | full duplex | follower; the duplicate speed sets one bit.
    assert sent(sim, mark) == [req(25, 0, struct.pack("<H", 0x0004 | 0x0080 | 0x0100)), req(27, 0)]


def test_set_eth_config_accepts_any_object_with_the_attributes(tq, sim, p0):
    class Plain:
        role = (tq.EthRole.Leader,)
        speed = [tq.EthLinkSpeed.Speed100MbitFullDuplex]
        aneg_mode = tq.EthAnegMode.AnegDisabled

    mark = sim.mark()
    p0.set_eth_config(config=Plain())
    assert sent(sim, mark) == [req(25, 0, struct.pack("<H", 0x0002 | 0x0080 | 0x0200))]


def test_set_eth_config_with_the_supported_configuration_is_a_valid_call(tq, p0):
    # The device decides: the simulator refuses the mixed combination.
    try:
        p0.set_eth_config(p0.get_supported_eth_configs())
    except tq.OperationNotSupportedByDevice:
        pass


class Attrs:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def eth_attrs(tq, **over):
    kw = dict(role=[tq.EthRole.Leader], speed=[tq.EthLinkSpeed.Speed100MbitFullDuplex], aneg_mode=tq.EthAnegMode.AnegDisabled)
    kw.update(over)
    return Attrs(**{k: v for k, v in kw.items() if v is not ...})


@pytest.mark.parametrize(
    "over, field, cause",
    [
        ({"role": ...}, "role", AttributeError),
        # role is read first: its absence is reported even if speed is missing too.
        ({"role": ..., "speed": ...}, "role", AttributeError),
        ({"speed": ...}, "speed", AttributeError),
        ({"aneg_mode": ...}, "aneg_mode", AttributeError),
        ({"role": "Leader"}, "role", TypeError),
        ({"speed": [0]}, "speed", TypeError),
        ({"speed": range(10**18)}, "speed", TypeError),
        ({"aneg_mode": 1}, "aneg_mode", TypeError),
    ],
)
def test_set_eth_config_attribute_errors(tq, sim, p0, over, field, cause):
    mark = sim.mark()
    with pytest.raises(TypeError) as info:
        p0.set_eth_config(eth_attrs(tq, **over))
    outer = info.value
    assert str(outer) == f"argument 'config': failed to extract field EthInterfaceConfig.{field}"
    inner = outer.__cause__
    assert type(inner) is TypeError
    assert str(inner) == f"failed to extract field EthInterfaceConfig.{field}"
    assert type(inner.__cause__) is cause
    assert sent(sim, mark) == []


def pg(tq, **over):
    kw = dict(
        enabled=True,
        payload_size=tq.PgPayloadSize.Size1518,
        payload_type=tq.PgPayloadType.OnlyZeroes,
        validity=tq.PgPacketValidity.SymbolErrorsBadCrc,
        burst_size=9,
    )
    kw.update(over)
    return kw


def test_packet_generator_round_trip(tq, sim, p0):
    mark = sim.mark()
    assert p0.set_packet_generator_config(tq.PacketGeneratorConfig(**pg(tq))) is None
    got = p0.get_packet_generator_config()
    assert type(got) is tq.PacketGeneratorConfig
    assert got.enabled is True
    assert got.payload_size is tq.PgPayloadSize.Size1518
    assert got.payload_type is tq.PgPayloadType.OnlyZeroes
    assert got.validity is tq.PgPacketValidity.SymbolErrorsBadCrc
    assert got.burst_size == 9
    # Wire order of the payload type differs: OnlyZeroes is 2 on the wire.
    assert sent(sim, mark) == [req(91, 0, bytes([1, 2, 1, 9, 1])), req(93, 0)]


def test_packet_generator_off_form_ignores_the_other_fields(tq, sim, p0):
    mark = sim.mark()
    p0.set_packet_generator_config(Attrs(**pg(tq, enabled=numpy.bool_(False))))
    got = p0.get_packet_generator_config()
    assert (got.enabled, got.payload_size, got.payload_type, got.validity, got.burst_size) == (
        False,
        tq.PgPayloadSize.Size64,
        tq.PgPayloadType.PseudoRandom,
        tq.PgPacketValidity.GoodCrc,
        0,
    )
    assert sent(sim, mark)[0][1] == 91


@pytest.mark.parametrize(
    "over, field",
    [
        ({"enabled": 1}, "enabled"),
        ({"enabled": ...}, "enabled"),
        ({"payload_size": "x"}, "payload_size"),
        ({"validity": None}, "validity"),
        ({"burst_size": 256}, "burst_size"),
        ({"burst_size": ...}, "burst_size"),
    ],
)
def test_set_packet_generator_attribute_errors(tq, sim, p0, over, field):
    kw = {k: v for k, v in pg(tq, **over).items() if v is not ...}
    mark = sim.mark()
    with pytest.raises(TypeError, match=rf"^argument 'config': failed to extract field PacketGeneratorConfig\.{field}$"):
        p0.set_packet_generator_config(Attrs(**kw))
    assert sent(sim, mark) == []


@pytest.mark.parametrize("enabled, byte", [(True, 1), (False, 0), (numpy.bool_(True), 1)])
def test_loopback(sim, p0, enabled, byte):
    mark = sim.mark()
    assert p0.set_loopback_state(enabled) is None
    assert p0.get_loopback_state() is bool(enabled)
    assert sent(sim, mark) == [req(87, 0, bytes([byte])), req(89, 0)]


@pytest.mark.parametrize("value", [1, 0, None, "on"])
def test_loopback_refuses_non_bool_before_sending(sim, p0, value):
    mark = sim.mark()
    with pytest.raises(TypeError, match="^argument 'enabled': "):
        p0.set_loopback_state(value)
    assert sent(sim, mark) == []


def test_tc10(tq, sim, p0):
    assert p0.get_tc10_state() is tq.Tc10State.Sleep
    mark = sim.mark()
    assert p0.send_tc10_command(tq.Tc10Command.WakeUp) is None
    assert p0.send_tc10_command(command=tq.Tc10Command.Sleep) is None
    assert [r[1] for r in sent(sim, mark)] == [77, 77]
    with pytest.raises(TypeError, match="^argument 'command': "):
        p0.send_tc10_command(1)
    with pytest.raises(TypeError, match="^argument 'command': "):
        p0.send_tc10_command(tq.Tc10State.Sleep)
    assert len(sent(sim, mark)) == 2


def test_read_dcq(tq, sim, p0):
    mark = sim.mark()
    reading = p0.read_dcq()
    assert type(reading) is tq.DcqReading
    assert (reading.sqi, reading.sqi_worst, reading.mse, reading.mse_worst, reading.peak_mse, reading.peak_mse_worst) == (
        12,
        9,
        250,
        410,
        3,
        7,
    )
    assert sent(sim, mark) == [req(83, 0)]


def test_run_cable_test(tq, sim, p0):
    mark = sim.mark()
    result = p0.run_cable_test()
    assert type(result) is tq.CableTestResult
    assert result.harness_status is tq.CableTestHarnessStatus.CableShorted
    assert result.distance_to_fault == 42
    assert sent(sim, mark) == [req(85, 0)]


def test_identify(sim, p1):
    mark = sim.mark()
    assert p1.identify() is None
    assert sent(sim, mark) == [req(21, 1)]


def test_interface_class_face(tq, p0):
    assert tq.Interface.__doc__ is None
    assert repr(p0).startswith("<plenko_tq_api.Interface object at 0x")
    with pytest.raises(AttributeError):
        p0.index = 3
