"""The type stubs (src/python/plenko_tq_api.pyi): stubtest against the built
module, mypy --strict on the examples, typed snippets that must be accepted or
rejected, the docstrings against the module's, and the stub's syntax under
every CPython >= 3.8 on the machine."""

import ast
import inspect
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from test_interpreters import INTERPRETERS
from tqpaths import HERE, MODULE_DIR, REPO

STUB_DIR = REPO / "src" / "python"
STUB = STUB_DIR / "plenko_tq_api.pyi"
ALLOWLIST = HERE / "test_stubs_allowlist.txt"
EXAMPLES = sorted((REPO / "examples").glob("*.py"))


@pytest.fixture(scope="session")
def mypy_env(tmp_path_factory):
    """The stub found through MYPYPATH, the module through PYTHONPATH, and one
    mypy cache for the session (typeshed is parsed once)."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    return dict(os.environ, MYPYPATH=str(STUB_DIR), PYTHONPATH=str(MODULE_DIR), MYPY_CACHE_DIR=str(cache))


def run_mypy(env, *args, module="mypy"):
    return subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True, env=env, cwd=REPO,
                          timeout=300)


def test_stubtest_finds_no_difference_from_the_built_module(tq, mypy_env):
    proc = run_mypy(mypy_env, "--strict-type-check-only", "--allowlist", str(ALLOWLIST), "plenko_tq_api",
                    module="mypy.stubtest")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


def test_the_stub_itself_passes_mypy_strict(mypy_env):
    proc = run_mypy(mypy_env, "--strict", str(STUB))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_pass_mypy_strict(mypy_env):
    assert EXAMPLES, "no examples found"
    proc = run_mypy(mypy_env, "--strict", *map(str, EXAMPLES))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"no issues found in {len(EXAMPLES)} source files" in proc.stdout


# ---------------------------------------------------------------------------
# What the stub lets through and what it stops. Each snippet runs inside a
# function taking a Device `d`, an Interface `i` and a DcqReading `dcq`.
# expected: None when mypy --strict must accept it, else the error code.

SNIPPETS = [
    ("scan_gives_a_list_of_devices",
     "devices: list[tq.Device] = tq.create_client().scan_for_devices_with_timeout(datetime.timedelta(seconds=1))",
     None),
    ("manufacturing_date_is_a_datetime", "when: datetime.datetime = d.get_manufacturing_date()", None),
    ("api_version_unpacks_into_three_ints", "major, minor, patch = tq.get_api_version()\nn: int = major + patch",
     None),
    ("keyword_arguments_use_the_real_names",
     "tq.format_ean(ean=1)\ni.set_loopback_state(enabled=True)\nd.set_nickname(nickname='x')", None),
    ("supported_configuration_can_be_set_back", "i.set_eth_config(i.get_supported_eth_configs())", None),
    ("any_object_with_the_configuration_attributes_is_accepted",
     "class Cfg:\n    role = (tq.EthRole.Leader,)\n    speed = [tq.EthLinkSpeed.Speed100MbitFullDuplex]\n"
     "    aneg_mode = tq.EthAnegMode.AnegDisabled\ni.set_eth_config(Cfg())", None),
    ("sequences_build_a_configuration",
     "c = tq.EthInterfaceConfig((tq.EthLinkSpeed.Speed10MbitFullDuplex,), [], tq.EthAnegMode.IEEEAnegEnabled)\n"
     "roles: list[tq.EthRole] = c.role", None),
    ("packet_generator_configuration_round_trips",
     "p = tq.PacketGeneratorConfig(True, tq.PgPayloadSize.Size64, tq.PgPayloadType.OnlyOnes,\n"
     "                             tq.PgPacketValidity.GoodCrc, burst_size=0)\n"
     "i.set_packet_generator_config(p)\ni.set_packet_generator_config(i.get_packet_generator_config())", None),
    ("subclassed_callbacks_may_rename_parameters",
     "class P(tq.FirmwareUpdateCallbacks):\n    def report_progress(self, sent: int) -> None: ...\n"
     "d.update_firmware_from_path('fw.img', P())", None),
    ("duck_typed_callbacks_are_accepted",
     "class Cb:\n    def update_started(self, n: int) -> None: ...\n    def report_progress(self, n: int) -> None: ...\n"
     "    def start_finalizing(self) -> None: ...\n"
     "    def update_finished(self, r: tq.FirmwareUpdateResult) -> bool: return True\n"
     "d.update_firmware_from_blob(b'', Cb())", None),
    ("enum_members_convert_to_int", "n: int = int(tq.EthRole.FollowerPreferred)", None),
    ("module_exceptions_are_runtime_errors",
     "try:\n    d.identify()\nexcept tq.OperationNotSupportedByDevice as e:\n    r: RuntimeError = e", None),
    ("status_fields_are_typed",
     "s = i.get_status()\nlink: tq.EthLinkState = s.eth_interface_status.link_state\n"
     "kind: tq.InterfaceType = s.interface_type\nok: bool = i.get_loopback_state()", None),
    ("cable_test_and_tc10_results_are_typed",
     "h: tq.CableTestHarnessStatus = i.run_cable_test().harness_status\nt: tq.Tc10State = i.get_tc10_state()\n"
     "dist: int = i.run_cable_test().distance_to_fault", None),
    ("ean_is_not_a_text", "tq.format_ean('7330130012345')", "arg-type"),
    ("scan_timeout_is_not_a_float", "tq.create_client().scan_for_devices_with_timeout(0.1)", "arg-type"),
    ("firmware_blob_is_bytes_not_bytearray", "d.update_firmware_from_blob(bytearray(), tq.FirmwareUpdateCallbacks())",
     "arg-type"),
    ("firmware_path_is_str_not_path",
     "import pathlib\nd.update_firmware_from_path(pathlib.Path('x'), tq.FirmwareUpdateCallbacks())", "arg-type"),
    ("loopback_flag_is_not_an_int", "i.set_loopback_state(1)", "arg-type"),
    ("tc10_command_is_not_a_state", "i.send_tc10_command(tq.Tc10State.Sleep)", "arg-type"),
    ("payload_type_is_not_a_payload_size",
     "tq.PacketGeneratorConfig(True, tq.PgPayloadSize.Size64, tq.PgPayloadSize.Size64, tq.PgPacketValidity.GoodCrc, 0)",
     "arg-type"),
    ("a_str_is_not_a_list_of_speeds", "tq.EthInterfaceConfig('abc', [], tq.EthAnegMode.AnegDisabled)", "arg-type"),
    ("plain_ints_are_not_members", "tq.EthInterfaceConfig([0], [], tq.EthAnegMode.AnegDisabled)", "list-item"),
    ("attributes_are_read_only", "c = i.get_packet_generator_config()\nc.burst_size = 3", "misc"),
    ("device_cannot_be_subclassed", "class D(tq.Device): ...", "misc"),
    ("callbacks_must_have_all_four_methods",
     "class Cb:\n    def report_progress(self, n: int) -> None: ...\nd.update_firmware_from_blob(b'', Cb())",
     "arg-type"),
    ("keyword_names_are_checked", "d.set_nickname(name='x')", "call-arg"),
    ("dcq_values_are_ints", "s: str = dcq.sqi", "assignment"),
    ("members_are_spelled_exactly", "tq.EthRole.Master", "attr-defined"),
    ("interfaces_expose_no_index", "n = d.get_interfaces()[0].index", "attr-defined"),
    ("api_version_has_three_parts", "tq.get_api_version()[3]", "misc"),
]

PREAMBLE = """\
import datetime
import plenko_tq_api as tq


