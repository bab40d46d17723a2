"""Advertises one device with python-zeroconf, an mDNS implementation independent
of the one the client uses, for the discovery tests.

    discovery_zeroconf_peer.py INSTANCE_NAME HOST_LABEL PORT ADDRESS...

Prints "READY" once the service is registered, then keeps it published until
SIGTERM or SIGINT, and unregisters it (goodbye packets) before exiting. Run it
only inside a private network namespace.
"""

import signal
import sys
import threading

from zeroconf import IPVersion, ServiceInfo, Zeroconf

SERVICE_TYPE = "_px-command-api._tcp.local."


def main() -> int:
    name, host, port, *addresses = sys.argv[1:]
    info = ServiceInfo(
        SERVICE_TYPE,
        f"{name}.{SERVICE_TYPE}",
        port=int(port),
        parsed_addresses=addresses,
        server=f"{host}.local.",
    )
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    zc = Zeroconf(ip_version=IPVersion.All)
    try:
        zc.register_service(info)
        print("READY", flush=True)
        stop.wait()
        zc.unregister_service(info)
    finally:
        zc.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
