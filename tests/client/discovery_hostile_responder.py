"""A hostile mDNS responder for the discovery tests. Run it only inside a
private network namespace.

    discovery_hostile_responder.py ADDRESS FLAP_PORT_A FLAP_PORT_B

On the link of ADDRESS it answers questions for _px-command-api._tcp.local.
with far too much, all from UDP port 5353 as a responder would:
  - "flap" on FLAP_PORT_A or FLAP_PORT_B of host flap.local (ADDRESS), its SRV
    record sent anew every 20 ms with the other port, by multicast and, once
    a legacy unicast question came, as a reply to that question;
  - "many" on port 9 of host many.local, which has 40 IPv4 addresses
    (127.0.0.1 to 127.0.0.40: whoever connects is refused at once);
  - "i0" to "i4999" on port 9 of host hostile.local (ADDRESS);
  - to a legacy unicast question (not from port 5353) the same names, and
    from 0.2 s later for up to 4 s a flood of replies that carry the
    question's id, their names chains of compression pointers: replies that
    echo the question with 255 records, each owner pointing at the one
    before it, and replies of 1490 questions, each pointing at the one
    before it.
Prints READY once listening; runs until SIGTERM or for at most 60 s.
"""

import signal
import socket
import struct
import sys
import threading
import time

SERVICE = ("_px-command-api", "_tcp", "local")
GROUP = "224.0.0.251"
INSTANCES = 5000
FLOOD_SECONDS = 4.0
FLOOD_DATAGRAMS = 4000
TYPE_A, TYPE_PTR, TYPE_SRV = 1, 12, 33


def name(labels):
    return b"".join(bytes([len(l)]) + l.encode() for l in labels) + b"\0"


def rr(owner, rtype, data, flush=True):
    return name(owner) + struct.pack(">HHIH", rtype, 0x8001 if flush else 1, 120, len(data)) + data


def srv_record(instance, port, host):
    return rr((instance,) + SERVICE, TYPE_SRV, struct.pack(">HHH", 0, 0, port) + name((host, "local")))


def messages(qid, question, records):
    """Records packed into as few messages as fit 8900 bytes and 200 entries."""
    head = name(question[0]) + struct.pack(">HH", question[1], 1) if question else b""
    out, batch, size = [], [], 0
    for r in records:
        if batch and (size + len(r) > 8800 or len(batch) == 200):
            out.append(batch)
            batch, size = [], 0
        batch.append(r)
        size += len(r)
    if batch:
        out.append(batch)
    return [struct.pack(">HHHHHH", qid, 0x8400, 1 if question else 0, len(b), 0, 0) + head + b"".join(b) for b in out]


def pointer_chain(qid, records):
    """A reply echoing the PTR question, whose records' owners each point at
    the owner before them: reading name n follows n pointers."""
    question = name(SERVICE) + struct.pack(">HH", TYPE_PTR, 1)
    body, previous = bytearray(), 12
    for _ in range(records):
        here = 12 + len(question) + len(body)
        body += struct.pack(">HHHIH", 0xC000 | previous, TYPE_A, 1, 120, 0)
        previous = here
    return struct.pack(">HHHHHH", qid, 0x8400, 1, records, 0, 0) + question + bytes(body)


def question_chain(qid, count):
    """A reply with `count` questions, each a pointer to the one before it:
    a reader that reads them all follows count * count / 2 pointers."""
    body = bytearray(name(SERVICE) + struct.pack(">HH", TYPE_PTR, 1))
    previous = 12
    for _ in range(count - 1):
        here = 12 + len(body)
        body += struct.pack(">HHH", 0xC000 | previous, TYPE_PTR, 1)
        previous = here
    return struct.pack(">HHHHHH", qid, 0x8400, count, 0, 0, 0) + bytes(body)


def read_name(data, at):
    labels, hops, end = [], 0, None
    while True:
        length = data[at]
        if length & 0xC0 == 0xC0:
            hops += 1
            if hops > 16:
                raise ValueError("pointer loop")
            if end is None:
                end = at + 2
            at = (length & 0x3F) << 8 | data[at + 1]
            continue
        if length == 0:
            return tuple(labels), (end if end is not None else at + 1)
        labels.append(data[at + 1 : at + 1 + length].decode(errors="replace"))
        at += 1 + length


