"""The six value classes: constructors, read-only properties, conversion rules."""

import gc

import numpy
import pytest

import published_docs

NO_CONSTRUCTOR = ["InterfaceStatus", "EthInterfaceStatus", "DcqReading", "CableTestResult", "Client", "Device", "Interface"]


def pg_args(tq, **over):
    args = dict(
        enabled=True,
        payload_size=tq.PgPayloadSize.Size1518,
        payload_type=tq.PgPayloadType.OnlyZeroes,
        validity=tq.PgPacketValidity.SymbolErrorsBadCrc,
        burst_size=7,
    )
    args.update(over)
    return args


@pytest.mark.parametrize("cls", list(published_docs.VALUE_CLASSES))
def test_docstring(tq, cls):
    full = published_docs.VALUE_CLASSES[cls]
    klass = getattr(tq, cls)
    if "\n--\n\n" in full:
        head, _, doc = full.partition("\n--\n\n")
        assert klass.__text_signature__ == head[head.index("(") :]
        assert klass.__doc__ == doc
    else:
        assert klass.__doc__ == full


@pytest.mark.parametrize("cls", NO_CONSTRUCTOR)
def test_classes_without_constructor_refuse_calls(tq, cls):
    with pytest.raises(TypeError, match=rf"^cannot create 'plenko_tq_api\.{cls}' instances$"):
        getattr(tq, cls)()


@pytest.mark.parametrize("cls", list(published_docs.VALUE_CLASSES) + ["Client", "Device", "Interface"])
def test_not_subclassable_and_plain_object_base(tq, cls):
    klass = getattr(tq, cls)
    assert klass.__bases__ == (object,)
    assert klass.__module__ == "plenko_tq_api"
    with pytest.raises(TypeError):
        type("Sub", (klass,), {})


def test_eth_interface_config_accepts_tuples_and_empty_lists(tq):
    config = tq.EthInterfaceConfig((tq.EthLinkSpeed.Speed100MbitFullDuplex,), [], tq.EthAnegMode.AnegDisabled)
    assert config.speed == [tq.EthLinkSpeed.Speed100MbitFullDuplex]
    assert config.role == []
    assert config.aneg_mode is tq.EthAnegMode.AnegDisabled


def test_eth_interface_config_keeps_order_and_duplicates(tq):
    s, r = tq.EthLinkSpeed, tq.EthRole
    speeds = [s.Speed1000MbitHalfDuplex, s.Speed10MbitFullDuplex, s.Speed1000MbitHalfDuplex]
    roles = (r.FollowerPreferred, r.Leader)
    config = tq.EthInterfaceConfig(role=roles, aneg_mode=tq.EthAnegMode.IEEEAnegEnabled, speed=speeds)
    assert config.speed == speeds
    assert config.role == list(roles)
    assert all(a is b for a, b in zip(config.speed, speeds))


def test_eth_interface_config_lists_are_copies(tq):
    config = tq.EthInterfaceConfig([tq.EthLinkSpeed.Speed10MbitFullDuplex], [], tq.EthAnegMode.AnegDisabled)
    first = config.speed
    first.append(tq.EthLinkSpeed.Speed100MbitFullDuplex)
    assert config.speed == [tq.EthLinkSpeed.Speed10MbitFullDuplex]
    assert config.speed is not config.speed


