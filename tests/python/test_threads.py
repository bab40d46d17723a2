"""Calls leave the interpreter to other threads while they wait: other Python
threads run, calls on different devices overlap, calls on one device still
come one after another, each with its own answer."""

import threading
import time

import pytest

from simulator import Simulator

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


def timed(call):
    """Runs call() and returns (start, end, result)."""
    start = time.monotonic()
    result = call()
    return start, time.monotonic(), result


def in_threads(*calls):
    results = [None] * len(calls)

    def run(i):
        results[i] = timed(calls[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def test_another_thread_runs_while_a_call_waits(devices):
    ticks = []
    stop = threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    try:
        start, end, name = timed(devices[0].get_name)
    finally:
        stop.set()
        beat.join()
    assert name == "First"
    # With the interpreter held for the whole call, no tick falls inside it.
    assert any(start + DELAY / 4 < t < end - DELAY / 4 for t in ticks)


def test_calls_on_two_devices_overlap(devices):
    (s0, e0, n0), (s1, e1, n1) = in_threads(devices[0].get_name, devices[1].get_name)
    assert (n0, n1) == ("First", "Second")
    assert max(s0, s1) < min(e0, e1) - DELAY / 2


def test_calls_on_one_device_come_one_after_another_each_with_its_own_answer(devices):
    d = devices[0]
    done = {}

    def slow_first():
        done["name"] = timed(d.get_name)

    first = threading.Thread(target=slow_first)
    first.start()
    time.sleep(DELAY / 4)  # get_name now holds the connection
    _, version_end, version = timed(d.get_firmware_version)
    first.join()
    name_start, name_end, name = done["name"]
    assert (name, version) == ("First", "2.4.1")
    # Answered at once by itself, the version waits for get_name's answer.
    assert version_end >= name_end - 0.01
