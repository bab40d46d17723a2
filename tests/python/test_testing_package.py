"""plenko_tq_testing and its pytest plugin: what a user's own tests get."""

import fnmatch

import pytest

from plenko_tq_testing import Simulator, SimulatorError, _in_private_network_namespace, simulator_path

pytest_plugins = ["pytester"]

USER_TESTS = """
import datetime
import pytest
import plenko_tq_api as tq

@pytest.mark.tq_simulator(devices=[{"name": "bench", "serial_number": 4711}, {"serial_number": 4712}])
def test_models_reach_the_devices(tq_simulator, tq_device):
    assert tq_device.get_name() == "bench"
    assert len(tq_simulator.addresses) == 2
    assert tq_simulator.connect(1).get_serial_number() == 4712

@pytest.mark.tq_simulator(faults=["get_name:delay=1000"])
def test_marker_fault_makes_the_device_slow(tq_simulator):
    device = tq_simulator.connect(timeout=datetime.timedelta(milliseconds=200))
    with pytest.raises(tq.DeviceTimedOut):
        device.get_name()

@pytest.mark.tq_simulator(log=True)
def test_requests_are_recorded_by_name(tq_simulator, tq_device):
    tq_device.get_name()
    (serial, _, request), = [r for r in tq_simulator.requests() if r[1] == "get_name"]
    assert serial == tq_device.get_serial_number()
    assert 3 in request[:2], request  # get_name's request code, in the header

def test_advertised_simulator(tq_advertised_simulator):
    assert tq_advertised_simulator.addresses
"""


def test_plugin_fixtures_and_marker(pytester):
    pytester.makepyfile(USER_TESTS)
    result = pytester.runpytest_subprocess("-p", "plenko_tq_testing.pytest_plugin", "--strict-markers", "-rs")
    if _in_private_network_namespace():
        result.assert_outcomes(passed=4)
    else:
        result.assert_outcomes(passed=3, skipped=1)
        result.stdout.fnmatch_lines(["*only inside a private network namespace*"])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"advertise": True}, "allowed only on Linux inside a private network namespace"),
        ({"faults": ["get_name:explode"]}, "plenko-tq-sim ended with status 1: *explode*"),
    ],
    ids=["advertise-outside-a-namespace", "bad-fault-spec"],
)
def test_refuses_to_start(kwargs, message):
    if kwargs.get("advertise") and _in_private_network_namespace():
        pytest.skip("runs in a private network namespace, where advertising is allowed")
    sim = Simulator(**kwargs)
    with pytest.raises(SimulatorError) as raised:
        sim.start()
    assert fnmatch.fnmatch(str(raised.value), f"*{message}*"), raised.value
    with pytest.raises(SimulatorError, match="not running"):
        sim.address


def test_missing_simulator_is_reported(monkeypatch, tmp_path):
    monkeypatch.delenv("PLENKO_TQ_SIM")
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr("sysconfig.get_path", lambda name, scheme=None: str(tmp_path))
    with pytest.raises(SimulatorError, match="plenko-tq-sim not found .* set PLENKO_TQ_SIM"):
        simulator_path()
