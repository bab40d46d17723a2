"""Checks the generated Wireshark dissector against the client.

Runs inside a private network namespace (scripts/netns): tcpdump captures
loopback while wireshark_session runs its traced session twice (devices on
127.0.0.1, then on ::1). tshark decodes the session's own traces and the
capture with the dissector; every packet must show the command and every
field the client sent or decoded, answers paired with their requests, the
malformed answer flagged and nothing else, and the capture must decode to
the same packets as the traces.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

ERROR_RESPONSE = 0xBAAD
# Frame numbers and times differ between a trace and a capture.
PLACED = {"plenko_tq.request_in", "plenko_tq.response_in", "plenko_tq.response_time"}


def fields_of(element, out):
    for f in element.findall("field"):
        name = f.get("name", "")
        if name.startswith("plenko_tq.") or name == "_ws.expert":
            out.append((name, f.get("show", ""), f.get("showname", "")))
        fields_of(f, out)
    return out


def decode(tshark, dissector, capture):
    """Every plenko_tq packet of the capture: (frame, [(field, show, showname)])."""
    pdml = subprocess.run(
        # Heuristics first: the ports are ephemeral, and one may be another
        # protocol's registered port.
        [tshark, "-r", str(capture), "-X", f"lua_script:{dissector}", "-o", "tcp.try_heuristic_first:TRUE", "-2",
         "-T", "pdml"],
        check=True, capture_output=True, text=True).stdout
    packets = []
    for packet in ET.fromstring(pdml).findall("packet"):
        frame = next(p for p in packet.findall("proto") if p.get("name") == "frame")
        number = int(next(f.get("show") for f in frame.findall("field") if f.get("name") == "frame.number"))
        for proto in packet.findall("proto"):
            if proto.get("name") == "plenko_tq":
                packets.append((number, fields_of(proto, [])))
    return packets


def value(fields, name):
    shown = [show for n, show, _ in fields if n == name]
    assert len(shown) == 1, f"{name}: {shown} in {fields}"
    return shown[0]


def showname(fields, name):
    return next(s for n, _, s in fields if n == name)


def as_number(show):
    return int(show, 0)


def check_field(fields, name, expected):
    shown = value(fields, f"plenko_tq.{name}")
    if isinstance(expected, str) and name == "chunk":
        assert shown.replace(":", "") == expected, (name, shown, expected)
    elif isinstance(expected, str):
        assert shown == expected, (name, shown, expected)
    else:
        assert as_number(shown) == expected, (name, shown, expected)
        label = showname(fields, f"plenko_tq.{name}")
        assert "Unknown" not in label, label


def expert_names(fields):
    # Expert items carry the expert's own name as a child of _ws.expert.
    return {n for n, _, _ in fields
            if n in {"plenko_tq.cut", "plenko_tq.refused", "plenko_tq.invalid_utf8", "plenko_tq.unknown_command",
                     "plenko_tq.unexpected", "plenko_tq.not_in_version", "plenko_tq.extra_bytes",
                     "plenko_tq.oversize", "plenko_tq.long_text"}}


def check_against_record(packets, records):
    assert len(packets) == 2 * len(records), (len(packets), len(records))
    commands_seen, versions, flagged = set(), set(), []
    for i, record in enumerate(records):
        (req_frame, req), (resp_frame, resp) = packets[2 * i], packets[2 * i + 1]
        code = record["code"]
        assert as_number(value(req, "plenko_tq.command")) == code
        for name, expected in record["request"].items():
            check_field(req, name, expected)
        answer = record["response"]
        assert as_number(value(resp, "plenko_tq.command")) == answer["code"]
        assert as_number(value(resp, "plenko_tq.request_in")) == req_frame
        assert as_number(value(req, "plenko_tq.response_in")) == resp_frame
        assert float(value(resp, "plenko_tq.response_time")) >= 0
        if "error_status" in answer:
            assert as_number(value(resp, "plenko_tq.error_status")) == answer["error_status"]
            assert as_number(value(resp, "plenko_tq.answers")) == code
            assert showname(resp, "plenko_tq.error_status").startswith("Service status: TQ_SERVICE_STATUS_")
        for name, expected in answer.get("fields", {}).items():
            check_field(resp, name, expected)
        if "decode_status" in answer:
            flagged.append(code)
            assert "plenko_tq.cut" in expert_names(resp), resp
        else:
            assert not expert_names(resp) - {"plenko_tq.extra_bytes"}, (code, expert_names(resp))
        assert not expert_names(req), (code, expert_names(req))
        commands_seen.add(code)
        if code == 1:
            versions.add(answer["fields"]["version"])
    return commands_seen, versions, flagged


def without_places(packets):
    return [[f for f in fields if f[0] not in PLACED] for _, fields in packets]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--session", required=True)
    ap.add_argument("--dissector", required=True)
    ap.add_argument("--workdir", required=True)
    args = ap.parse_args()
    if not os.environ.get("TQ_NETNS"):
        print("wireshark_check: run me inside scripts/netns", file=sys.stderr)
        return 77
    work = Path(args.workdir)
    work.mkdir(parents=True, exist_ok=True)
    tshark = "tshark"
    capture = work / "capture.pcap"
    capture.unlink(missing_ok=True)
    # -Z root: tcpdump would otherwise write as its own user, which may not
    # write here.
    dump = subprocess.Popen(["tcpdump", "-i", "lo", "-U", "-Z", "root", "-w", str(capture)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = dump.stderr.readline()  # "listening on lo ..." once the capture runs
    assert "listening" in line, line
    records, packets = [], []
    for family, bind in (("4", "127.0.0.1"), ("6", "::1")):
        trace, record = work / f"trace{family}.pcapng", work / f"record{family}.jsonl"
        subprocess.run([args.session, str(trace), str(record), "--bind", bind], check=True, timeout=120)
        these = [json.loads(l) for l in record.read_text().splitlines()]
        decoded = decode(tshark, args.dissector, trace)
        seen, versions, flagged = check_against_record(decoded, these)
        # Every command of the table (odd codes 1..97), both versions, one malformed answer.
        assert seen == set(range(1, 98, 2)), sorted(set(range(1, 98, 2)) - seen)
        assert versions == {1, 2}, versions
        assert flagged == [41], flagged
        assert any("error_status" in r["response"] for r in these)
        records += these
        packets += decoded
    time.sleep(0.3)
    dump.send_signal(signal.SIGINT)
    dump.wait(timeout=10)
    captured = decode(tshark, args.dissector, capture)
    a, b = without_places(captured), without_places(packets)
    first = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    assert a == b, (f"capture and trace decode differently: {len(a)} and {len(b)} packets, from packet {first}: "
                    f"{a[first:first + 1]} / {b[first:first + 1]}")
    print(f"wireshark_check: {len(records)} exchanges in 2 traces and the capture decoded alike, "
          f"{len(packets)} packets checked field by field")
    return 0


if __name__ == "__main__":
    sys.exit(main())