def questions(data):
    qid, flags, count = struct.unpack(">HHH", data[:6])
    if flags & 0x8000:
        return qid, []
    at, out = 12, []
    for _ in range(count):
        labels, at = read_name(data, at)
        qtype = struct.unpack(">H", data[at : at + 2])[0]
        out.append((labels, qtype))
        at += 4
    return qid, out


def responder_socket(address):
    """UDP 5353 in the group on the link of IPv4 ADDRESS, shared with other
    responders on the host; reads time out after 50 ms."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("", 5353))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + socket.inet_aton(address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    s.settimeout(0.05)
    return s


class Responder:
    def __init__(self, address, ports):
        self.address, self.ports = address, ports
        self.stop = threading.Event()
        self.sock = responder_socket(address)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
        self.flooded = set()
        self.legacy = None  # (source, id) of the first legacy PTR question

    def records_for(self, labels, qtype):
        a = socket.inet_aton(self.address)
        if labels == SERVICE and qtype == TYPE_PTR:
            # flap and many come first, with their records, as responders
            # add them to an answer; the thousands of bare names follow.
            first = []
            for instance in ("flap", "many"):
                first.append(rr(SERVICE, TYPE_PTR, name((instance,) + SERVICE), flush=False))
                first += self.records_for((instance,) + SERVICE, TYPE_SRV)
            rest = [f"i{i}" for i in range(INSTANCES)]
            return first + [rr(SERVICE, TYPE_PTR, name((n,) + SERVICE), flush=False) for n in rest]
        if labels[1:] == SERVICE and qtype == TYPE_SRV:
            instance = labels[0]
            if instance == "flap":
                return [srv_record("flap", self.ports[0], "flap"), rr(("flap", "local"), TYPE_A, a)]
            if instance == "many" or instance.startswith("i"):
                host = "many" if instance == "many" else "hostile"
                return [srv_record(instance, 9, host)] + self.records_for((host, "local"), TYPE_A)
        if labels in (("flap", "local"), ("hostile", "local")) and qtype == TYPE_A:
            return [rr(labels, TYPE_A, a)]
        if labels == ("many", "local") and qtype == TYPE_A:
            return [rr(labels, TYPE_A, socket.inet_aton(f"127.0.0.{i}")) for i in range(1, 41)]
        return []

    def send(self, data, to):
        try:
            self.sock.sendto(data, to)
        except OSError:
            pass  # a full send buffer: this one is lost, as on a busy link

    def flood(self, to, qid):
        # The answers to the question go first; then the flood, spread over
        # the whole time so that it outlasts the scan's wait.
        if self.stop.wait(0.2):
            return
        start = time.monotonic()
        rate = FLOOD_DATAGRAMS / FLOOD_SECONDS
        within_limit, over_limit = pointer_chain(qid, 255), question_chain(qid, 1490)
        for n in range(FLOOD_DATAGRAMS):
            if n % 5 == 0:
                ahead = start + n / rate - time.monotonic()
                if self.stop.wait(max(ahead, 0)):
                    return
            self.send(within_limit if n % 2 else over_limit, to)

    def flap(self):
        n = 0
        while not self.stop.wait(0.02):
            n += 1
            port = self.ports[n % 2]
            self.send(messages(0, None, [srv_record("flap", port, "flap")])[0], (GROUP, 5353))
            if self.legacy is not None:
                source, qid = self.legacy
                flap = [srv_record("flap", port, "flap")] + self.records_for(("flap", "local"), TYPE_A)
                self.send(messages(qid, (SERVICE, TYPE_PTR), flap)[0], source)

    def serve(self):
        threading.Thread(target=self.flap, daemon=True).start()
        deadline = time.monotonic() + 60
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                data, source = self.sock.recvfrom(9000)
            except socket.timeout:
                continue
            try:
                qid, asked = questions(data)
            except (ValueError, IndexError, struct.error):
                continue
            legacy = source[1] != 5353
            for labels, qtype in asked:
                records = self.records_for(labels, qtype)
                if not records:
                    continue
                if legacy:
                    for m in messages(qid, (labels, qtype), records):
                        self.send(m, source)
                else:
                    for m in messages(0, None, records):
                        self.send(m, (GROUP, 5353))
                if legacy and qtype == TYPE_PTR and source not in self.flooded:
                    self.flooded.add(source)
                    self.legacy = (source, qid)
                    threading.Thread(target=self.flood, args=(source, qid), daemon=True).start()


def main():
    address, port_a, port_b = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    responder = Responder(address, (port_a, port_b))
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: responder.stop.set())
    print("READY", flush=True)
    responder.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main())