def snippet(d: tq.Device, i: tq.Interface, dcq: tq.DcqReading) -> None:
"""


@pytest.fixture(scope="session")
def snippet_errors(mypy_env, tmp_path_factory):
    """mypy --strict over every snippet at once: {snippet name: [error codes]}."""
    folder = tmp_path_factory.mktemp("snippets")
    for name, code, _ in SNIPPETS:
        (folder / f"{name}.py").write_text(PREAMBLE + textwrap.indent(code, "    ") + "\n")
    proc = run_mypy(mypy_env, "--strict", "--no-error-summary", str(folder))
    errors = {name: [] for name, _, _ in SNIPPETS}
    for line in proc.stdout.splitlines():
        m = re.match(r".*?([A-Za-z0-9_]+)\.py:\d+: error: .*\[([a-z-]+)\]$", line)
        if m:
            errors.setdefault(m.group(1), []).append(m.group(2))
    return errors, proc.stdout


@pytest.mark.parametrize("name, code, expected", SNIPPETS, ids=[s[0] for s in SNIPPETS])
def test_the_stub_accepts_correct_use_and_rejects_mistakes(snippet_errors, name, code, expected):
    errors, output = snippet_errors
    if expected is None:
        assert errors[name] == [], output
    else:
        assert expected in errors[name], output


# ---------------------------------------------------------------------------
# Docstrings: the stub carries the module's own, so editors show them.

def stub_docstrings():
    """{dotted name: docstring} of every documented class and function in the stub."""
    tree = ast.parse(STUB.read_text())
    docs = {}

    def visit(node, prefix):
        for child in node.body:
            if isinstance(child, (ast.ClassDef, ast.FunctionDef)) and not child.name.startswith("_"):
                name = prefix + child.name
                docs[name] = ast.get_docstring(child)
                if isinstance(child, ast.ClassDef):
                    visit(child, name + ".")

    visit(tree, "")
    return docs


def runtime_doc(tq, dotted):
    obj = tq
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return inspect.cleandoc(obj.__doc__) if obj.__doc__ else None


def test_stub_docstrings_are_the_modules_own(tq):
    docs = stub_docstrings()
    assert len(docs) > 60
    for dotted, doc in docs.items():
        if dotted.endswith(("__init__", "__new__", "__int__")):
            continue
        assert (doc and inspect.cleandoc(doc)) == runtime_doc(tq, dotted), dotted


def test_module_docstring_matches(tq):
    assert ast.get_docstring(ast.parse(STUB.read_text())) == tq.__doc__


# ---------------------------------------------------------------------------
# Syntax: readable by every supported interpreter.

@pytest.mark.parametrize("major, minor, path", INTERPRETERS, ids=[f"{a}.{b}-{p}" for a, b, p in INTERPRETERS])
def test_stub_compiles_under_interpreter(major, minor, path):
    proc = subprocess.run([path, "-I", "-c", "import sys; compile(open(sys.argv[1]).read(), sys.argv[1], 'exec')",
                           str(STUB)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr


def test_stub_needs_nothing_newer_than_python_3_8():
    ast.parse(STUB.read_text(), feature_version=(3, 8))
    assert "from __future__ import annotations" in STUB.read_text()
