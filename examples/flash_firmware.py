#!/usr/bin/env python3
"""Update the firmware of one device, chosen by its serial number.

    python3 flash_firmware.py SERIAL FIRMWARE_FILE [--wait-ms MS]

Shows the progress with the transfer rate, and exits non-zero when the
device does not confirm the new firmware.
"""

import argparse
import datetime
import sys
import time
from typing import Optional

import plenko_tq_api as tq


class Progress(tq.FirmwareUpdateCallbacks):
    """Progress on one line: the update calls these methods between chunks."""

    def __init__(self) -> None:
        self.total = 0
        self.started = 0.0
        self.result: Optional[tq.FirmwareUpdateResult] = None

    def update_started(self, total_bytes: int) -> None:
        self.total = total_bytes
        self.started = time.monotonic()

    def report_progress(self, total_transferred_bytes: int) -> None:
        elapsed = max(time.monotonic() - self.started, 1e-6)
        percent = 100 * total_transferred_bytes // self.total if self.total else 100
        rate = total_transferred_bytes / elapsed / 1024
        print(f"\r  {percent:3d}%  {total_transferred_bytes}/{self.total} bytes  {rate:.1f} KiB/s", end="", flush=True)

    def start_finalizing(self) -> None:
        print("\n  finalizing: do not power the device off")

    def update_finished(self, update_result: tq.FirmwareUpdateResult) -> None:
        # Exceptions raised here would be reported and dropped by the module,
        # so the outcome is only recorded.
        self.result = update_result


def find_device(serial: int, wait_ms: int) -> Optional[tq.Device]:
    devices = tq.create_client().scan_for_devices_with_timeout(datetime.timedelta(milliseconds=wait_ms))
    return next((d for d in devices if d.get_serial_number() == serial), None)


def main() -> int:
    parser = argparse.ArgumentParser(description="Update the firmware of one device.")
    parser.add_argument("serial", type=int, help="serial number of the device to update")
    parser.add_argument("firmware", help="firmware image file")
    parser.add_argument("--wait-ms", type=int, default=1000, help="how long DNS-SD browses (default 1000)")
    args = parser.parse_args()

    device = find_device(args.serial, args.wait_ms)
    if device is None:
        print(f"no device with serial number {args.serial} answered", file=sys.stderr)
        return 1
    print(f"updating {device.get_name()} ({tq.format_ean(device.get_ean())}, serial {args.serial}),")
    print(f"firmware {device.get_firmware_version()}:")
    progress = Progress()
    try:
        device.update_firmware_from_path(args.firmware, progress)
    except tq.OperationFailed:
        print(f"the device rejected the image ({progress.result!r})", file=sys.stderr)
        return 1
    except ValueError as e:
        # Files that cannot be read and lost connections arrive as ValueError.
        print(f"update failed: {e}", file=sys.stderr)
        return 1
    # The device may restart into the new firmware, so it is not asked again.
    print("done: the device accepted the new firmware")
    return 0


if __name__ == "__main__":
    sys.exit(main())
