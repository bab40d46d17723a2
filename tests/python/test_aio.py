"""The asyncio forms: one device's calls run in the order they were made,
devices overlap, the loop keeps running, and a cancelled task stops its call
the way Ctrl-C does (the device then reconnects and answers correctly)."""

import asyncio
import datetime
import time

import pytest

from simulator import Simulator

DELAY = 0.4  # seconds each device takes to answer get_name


@pytest.fixture(scope="module")
def sim():
    devices = [{"name": "First", "serial_number": 1}, {"name": "Second", "serial_number": 2}]
    with Simulator("--fault", f"3:delay={int(DELAY * 1000)}", devices=devices, advertise=False) as s:
        yield s


@pytest.fixture(scope="module")
def aio(tq):
    import plenko_tq_aio  # beside the module it wraps

    return plenko_tq_aio


def run(aio, sim, body):
    async def main():
        client = aio.create_client()
        devices = [await client.connect(h, int(p)) for h, p in (e.rsplit(":", 1) for e in sim.endpoints)]
        try:
            return await body(devices)
        finally:
            for d in devices:
                await d.close()

    return asyncio.run(main())


def test_one_devices_calls_keep_their_order_and_two_devices_overlap(aio, sim):
    async def body(devices):
        start = time.monotonic()
        done = []

        async def call(name, coro):
            result = await coro
            done.append(name)
            return result

        # The version is answered at once, yet comes after the name on its own device.
        results = await asyncio.gather(
            call("name 0", devices[0].get_name()),
            call("version 0", devices[0].get_firmware_version()),
            call("name 1", devices[1].get_name()),
        )
        return results, done, time.monotonic() - start

    results, done, took = run(aio, sim, body)
    assert results == ["First", "2.4.1", "Second"]
    assert done.index("name 0") < done.index("version 0")
    assert took < 2 * DELAY  # the two devices' names were awaited together


def test_a_cancelled_call_stops_and_the_device_answers_the_next_one_correctly(aio, sim):
    async def body(devices):
        task = asyncio.ensure_future(devices[0].get_name())
        await asyncio.sleep(DELAY / 4)
        start = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        cancelled_after = time.monotonic() - start
        # The device's next call waits only for the stopped one to end, not for its answer.
        start = time.monotonic()
        version = await devices[0].get_firmware_version()
        return cancelled_after, time.monotonic() - start, version, await devices[0].get_name()

    cancelled_after, next_after, version, name = run(aio, sim, body)
    assert cancelled_after < 0.05
    # Left to run, the stopped call would hold the device for 0.3 s more.
    assert next_after < 0.15, next_after
    assert (version, name) == ("2.4.1", "First")



def test_a_timeout_reaches_the_task_as_the_modules_exception(tq, aio, sim):
    async def main():
        host, port = sim.endpoints[0].rsplit(":", 1)
        device = await aio.create_client().connect(host, int(port), datetime.timedelta(milliseconds=200))
        with pytest.raises(tq.DeviceTimedOut, match=r'^Unknown error type TcpStreamReadError\("Failed to read packet header"\)$'):
            await device.get_name()
        await device.close()

    asyncio.run(main())
