"""Calls leave the interpreter to other threads while they wait: other Python
threads run, calls on different devices overlap, calls on one device still
come one after another, each with its own answer."""

import time

import pytest

from simulator import Simulator
from timing import beats_during, in_background, timed

DELAY = 0.4  # seconds each device takes to answer get_name


@pytest.fixture(scope="module")
def sim():
    devices = [{"name": "First", "serial_number": 1}, {"name": "Second", "serial_number": 2}]
    delay = f"delay={int(DELAY * 1000)}"
    with Simulator("--fault", f"3:{delay}", devices=devices, advertise=False) as s:
        yield s


@pytest.fixture
def devices(tq, sim):
    client = tq.create_client()
    return [client.connect(host, int(port)) for host, port in (e.rsplit(":", 1) for e in sim.endpoints)]


def test_another_thread_runs_while_a_call_waits(devices):
    start, end, name, beats = beats_during(devices[0].get_name)
    assert name == "First"
    # With the interpreter held for the whole call, no beat falls inside it.
    assert any(start + DELAY / 4 < t < end - DELAY / 4 for t in beats)


def test_calls_on_two_devices_overlap(devices):
    other = in_background(devices[1].get_name)
    s0, e0, n0 = timed(devices[0].get_name)
    s1, e1, n1 = other.result()
    assert (n0, n1) == ("First", "Second")
    assert max(s0, s1) < min(e0, e1) - DELAY / 2


def test_calls_on_one_device_come_one_after_another_each_with_its_own_answer(devices):
    first = in_background(devices[0].get_name)
    time.sleep(DELAY / 4)  # get_name now holds the connection
    _, version_end, version = timed(devices[0].get_firmware_version)
    _, name_end, name = first.result()
    assert (name, version) == ("First", "2.4.1")
    # Answered at once by itself, the version waits for get_name's answer.
    assert version_end >= name_end - 0.01
