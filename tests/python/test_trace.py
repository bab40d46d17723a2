"""trace_to: the exchanges of a session land in a pcapng file, byte for byte."""

import struct

import pytest

from simulator import Simulator


def pcapng_packets(path):
    """The packet data of every Enhanced Packet Block (little-endian sections)."""
    data = path.read_bytes()
    assert data[:4] == b"\x0a\x0d\x0d\x0a" and data[8:12] == struct.pack("<I", 0x1A2B3C4D)
    packets, at = [], 0
    while at < len(data):
        kind, length = struct.unpack_from("<II", data, at)
        assert length >= 12 and length % 4 == 0
        if kind == 6:
            captured = struct.unpack_from("<I", data, at + 20)[0]
            packets.append(data[at + 28:at + 28 + captured])
        at += length
    return packets


def tcp_payloads(packets):
    """(source port, payload) of the IPv4 TCP segments carrying data."""
    out = []
    for p in packets:
        assert p[0] >> 4 == 4 and p[9] == 6
        tcp = p[(p[0] & 0x0F) * 4:]
        payload = tcp[(tcp[12] >> 4) * 4:]
        if payload:
            out.append((struct.unpack_from(">H", tcp)[0], payload))
    return out


def test_a_traced_session_holds_each_request_and_answer_and_nothing_after_the_trace_stops(tq, tmp_path):
    trace = tmp_path / "session.pcapng"
    with Simulator("--name", "traced", advertise=False) as sim:
        host, port = sim.endpoints[0].rsplit(":", 1)
        tq.trace_to(trace)  # a path object, like a str
        try:
            device = tq.create_client().connect(host, int(port))
            assert device.get_name() == "traced"
        finally:
            tq.trace_to(None)
        device.get_name()  # after the trace: not in it
    streams = tcp_payloads(pcapng_packets(trace))
    sent = b"".join(p for source, p in streams if source != int(port))
    received = b"".join(p for source, p in streams if source == int(port))
    name_request = b"\x03\x00\x00\x00"
    assert sent.count(name_request) == 1
    assert received.endswith(b"\x04\x00\x08\x00\x06\x00traced")


def test_an_unwritable_trace_file_raises_oserror_naming_it(tq, tmp_path):
    missing = tmp_path / "no-such-dir" / "t.pcapng"
    with pytest.raises(OSError) as e:
        tq.trace_to(str(missing))
    assert e.value.filename == str(missing)
