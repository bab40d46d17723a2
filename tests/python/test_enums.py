"""The twelve enumeration classes: members, values, repr, identity, no construction."""

import pickle

import pytest

ENUMS = {
    "EthLinkSpeed": (
        "The ethernet link speed",
        [
            "Speed10MbitFullDuplex",
            "Speed10MbitHalfDuplex",
            "Speed100MbitFullDuplex",
            "Speed100MbitHalfDuplex",
            "Speed1000MbitFullDuplex",
            "Speed1000MbitHalfDuplex",
        ],
    ),
    "EthRole": ("The ethernet role", ["Leader", "LeaderPreferred", "Follower", "FollowerPreferred"]),
    "EthAnegMode": ("The ethernet auto negotiation mode", ["AnegDisabled", "IEEEAnegEnabled"]),
    "EthLinkState": ("The ethernet link state", ["Up", "Down"]),
    "Tc10State": ("Possible TC10 states", ["Normal", "Sleep", "SleepFailed", "SleepAborted"]),
    "Tc10Command": ("Available TC10 commands", ["WakeUp", "Sleep"]),
    "InterfaceType": ("The interface type", ["T1", "T"]),
    "PgPayloadSize": ("Packet Generator Paylad Size", ["Size64", "Size1518"]),
    "PgPayloadType": ("Packet Generator Paylad Type", ["PseudoRandom", "Alternating", "OnlyOnes", "OnlyZeroes"]),
    "PgPacketValidity": ("Packet Generator Packet Validity", ["GoodCrc", "SymbolErrorsBadCrc"]),
    "FirmwareUpdateResult": (
        "Result of firmware update",
        [
            "Success",
            "TransferError",
            "FirmwareFailedSignatureCheck",
            "FirmwareCorrupt",
            "FirmwareForOtherDevice",
            "UnknownError",
        ],
    ),
    "CableTestHarnessStatus": ("Cable test harness status", ["CableOpen", "CableShorted", "CableGood"]),
}

MEMBERS = [(cls, name, value) for cls, (_, names) in ENUMS.items() for value, name in enumerate(names)]


@pytest.mark.parametrize("cls, name, value", MEMBERS)
def test_member_value_and_repr(tq, cls, name, value):
    member = getattr(getattr(tq, cls), name)
    assert int(member) == value
    assert repr(member) == f"{cls}.{name}"
    assert type(member) is getattr(tq, cls)


@pytest.mark.parametrize("cls", list(ENUMS))
def test_class_face(tq, cls):
    enum = getattr(tq, cls)
    assert enum.__doc__ == ENUMS[cls][0]
    assert enum.__module__ == "plenko_tq_api"
    assert enum.__qualname__ == cls
    assert enum.__bases__ == (object,)


@pytest.mark.parametrize("cls", list(ENUMS))
def test_cannot_be_constructed(tq, cls):
    enum = getattr(tq, cls)
    for args in [(), (0,), (ENUMS[cls][1][0],)]:
        with pytest.raises(TypeError, match=rf"^cannot create 'plenko_tq_api\.{cls}' instances$"):
            enum(*args)
    with pytest.raises(TypeError):
        enum.__new__(enum)


@pytest.mark.parametrize("cls", list(ENUMS))
def test_cannot_be_subclassed(tq, cls):
    with pytest.raises(TypeError):
        type("Sub", (getattr(tq, cls),), {})


def test_members_are_single_cached_instances(tq):
    a = tq.EthLinkSpeed.Speed1000MbitFullDuplex
    assert a is tq.EthLinkSpeed.Speed1000MbitFullDuplex
    assert a == tq.EthLinkSpeed.Speed1000MbitFullDuplex
    assert hash(a) == hash(tq.EthLinkSpeed.Speed1000MbitFullDuplex)
    assert tq.EthLinkSpeed.Speed1000MbitFullDuplex != tq.EthLinkSpeed.Speed1000MbitHalfDuplex
    # A member read back from a value object is the class attribute itself.
    config = tq.EthInterfaceConfig([a], [], tq.EthAnegMode.AnegDisabled)
    assert config.speed[0] is a
    assert config.aneg_mode is tq.EthAnegMode.AnegDisabled


@pytest.mark.parametrize(
    "expr, value",
    [
        ("EthRole.FollowerPreferred", 3),
        ("PgPayloadType.OnlyZeroes", 3),
        ("PgPayloadType.OnlyOnes", 2),
        ("Tc10Command.WakeUp", 0),
        ("InterfaceType.T", 1),
        ("FirmwareUpdateResult.UnknownError", 5),
        ("EthLinkState.Down", 1),
    ],
)
def test_documented_values(tq, expr, value):
    cls, name = expr.split(".")
    assert int(getattr(getattr(tq, cls), name)) == value


def test_no_numeric_equality_or_ordering(tq):
    speed = tq.EthLinkSpeed
    assert (speed.Speed10MbitFullDuplex == 0) is False
    assert speed.Speed10MbitFullDuplex != 0
    with pytest.raises(TypeError):
        speed.Speed10MbitFullDuplex < speed.Speed10MbitHalfDuplex
    with pytest.raises(TypeError):
        speed.Speed10MbitFullDuplex >= speed.Speed10MbitHalfDuplex


def test_no_index_and_no_iteration(tq):
    member = tq.EthRole.Follower
    with pytest.raises(TypeError):
        [10, 20, 30][member]
    with pytest.raises(TypeError):
        list(tq.EthRole)
    with pytest.raises(TypeError):
        hex(member)


def test_members_have_no_instance_dict(tq):
    member = tq.EthRole.Follower
    with pytest.raises(AttributeError):
        member.extra = 1
    assert not hasattr(member, "__dict__")


@pytest.mark.parametrize("cls", list(ENUMS))
def test_members_in_order_by_value_by_name_and_through_pickle(tq, cls):
    enum = getattr(tq, cls)
    names = ENUMS[cls][1]
    assert [m.name for m in enum.members] == names
    assert [m.value for m in enum.members] == list(range(len(names)))
    for value, name in enumerate(names):
        member = getattr(enum, name)
        assert enum.from_value(value) is member
        # No construction path: unpickling gives the member itself, never a copy.
        assert pickle.loads(pickle.dumps(member)) is member
    with pytest.raises(ValueError, match=rf"^{len(names)} is not a valid {cls}$"):
        enum.from_value(len(names))
