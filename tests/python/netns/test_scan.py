"""Scanning from Python: waits, results, and the lines written for devices
that are skipped. This file runs in a namespace of its own, so the network
starts empty."""

import datetime
import re
import time

import pytest

from simulator import INTERRUPT_AFTER, Simulator, interrupted_child, run_child, scan


class Delta(datetime.timedelta):
    @property
    def days(self):
        return 10**9


def test_empty_network_gives_an_empty_list_after_the_full_wait(tq):
    client = tq.create_client()
    start = time.monotonic()
    assert client.scan_for_devices() == []
    assert time.monotonic() - start >= 0.95
    start = time.monotonic()
    assert client.scan_for_devices_with_timeout(datetime.timedelta(milliseconds=100)) == []
    assert time.monotonic() - start >= 0.095
    assert client.scan_for_devices_with_timeout(timeout=datetime.timedelta(0)) == []


# A device that answers the version query only after 3 s keeps a connect in
# flight when Ctrl-C arrives: the scan ends its wait and that connect early.
def test_ctrl_c_ends_a_scan_and_its_connects(tq):
    with Simulator("--fault", "1:delay=3000"):
        seen = interrupted_child("", "tq.create_client().scan_for_devices_with_timeout(datetime.timedelta(seconds=5))")
    assert seen["interrupted"]
    assert seen["seconds"] < INTERRUPT_AFTER + 0.5


def test_timedelta_subclass_is_read_by_its_real_fields(tq):
    start = time.monotonic()
    assert tq.create_client().scan_for_devices_with_timeout(Delta(milliseconds=50)) == []
    assert time.monotonic() - start < 60


def test_devices_come_back_sorted_and_connected(tq):
    models = [
        {"serial_number": 3, "ean": "4062138020019", "name": "c"},
        {"serial_number": 1, "ean": "4062138020019", "name": "b"},
        {"serial_number": 2, "ean": "1234567890128", "name": "a"},
    ]
    with Simulator(devices=models):
        devices = scan(tq, 1, 2, 3)
        assert [d.get_serial_number() for d in devices] == [2, 1, 3]
        assert [d.get_name() for d in devices] == ["a", "b", "c"]
        assert all(type(d) is tq.Device for d in devices)


SKIPPED_LINES = {"Encountered a device with newer (incompatible) firmware", "Failed to connect to device NetworkError"}


# Standard output by default; routed to logging, WARNING records of the
# "plenko_tq_api" logger made on the scanning thread (the connects ran in
# threads of the client), each naming the device's address.
@pytest.mark.parametrize("to_logging", [False, True], ids=["stdout", "logging"])
def test_skipped_devices_are_reported(tq, to_logging):
    models = [{"serial_number": 11}, {"serial_number": 12, "protocol_version": 3}]
    with Simulator("--advertise-refused", devices=models):
        lines, result, _ = run_child(
            f"""
import logging
records = []
class Keep(logging.Handler):
    def emit(self, r):
        records.append((r.getMessage(), r.levelname, r.device_address, r.thread == threading.get_ident()))
logging.getLogger("plenko_tq_api").addHandler(Keep())
previous = tq.diagnostics_to_logging({to_logging})
client = tq.create_client()
seen = []
for wait in (300, 1000, 1500, 2000, 3000):
    seen = [d.get_serial_number() for d in client.scan_for_devices_with_timeout(datetime.timedelta(milliseconds=wait))]
    sys.stdout.flush()
    if seen:
        break
report(seen=seen, records=records, previous=previous)
""",
            timeout=120,
        )
    assert (result["seen"], result["previous"]) == ([11], False)
    records = result["records"]
    assert ({r[0] for r in records}, set(lines)) == ((SKIPPED_LINES, set()) if to_logging else (set(), SKIPPED_LINES))
    for _, level, address, on_calling_thread in records:
        assert (level, on_calling_thread, bool(re.fullmatch(r"[0-9.]+:\d+", address))) == ("WARNING", True, True)
