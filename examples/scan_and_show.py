#!/usr/bin/env python3
"""Find the devices on the local network and show what they are.

Scans by DNS-SD, prints a table of the devices and their ports, reads the
channel quality of a port and runs a cable test on it, sets a nickname, and
updates one device's firmware while showing the progress.

    python3 scan_and_show.py [--wait-ms MS] [--expect N] [--nickname NAME] [--firmware FILE]

Without --firmware a small generated image is sent (fine for the simulator,
not for a real device: pass the image file you were given).
"""

import argparse
import datetime
import sys
from typing import List, Optional

import plenko_tq_api as tq


def find_devices(client: tq.Client, wait_ms: int, expect: int) -> List[tq.Device]:
    """Scan; if fewer than `expect` devices answered, scan again a few times
    with a longer wait (a device may miss one round of DNS-SD)."""
    devices: List[tq.Device] = []
    for attempt in range(5):
        wait = datetime.timedelta(milliseconds=wait_ms * (attempt + 1))
        devices = client.scan_for_devices_with_timeout(wait)
        if len(devices) >= expect:
            break
    return devices


def show_devices(devices: List[tq.Device]) -> None:
    print(f"{'EAN':<18} {'Serial':>8}  {'Name':<24} {'Firmware':<10}")
    for device in devices:
        print(
            f"{tq.format_ean(device.get_ean()):<18} {device.get_serial_number():>8}  "
            f"{device.get_name():<24} {device.get_firmware_version():<10}"
        )
        for index, port in enumerate(device.get_interfaces()):
            status = port.get_status()
            eth = status.eth_interface_status
            kind, link, speed, role = (v.name for v in (status.interface_type, eth.link_state, eth.speed, eth.role))
            print(f"    port {index}: {kind:<3} link {link:<5} {speed:<24} {role}")


def check_a_port(devices: List[tq.Device]) -> None:
    """Channel quality and a cable test need protocol version 2: use the
    first port whose device supports them."""
    for device in devices:
        for index, port in enumerate(device.get_interfaces()):
            try:
                dcq = port.read_dcq()
                cable = port.run_cable_test()
            except tq.ApiNotAvailableInProtocolVersion:
                break  # an older device: try the next one
            except tq.OperationNotSupportedByInterface:
                continue  # this port cannot do it: try the next port
            print(f"\nPort {index} of device {device.get_serial_number()}:")
            print(f"    SQI {dcq.sqi} (worst {dcq.sqi_worst}), MSE {dcq.mse} (worst {dcq.mse_worst})")
            print(f"    cable test: {cable.harness_status.name}, distance to fault {cable.distance_to_fault}")
            return
    print("\nNo port supports channel quality readings.")


def set_nickname(devices: List[tq.Device], nickname: str) -> None:
    for device in devices:
        try:
            device.set_nickname(nickname)
        except tq.ApiNotAvailableInProtocolVersion:
            print(f"Device {device.get_serial_number()} is too old for nicknames; skipping it.")
            continue
        print(f"Device {device.get_serial_number()} is now called {device.get_nickname()!r}.")
        return


class Progress(tq.FirmwareUpdateCallbacks):
    """Shows the update on one line (rewritten in place on a terminal)."""

    total = 0

    def update_started(self, total_bytes: int) -> None:
        self.total = total_bytes

    def report_progress(self, total_transferred_bytes: int) -> None:
        percent = 100.0 * total_transferred_bytes / self.total if self.total else 100.0
        end = "\r" if sys.stdout.isatty() else "\n"
        if sys.stdout.isatty() or total_transferred_bytes == self.total:
            print(f"    sent {total_transferred_bytes} of {self.total} bytes ({percent:.0f}%)", end=end, flush=True)

    def start_finalizing(self) -> None:
        print("\n    finalizing: do not unplug the device" if sys.stdout.isatty() else "    finalizing: do not unplug the device")

    def update_finished(self, update_result: tq.FirmwareUpdateResult) -> None:
        ok = update_result is tq.FirmwareUpdateResult.Success
        print("    update finished" if ok else f"    update failed: {update_result!r}")


def update_firmware(device: tq.Device, path: Optional[str]) -> None:
    print(f"\nUpdating the firmware of device {device.get_serial_number()}:")
    if path:
        device.update_firmware_from_path(path, Progress())
    else:
        image = bytes((i * 7) & 0xFF for i in range(64 * 1024))
        device.update_firmware_from_blob(image, Progress())


def main() -> int:
    parser = argparse.ArgumentParser(description="Find the devices on the local network and show what they are.")
    parser.add_argument("--wait-ms", type=int, default=1000, help="how long DNS-SD browses (default 1000)")
    parser.add_argument("--expect", type=int, default=1, help="scan again until this many devices answer")
    parser.add_argument("--nickname", default="bench-left", help="nickname to give one device")
    parser.add_argument("--firmware", help="firmware image file to send to the first device")
    args = parser.parse_args()

    print(f"plenko_tq_api {tq.get_api_version_string()}\n")
    devices = find_devices(tq.create_client(), args.wait_ms, args.expect)
    if not devices:
        print("No devices found.")
        return 1
    show_devices(devices)
    check_a_port(devices)
    print()
    set_nickname(devices, args.nickname)
    update_firmware(devices[0], args.firmware)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (ValueError, RuntimeError) as e:
        # RuntimeError covers the module's Operation* exceptions; ValueError
        # carries transport and other client errors.
        print(f"error: {e}", file=sys.stderr)
        sys.exit(1)