class Seq:
    """A sequence whose length cannot be had."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("no length")


@pytest.mark.parametrize(
    "speed, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        ({0}, "Sequence"),
        ({}, "Sequence"),
        (iter([]), "Sequence"),
        ((x for x in []), "Sequence"),
        (5, "Sequence"),
        ([0], "EthLinkSpeed"),
        ([None], "EthLinkSpeed"),
        ([object()], "EthLinkSpeed"),
        # Its length is only a hint: the element decides, not a memory failure.
        (range(10**18), "EthLinkSpeed"),
        (range(2**70), "EthLinkSpeed"),
    ],
)
def test_sequence_rule_refusals_name_the_argument(tq, speed, message):
    with pytest.raises(TypeError) as info:
        tq.EthInterfaceConfig(speed, [], tq.EthAnegMode.AnegDisabled)
    text = str(info.value)
    assert text.startswith("argument 'speed': ")
    assert message in text
    assert isinstance(info.value.__cause__, TypeError)


def test_sequence_rule_a_member_of_the_wrong_enum_is_refused(tq):
    with pytest.raises(TypeError, match="^argument 'role': "):
        tq.EthInterfaceConfig([], [tq.EthLinkSpeed.Speed10MbitFullDuplex], tq.EthAnegMode.AnegDisabled)


def test_sequence_rule_ignores_a_failing_length(tq):
    roles = [tq.EthRole.Leader, tq.EthRole.Follower]
    config = tq.EthInterfaceConfig([], Seq(roles), tq.EthAnegMode.AnegDisabled)
    assert config.role == roles


@pytest.mark.parametrize("aneg", [0, 1, None, "AnegDisabled", True])
def test_aneg_mode_must_be_a_member(tq, aneg):
    with pytest.raises(TypeError, match="^argument 'aneg_mode': ") as info:
        tq.EthInterfaceConfig([], [], aneg)
    assert info.value.__cause__ is not None


def test_first_failing_argument_is_reported(tq):
    with pytest.raises(TypeError, match="^argument 'speed': "):
        tq.EthInterfaceConfig("bad", "bad", 0)
    with pytest.raises(TypeError, match="^argument 'role': "):
        tq.EthInterfaceConfig([], "bad", 0)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (([], []), {}),
        (([], [], None, 1), {}),
        (([], [], None), {"speed": []}),
        ((), {"speed": [], "role": [], "aneg_mode": None, "extra": 1}),
    ],
)
def test_constructor_argument_count_errors(tq, args, kwargs):
    with pytest.raises(TypeError):
        tq.EthInterfaceConfig(*args, **kwargs)


def test_packet_generator_config_round_trip(tq):
    args = pg_args(tq)
    config = tq.PacketGeneratorConfig(**args)
    for name, value in args.items():
        got = getattr(config, name)
        assert got == value
        if name != "burst_size":
            assert got is value
    positional = tq.PacketGeneratorConfig(*args.values())
    assert positional.burst_size == 7


@pytest.mark.parametrize("burst", [0, 255, True])
def test_burst_size_range_accepted(tq, burst):
    assert tq.PacketGeneratorConfig(**pg_args(tq, burst_size=burst)).burst_size == int(burst)


@pytest.mark.parametrize("burst", [256, -1, 1000])
def test_burst_size_out_of_range(tq, burst):
    with pytest.raises(OverflowError):
        tq.PacketGeneratorConfig(**pg_args(tq, burst_size=burst))


# Negative is out of range like 256, not the interpreter's "negative to unsigned".
@pytest.mark.parametrize("burst", [256, -1, -(2**63), 2**64 - 1])
def test_burst_size_out_of_u8_has_the_documented_text(tq, burst):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tq.PacketGeneratorConfig(**pg_args(tq, burst_size=burst))


def test_burst_size_huge_is_the_interpreters_overflow_error(tq):
    with pytest.raises(OverflowError):
        tq.PacketGeneratorConfig(**pg_args(tq, burst_size=2**200))


@pytest.mark.parametrize("burst", [1.0, "1", None])
def test_burst_size_must_be_int(tq, burst):
    with pytest.raises(TypeError, match="^argument 'burst_size': "):
        tq.PacketGeneratorConfig(**pg_args(tq, burst_size=burst))


@pytest.mark.parametrize("enabled", [1, 0, None, "yes", numpy.int64(1), 1.0])
def test_enabled_must_be_a_bool(tq, enabled):
    with pytest.raises(TypeError, match="^argument 'enabled': "):
        tq.PacketGeneratorConfig(**pg_args(tq, enabled=enabled))


@pytest.mark.parametrize("enabled, expected", [(numpy.bool_(True), True), (numpy.bool_(False), False)])
def test_enabled_accepts_numpy_bool(tq, enabled, expected):
    config = tq.PacketGeneratorConfig(**pg_args(tq, enabled=enabled))
    assert config.enabled is expected


@pytest.mark.parametrize(
    "field, wrong",
    [("payload_size", "payload_type"), ("payload_type", "payload_size"), ("validity", "payload_size")],
)
def test_pg_enum_fields_take_only_their_own_members(tq, field, wrong):
    other = pg_args(tq)[wrong]
    with pytest.raises(TypeError, match=f"^argument '{field}': "):
        tq.PacketGeneratorConfig(**pg_args(tq, **{field: other}))


@pytest.mark.parametrize(
    "make, attrs",
    [
        (lambda tq: tq.EthInterfaceConfig([], [], tq.EthAnegMode.AnegDisabled), ["speed", "role", "aneg_mode"]),
        (
            lambda tq: tq.PacketGeneratorConfig(**pg_args(tq)),
            ["enabled", "payload_size", "payload_type", "validity", "burst_size"],
        ),
    ],
)
def test_properties_are_read_only_and_no_instance_dict(tq, make, attrs):
    obj = make(tq)
    for name in attrs:
        with pytest.raises(AttributeError):
            setattr(obj, name, getattr(obj, name))
        with pytest.raises(AttributeError):
            delattr(obj, name)
    with pytest.raises(AttributeError):
        obj.other = 1


def test_value_objects_use_identity_equality_and_default_repr(tq):
    a = tq.EthInterfaceConfig([], [], tq.EthAnegMode.AnegDisabled)
    b = tq.EthInterfaceConfig([], [], tq.EthAnegMode.AnegDisabled)
    assert a != b
    assert a == a
    assert repr(a).startswith("<plenko_tq_api.EthInterfaceConfig object at 0x")
    assert hash(a) != hash(b)


def test_constructed_objects_are_freed(tq):
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        tq.EthInterfaceConfig([tq.EthLinkSpeed.Speed10MbitFullDuplex] * 3, [], tq.EthAnegMode.AnegDisabled)
        tq.PacketGeneratorConfig(**pg_args(tq))
    gc.collect()
    assert len(gc.get_objects()) - before < 50


@pytest.mark.parametrize(
    "make",
    [
        lambda tq: tq.EthInterfaceConfig("abc", [], tq.EthAnegMode.AnegDisabled),
        lambda tq: tq.EthInterfaceConfig([], [], 0),
        lambda tq: tq.PacketGeneratorConfig(**pg_args(tq, burst_size=300)),
        lambda tq: tq.format_ean("x"),
    ],
)
def test_refused_conversions_keep_memory_flat(tq, make):
    import tracemalloc

    def work():
        for _ in range(5000):
            try:
                make(tq)
            except (TypeError, OverflowError):
                pass

    work()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        work()
        work()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 16 * 1024, f"{grown} bytes kept by 10 000 refused calls"
