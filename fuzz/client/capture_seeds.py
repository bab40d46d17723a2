"""Captures real replies of mDNS responders as seeds for fuzz_dns_reply: the
simulator's own (plenko-tq-sim --advertise) and python-zeroconf's. (The
avahi-*.bin seeds were captured the same way when the simulator still
published through Avahi's library.)
For each it asks, as the client does, from an ephemeral port (legacy unicast):
the PTR question for the service type, then SRV and A questions for the first
instance, and keeps each reply; it also keeps one multicast announcement.

    scripts/netns .venv/bin/python fuzz/client/capture_seeds.py \\
        build/tools/sim/plenko-tq-sim fuzz/seeds/fuzz_dns_reply

Run it only inside a private network namespace (loopback is enough).
"""

import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

from zeroconf import DNSIncoming, ServiceInfo, Zeroconf, IPVersion

SERVICE = "_px-command-api._tcp.local."
GROUP = ("224.0.0.251", 5353)


def question(qid: int, name: str, qtype: int) -> bytes:
    body = b"".join(bytes([len(label)]) + label.encode() for label in name.rstrip(".").split("."))
    return struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + body + b"\0" + struct.pack(">HH", qtype, 1)


def ask(name: str, qtype: int) -> list[bytes]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    s.bind(("127.0.0.1", 0))
    s.sendto(question(0x5EED, name, qtype), GROUP)
    s.settimeout(0.5)
    replies = []
    try:
        while True:
            data, source = s.recvfrom(9000)
            if source[1] == 5353:
                replies.append(data)
    except socket.timeout:
        pass
    s.close()
    return replies


def listener() -> socket.socket:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("", 5353))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP[0]) + socket.inet_aton("127.0.0.1"))
    s.setblocking(False)
    return s


def announcement(s: socket.socket) -> bytes | None:
    try:
        while True:
            data = s.recv(9000)
            if data[2] & 0x80 and DNSIncoming(data).answers():
                return data
    except BlockingIOError:
        return None


def capture(prefix: str, out: Path, announced: socket.socket) -> None:
    seeds = {}
    ptr = ask(SERVICE, 12)
    if not ptr:
        sys.exit(f"{prefix}: no answer to the PTR question")
    seeds["ptr"] = ptr[0]
    records = DNSIncoming(ptr[0]).answers()
    instance = next(r.alias for r in records if r.type == 12)
    seeds["srv"] = ask(instance, 33)[0]
    host = next(r.server for r in DNSIncoming(seeds["srv"]).answers() if r.type == 33)
    seeds["a"] = ask(host, 1)[0]
    multicast = announcement(announced)
    if multicast is not None:
        seeds["announcement"] = multicast
    for kind, data in seeds.items():
        (out / f"{prefix}-{kind}.bin").write_bytes(data)
        print(f"{prefix}-{kind}.bin: {len(data)} bytes")


def main() -> int:
    sim, out = sys.argv[1], Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)

    announced = listener()
    proc = subprocess.Popen([sim, "--devices", "3", "--advertise"], stdout=subprocess.PIPE, text=True)
    try:
        if not proc.stdout.readline().startswith("READY"):
            sys.exit("the simulator did not start")
        capture("sim", out, announced)
    finally:
        proc.terminate()
        proc.wait()
    time.sleep(0.5)
    announced.close()

    announced = listener()
    zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
    try:
        for i in range(3):
            zc.register_service(
                ServiceInfo(SERVICE, f"Zeroconf bench {i}.{SERVICE}", port=4000 + i,
                            parsed_addresses=["127.0.0.1"], server="zc-seed.local.")
            )
        capture("zeroconf", out, announced)
    finally:
        zc.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
