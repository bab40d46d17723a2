"""The module frame: published names and their order, functions, exception types."""

import importlib
import inspect
import subprocess
import sys

import pytest

import published_docs

EXPECTED_ALL = [
    "OperationFailed",
    "OperationNotPermitted",
    "OperationNotSupportedByDevice",
    "OperationNotSupportedByInterface",
    "ApiNotAvailableInProtocolVersion",
    "Client",
    "Device",
    "FirmwareUpdateCallbacks",
    "FirmwareUpdateResult",
    "Interface",
    "InterfaceType",
    "EthLinkState",
    "EthRole",
    "EthLinkSpeed",
    "EthAnegMode",
    "InterfaceStatus",
    "EthInterfaceStatus",
    "EthInterfaceConfig",
    "Tc10Command",
    "Tc10State",
    "DcqReading",
    "CableTestHarnessStatus",
    "CableTestResult",
    "PgPayloadSize",
    "PgPayloadType",
    "PgPacketValidity",
    "PacketGeneratorConfig",
    "get_api_version",
    "get_api_version_string",
    "format_ean",
    "create_client",
    "DeviceTimedOut",
    "DeviceConnectionLost",
]


def split_doc(full):
    """(text signature, __doc__) as the interpreter derives them from a docstring."""
    head, sep, rest = full.partition("\n--\n\n")
    assert sep, full
    return head[head.index("(") :], rest or None


def test_all_lists_every_name_once_in_publishing_order(tq):
    assert tq.__all__ == EXPECTED_ALL
    for name in tq.__all__:
        assert hasattr(tq, name)


def test_module_docstring_and_name(tq):
    assert tq.__doc__ == "TQ API for Python module"
    assert tq.__name__ == "plenko_tq_api"


def test_api_version(tq):
    assert tq.get_api_version() == (0, 2, 1)
    assert tq.get_api_version_string() == "0.2.1"
    # Built fresh each time, not a shared mutable object.
    assert tq.get_api_version() is not tq.get_api_version()


@pytest.mark.parametrize("name", list(published_docs.FUNCTIONS))
def test_function_docstring_and_text_signature(tq, name):
    fn = getattr(tq, name)
    signature, doc = split_doc(published_docs.FUNCTIONS[name])
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "plenko_tq_api"
    assert fn.__name__ == name
    assert str(inspect.signature(fn)) == signature


@pytest.mark.parametrize(
    "ean, text",
    [
        (0x7330130012345, "73-30130-01234-5"),
        (0, "00-00000-00000-0"),
        (0x123, "00-00000-00012-3"),
        (2**64 - 1, "fff-fffff-fffff-15"),
        (0x4062138020019, "40-62138-02001-9"),
        # Bits 56..63 are ignored; widths are minimums, never truncations.
        (0xAB00_0000_0000_0000 | 0x4062138020019, "40-62138-02001-9"),
        (0xFFF_00000_00000_A, "fff-00000-00000-10"),
        (True, "00-00000-00000-1"),
    ],
)
def test_format_ean_groups(tq, ean, text):
    assert tq.format_ean(ean) == text


def test_format_ean_accepts_the_keyword(tq):
    assert tq.format_ean(ean=0x7330130012345) == "73-30130-01234-5"


@pytest.mark.parametrize("value", [-1, 2**64, 10**30])
def test_format_ean_out_of_range_is_the_interpreters_overflow_error(tq, value):
    with pytest.raises(OverflowError):
        tq.format_ean(value)


@pytest.mark.parametrize("value", ["7330130012345", 1.0, None, b"1"])
def test_format_ean_refuses_non_int_naming_the_argument(tq, value):
    with pytest.raises(TypeError, match="ean"):
        tq.format_ean(value)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2), {}), ((1,), {"ean": 1}), ((), {"value": 1}), ((), {"ean": 1, "x": 2})],
)
def test_format_ean_argument_count_errors(tq, args, kwargs):
    with pytest.raises(TypeError):
        tq.format_ean(*args, **kwargs)


@pytest.mark.parametrize("name", list(published_docs.EXCEPTIONS))
def test_exception_types(tq, name):
    exc = getattr(tq, name)
    assert exc.__bases__ == (RuntimeError,)
    assert exc.__module__ == "plenko_tq_api"
    assert exc.__name__ == name
    assert exc.__doc__ == published_docs.EXCEPTIONS[name]


@pytest.mark.parametrize("name", ["DeviceTimedOut", "DeviceConnectionLost"])
def test_transport_exception_types_are_value_errors(tq, name):
    exc = getattr(tq, name)
    assert (exc.__bases__, exc.__module__, exc.__name__) == ((ValueError,), "plenko_tq_api", name)


def test_exception_types_are_unrelated_to_each_other(tq):
    names = list(published_docs.EXCEPTIONS)
    for a in names:
        for b in names:
            if a != b:
                assert not issubclass(getattr(tq, a), getattr(tq, b))
    assert not issubclass(tq.OperationNotSupportedByDevice, tq.OperationFailed)


def test_reimport_publishes_the_same_type_objects(tq):
    before = {name: getattr(tq, name) for name in tq.__all__ if name[0].isupper()}
    member = tq.EthRole.Leader
    del sys.modules["plenko_tq_api"]
    try:
        again = importlib.import_module("plenko_tq_api")
        assert again is not tq
        assert again.__all__ == EXPECTED_ALL
        for name, obj in before.items():
            assert getattr(again, name) is obj, name
        assert again.EthRole.Leader is member
        # Functions are bound to their own module object.
        assert again.format_ean is not tq.format_ean
        assert again.format_ean.__self__ is again
    finally:
        sys.modules["plenko_tq_api"] = tq


def test_only_the_init_function_is_exported(module_path):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", str(module_path)], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_plenko_tq_api"]



try:
    from hypothesis import given
    from hypothesis import strategies as st
except ImportError:  # pragma: no cover - the project's venv has hypothesis
    given = None

if given is not None:

    @given(st.integers(min_value=0, max_value=2**64 - 1))
    def test_format_ean_matches_the_group_rule_for_every_u64(tq, ean):
        groups = [(ean >> 44) & 0xFFF, (ean >> 24) & 0xFFFFF, (ean >> 4) & 0xFFFFF, ean & 0xF]
        expected = f"{groups[0]:02x}-{groups[1]:05x}-{groups[2]:05x}-{groups[3]}"
        assert tq.format_ean(ean) == expected
        assert tq.format_ean(ean=ean) == expected
