#!/usr/bin/env python3
"""What the interpreter can do while calls wait: the longest stall of a 10 ms
heartbeat thread during a 1 s scan, a get_name answered after 1 s and an
8 MiB firmware update (2 ms per chunk, 1 s finalize), and four devices
flashed (1 MiB, 2 ms per chunk) from four threads against one after another.

Targets: every stall <= 20 ms; four threads >= 3x faster.

    bench/python/bench_threads.py

Environment as for bench_get_name.py; the scan needs a private network
namespace, so the script re-runs itself inside one (scripts/netns, root).
"""

import datetime
import os
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "python"))
from timing import beats_during  # noqa: E402
from tqpaths import MODULE_DIR, NETNS  # noqa: E402

sys.path.insert(0, str(MODULE_DIR))


def longest_stall(call):
    """Runs call() beside a heartbeat; returns (call seconds, longest gap in ms)."""
    start, end, _, beats = beats_during(call)
    return end - start, 1000 * max(b - a for a, b in zip(beats, beats[1:]))


def main():
    if not os.environ.get("TQ_NETNS"):
        os.execv(str(NETNS), [str(NETNS), "--", sys.executable, *sys.argv])
    import plenko_tq_api as tq
    from simulator import Simulator

    faults = ["--fault", "0/3:delay=1000", "--fault", "51:delay=2", "--fault", "0/53:delay=1000"]
    with Simulator("--devices", "5", *faults, log=False) as sim:
        client = tq.create_client()
        devices = [client.connect(h, int(p)) for h, p in (e.rsplit(":", 1) for e in sim.endpoints)]
        plain = tq.FirmwareUpdateCallbacks()
        cases = {
            "1 s scan": lambda: client.scan_for_devices_with_timeout(datetime.timedelta(seconds=1)),
            "get_name answered after 1 s": devices[0].get_name,
            "8 MiB update": lambda: devices[0].update_firmware_from_blob(bytes(8 << 20), plain),
        }
        print("longest heartbeat stall (10 ms beat), target <= 20 ms")
        for name, call in cases.items():
            took, stall = longest_stall(call)
            print(f"  {name:30s} call {took:6.2f} s   stall {stall:6.1f} ms")

        image = bytes(1 << 20)
        # Devices 1 to 4 finalize at once.
        flash = [lambda d=d: d.update_firmware_from_blob(image, plain) for d in devices[1:]]
        start = time.monotonic()
        for f in flash:
            f()
        serial = time.monotonic() - start
        threads = [threading.Thread(target=f) for f in flash]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        parallel = time.monotonic() - start
        print(f"four 1 MiB updates: one after another {serial:.2f} s, four threads {parallel:.2f} s, "
              f"{serial / parallel:.2f}x (target >= 3x)")


if __name__ == "__main__":
    main()
