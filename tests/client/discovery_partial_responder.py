"""An mDNS responder whose replies to legacy unicast questions leave some of
its hosts' addresses out, for the discovery tests. Run it only inside a
private network namespace.

    discovery_partial_responder.py ADDRESS ADDRESS6 PORT

On the link of ADDRESS it advertises two instances on PORT:
  - "partial" of host partial.local (ADDRESS and ADDRESS6), whose reply
    carries its IPv4 address only;
  - "cut" of host cut.local (ADDRESS, 10.77.0.3 and ADDRESS6), whose reply
    carries ADDRESS only and says it was truncated (TC).
The replies come 50 ms after the question. Questions from port 5353 (other
responders' and the querier's follow-ups) are answered by multicast with every address
of both hosts and nothing else, so an address missing from a reply is known
only to whoever browses the host's records.
Prints READY once listening; runs until SIGTERM or for at most 60 s.
"""

import signal
import socket
import struct
import sys
import threading
import time

from discovery_hostile_responder import (
    GROUP,
    SERVICE,
    TYPE_A,
    TYPE_PTR,
    messages,
    name,
    questions,
    responder_socket,
    rr,
    srv_record,
)

TYPE_AAAA = 28
TRUNCATED = 0x02  # in the second byte of the flags


def main():
    address, address6, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    a, a3 = socket.inet_aton(address), socket.inet_aton("10.77.0.3")
    aaaa = socket.inet_pton(socket.AF_INET6, address6)
    every_address = [
        rr(("partial", "local"), TYPE_A, a),
        rr(("partial", "local"), TYPE_AAAA, aaaa),
        rr(("cut", "local"), TYPE_A, a),
        rr(("cut", "local"), TYPE_A, a3),
        rr(("cut", "local"), TYPE_AAAA, aaaa),
    ]

    def reply(instance):
        ptr = rr(SERVICE, TYPE_PTR, name((instance,) + SERVICE), flush=False)
        return [ptr, srv_record(instance, port, instance), rr((instance, "local"), TYPE_A, a)]

    s = responder_socket(address)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    def answer_legacy(source, qid):
        if stop.wait(0.05):
            return
        question = (SERVICE, TYPE_PTR)
        s.sendto(messages(qid, question, reply("partial"))[0], source)
        cut = bytearray(messages(qid, question, reply("cut"))[0])
        cut[2] |= TRUNCATED
        s.sendto(bytes(cut), source)

    print("READY", flush=True)
    deadline = time.monotonic() + 60
    while not stop.is_set() and time.monotonic() < deadline:
        try:
            data, source = s.recvfrom(9000)
            qid, asked = questions(data)
        except (socket.timeout, ValueError, IndexError, struct.error):
            continue
        if source[1] == 5353:
            if asked:
                s.sendto(messages(0, None, every_address)[0], (GROUP, 5353))
        elif (SERVICE, TYPE_PTR) in asked:
            threading.Thread(target=answer_legacy, args=(source, qid), daemon=True).start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
