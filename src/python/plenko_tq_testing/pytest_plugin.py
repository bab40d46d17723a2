"""pytest fixtures for tests against simulated devices.

pytest loads this plugin by itself wherever plenko-tq-api is installed (its
pytest11 entry point), so a test only names the fixtures:

    import pytest

    def test_name(tq_device):
        assert tq_device.get_name()

    @pytest.mark.tq_simulator(devices=2, faults=["get_name:delay=1500"])
    def test_slow_device(tq_simulator):
        ...

Fixtures (each test gets its own simulator):
    tq_simulator: a started plenko_tq_testing.Simulator, one device unless
        the test's tq_simulator marker says otherwise; stopped after the test
    tq_device: plenko_tq_api.Device connected to tq_simulator's first
        device, closed after the test
    tq_advertised_simulator: like tq_simulator with advertise=True, for
        scans; the test is skipped outside a private network namespace

The marker `tq_simulator(...)` takes the arguments of Simulator (devices,
interfaces, protocol_version, faults, random_faults, log, extra_args,
start_timeout) for the simulator of tq_simulator, tq_device and
tq_advertised_simulator; it may be set on a test, a class or a module.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Iterator, Tuple

import pytest

from plenko_tq_testing import Simulator, _in_private_network_namespace

if TYPE_CHECKING:
    import plenko_tq_api

MARKER = "tq_simulator"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(devices=1, **kwargs): arguments of the plenko_tq_testing.Simulator that the tq_simulator, "
        "tq_device and tq_advertised_simulator fixtures start",
    )


def _simulator_arguments(request: pytest.FixtureRequest) -> Tuple[Tuple[Any, ...], Dict[str, Any]]:
    marker = request.node.get_closest_marker(MARKER)
    if marker is None:
        return (), {}
    return tuple(marker.args), dict(marker.kwargs)


@pytest.fixture
def tq_simulator(request: pytest.FixtureRequest) -> Iterator[Simulator]:
    """A started Simulator (one device, or as the tq_simulator marker says),
    stopped after the test."""
    args, kwargs = _simulator_arguments(request)
    with Simulator(*args, **kwargs) as sim:
        yield sim


@pytest.fixture
def tq_device(tq_simulator: Simulator) -> Iterator[plenko_tq_api.Device]:
    """The first device of tq_simulator, connected by its address; closed
    after the test."""
    device = tq_simulator.connect()
    try:
        yield device
    finally:
        device.close()


@pytest.fixture
def tq_advertised_simulator(request: pytest.FixtureRequest) -> Iterator[Simulator]:
    """A started Simulator whose devices are published by DNS-SD, so that a
    scan finds them. Publishing is allowed only inside a private network
    namespace; anywhere else the test is skipped."""
    if not _in_private_network_namespace():
        pytest.skip("tq_advertised_simulator publishes devices by mDNS: only inside a private network namespace")
    args, kwargs = _simulator_arguments(request)
    kwargs["advertise"] = True
    with Simulator(*args, **kwargs) as sim:
        yield sim
