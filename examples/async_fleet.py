#!/usr/bin/env python3
"""Drive every device on the network at once from asyncio.

Scans, then reads each device's name, firmware version and the channel
quality of its first port concurrently (one worker per device: calls on one
device keep their order, devices overlap), and flashes the first device
while a ticker shows that the event loop keeps running. Ctrl-C or a timeout
cancels whatever is in flight.

    python3 async_fleet.py [--wait-ms MS] [--expect N] [--firmware FILE] [--timeout S]

Without --firmware a small generated image is sent (fine for the simulator,
not for a real device: pass the image file you were given).
"""

import argparse
import asyncio
import datetime
import sys
from typing import List

import plenko_tq_api as tq
import plenko_tq_aio as aio


async def describe(device: aio.Device) -> str:
    name, version = await asyncio.gather(device.get_name(), device.get_firmware_version())
    ports = await device.get_interfaces()
    try:
        sqi = f"SQI {(await ports[0].read_dcq()).sqi}"
    except (tq.ApiNotAvailableInProtocolVersion, tq.OperationNotSupportedByInterface):
        sqi = "no DCQ"
    return f"{await device.get_serial_number()}: {name}, firmware {version}, port 0 {sqi}"


class Progress(tq.FirmwareUpdateCallbacks):
    """Runs on the event loop's thread, like any other callback there."""

    def __init__(self) -> None:
        super().__init__()
        self.total = 0

    def update_started(self, total_bytes: int) -> None:
        self.total = total_bytes

    def report_progress(self, total_transferred_bytes: int) -> None:
        print(f"    sent {total_transferred_bytes} of {self.total} bytes")

    def update_finished(self, update_result: tq.FirmwareUpdateResult) -> None:
        print(f"    update finished: {update_result!r}")


async def ticker(stop: asyncio.Event) -> int:
    ticks = 0
    while not stop.is_set():
        await asyncio.sleep(0.05)
        ticks += 1
    return ticks


async def main(args: argparse.Namespace) -> int:
    client = aio.create_client()
    devices: List[aio.Device] = []
    for attempt in range(5):
        devices = await client.scan_for_devices_with_timeout(datetime.timedelta(milliseconds=args.wait_ms * (attempt + 1)))
        if len(devices) >= args.expect:
            break
    if not devices:
        print("no device found", file=sys.stderr)
        return 1
    try:
        for line in await asyncio.gather(*(describe(d) for d in devices)):
            print(line)
        blob = open(args.firmware, "rb").read() if args.firmware else bytes(range(256)) * 256
        stop = asyncio.Event()
        ticks = asyncio.ensure_future(ticker(stop))
        print(f"flashing {await devices[0].get_serial_number()}:")
        await devices[0].update_firmware_from_blob(blob, Progress())
        stop.set()
        print(f"the event loop ticked {await ticks} times meanwhile")
    finally:
        await asyncio.gather(*(d.close() for d in devices))
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wait-ms", type=int, default=1000)
    parser.add_argument("--expect", type=int, default=1)
    parser.add_argument("--firmware")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds for the whole run")
    options = parser.parse_args()
    try:
        sys.exit(asyncio.run(asyncio.wait_for(main(options), options.timeout)))
    except (KeyboardInterrupt, asyncio.TimeoutError):
        print("stopped", file=sys.stderr)
        sys.exit(130)
