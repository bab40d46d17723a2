"""Repeated calls keep memory flat: nothing the module allocates per call
survives the call (Python objects by tracemalloc, native memory by RSS)."""

import gc
import tracemalloc

import pytest

from simulator import Simulator, scan


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


@pytest.fixture(scope="module")
def device(tq):
    with Simulator(devices=[{"serial_number": 4242, "interfaces": [{}, {"type": 2}]}]):
        (d,) = scan(tq, 4242)
        yield d


def measure(work, rounds):
    """Runs work(n) once to warm up, then `rounds` times; returns the growth of
    traced Python memory and of RSS between the first and the last round."""
    work()
    gc.collect()
    tracemalloc.start()
    try:
        work()
        gc.collect()
        traced0, rss0 = tracemalloc.get_traced_memory()[0], rss_kib()
        for _ in range(rounds):
            work()
        gc.collect()
        traced1, rss1 = tracemalloc.get_traced_memory()[0], rss_kib()
    finally:
        tracemalloc.stop()
    return traced1 - traced0, rss1 - rss0


def test_100000_getter_calls_keep_memory_flat(tq, device):
    status = device.get_interfaces()[0].get_status()
    config = tq.EthInterfaceConfig([tq.EthLinkSpeed.Speed100MbitFullDuplex] * 4, [tq.EthRole.Leader], tq.EthAnegMode.AnegDisabled)

    def work():
        for _ in range(2500):
            device.get_name()
            device.get_serial_number()
            device.get_ean()
            status.eth_interface_status.speed
            status.interface_type
            config.speed
            config.role
            config.aneg_mode
            tq.format_ean(device.get_ean())
            tq.PacketGeneratorConfig(True, tq.PgPayloadSize.Size64, tq.PgPayloadType.Alternating, tq.PgPacketValidity.GoodCrc, 3).payload_type

    traced, rss = measure(work, rounds=4)  # 4 x 25 000 calls after warm-up
    assert traced < 64 * 1024, f"Python memory grew by {traced} bytes"
    assert rss < 2048, f"RSS grew by {rss} KiB"


def test_10000_get_interfaces_with_value_reads_keep_memory_flat(tq, device):
    def work():
        for _ in range(500):
            for port in device.get_interfaces():
                s = port.get_status()
                (s.interface_type, s.eth_interface_status.link_state, s.eth_interface_status.role)

    traced, rss = measure(work, rounds=20)  # 20 x 500 = 10 000 get_interfaces()
    assert traced < 64 * 1024, f"Python memory grew by {traced} bytes"
    assert rss < 2048, f"RSS grew by {rss} KiB"


def test_failing_calls_keep_memory_flat(tq, device):
    def work():
        for _ in range(2000):
            for bad in ("a\0b", 5):
                try:
                    device.set_nickname(bad)
                except (TypeError, ValueError):
                    pass

    traced, rss = measure(work, rounds=5)
    assert traced < 64 * 1024, f"Python memory grew by {traced} bytes"
    assert rss < 2048, f"RSS grew by {rss} KiB"
