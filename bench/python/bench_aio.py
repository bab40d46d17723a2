#!/usr/bin/env python3
"""Event-loop lag while eight devices are awaited at once through
plenko_tq_aio: a ticker task sleeps 5 ms at a time and records how late it
wakes, while each round awaits get_name (answered after 200 ms) and
get_interfaces on eight simulated devices together, and one round cancels
half of the calls mid-way. Also the time of a round against eight calls one
after another.

Target: the longest lag <= 20 ms.

    bench/python/bench_aio.py

Environment as for bench_get_name.py (the module from the build tree).
"""

import asyncio
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "python"))
from tqpaths import MODULE_DIR  # noqa: E402

sys.path.insert(0, str(MODULE_DIR))

DEVICES = 8
DELAY_MS = 200
ROUNDS = 10


async def ticker(lags, stop):
    while not stop.is_set():
        before = time.monotonic()
        await asyncio.sleep(0.005)
        lags.append(1000 * (time.monotonic() - before - 0.005))


async def main():
    import plenko_tq_aio as aio
    from simulator import Simulator

    with Simulator("--devices", str(DEVICES), "--fault", f"3:delay={DELAY_MS}", advertise=False, log=False) as sim:
        client = aio.create_client()
        devices = [await client.connect(h, int(p)) for h, p in (e.rsplit(":", 1) for e in sim.endpoints)]
        lags, stop = [], asyncio.Event()
        tick = asyncio.ensure_future(ticker(lags, stop))
        start = time.monotonic()
        for _ in range(ROUNDS):
            await asyncio.gather(*(d.get_name() for d in devices), *(d.get_interfaces() for d in devices))
        together = (time.monotonic() - start) / ROUNDS
        calls = [asyncio.ensure_future(d.get_name()) for d in devices]
        await asyncio.sleep(DELAY_MS / 2000)
        for c in calls[::2]:
            c.cancel()
        await asyncio.gather(*calls, return_exceptions=True)
        stop.set()
        await tick
        start = time.monotonic()
        for d in devices:
            await d.get_name()
        one_by_one = time.monotonic() - start
        for d in devices:
            await d.close()
    print(f"{DEVICES} devices, get_name answered after {DELAY_MS} ms")
    print(f"  a round of {2 * DEVICES} calls awaited together: {1000 * together:.0f} ms "
          f"(one after another: {1000 * one_by_one:.0f} ms, ratio {one_by_one / together:.1f}x)")
    print(f"  event-loop lag over {len(lags)} ticks: longest {max(lags):.1f} ms, "
          f"median {sorted(lags)[len(lags) // 2]:.1f} ms (target <= 20 ms)")


if __name__ == "__main__":
    asyncio.run(main())
