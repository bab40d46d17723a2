#!/usr/bin/env python3
"""Reach one device by its address, without a scan.

Where DNS-SD does not get through (routers, VLANs, containers), connect to a
device whose address and port you know, show what it is and its ports, and
close the connection at the end of the `with` block, so that the device is
free for the next client at once.

    python3 connect_by_address.py HOST PORT [--timeout-ms MS]

HOST is an IPv4 or IPv6 address (a link-local IPv6 one with its interface,
as in fe80::1%eth0) or a host name.
"""

import argparse
import datetime
import sys
from typing import Optional

import plenko_tq_api as tq


def show(device: tq.Device) -> None:
    print(f"EAN       {tq.format_ean(device.get_ean())}")
    print(f"serial    {device.get_serial_number()}")
    print(f"name      {device.get_name()}")
    print(f"firmware  {device.get_firmware_version()}")
    for index, port in enumerate(device.get_interfaces()):
        eth = port.get_status().eth_interface_status
        link, speed = eth.link_state.name, eth.speed.name
        print(f"port {index}    link {link:<5} {speed}")


def main() -> int:
    parser = argparse.ArgumentParser(description="Connect to one device by its address and show what it is.")
    parser.add_argument("host", help="IPv4 or IPv6 address, or host name")
    parser.add_argument("port", type=int, help="the device's TCP port")
    parser.add_argument("--timeout-ms", type=int, help="connect and answer timeout (default: the client's, 1337 ms)")
    args = parser.parse_args()

    timeout: Optional[datetime.timedelta] = None
    if args.timeout_ms is not None:
        timeout = datetime.timedelta(milliseconds=args.timeout_ms)
    try:
        device = tq.create_client().connect(args.host, args.port, timeout)
    except tq.ApiNotAvailableInProtocolVersion as e:
        print(f"incompatible device: {e}", file=sys.stderr)
        return 2
    except (tq.OperationFailed, ValueError, OverflowError) as e:
        # Not reachable (OperationFailed), or a host, port or timeout that
        # cannot be used (ValueError, OverflowError).
        print(f"error: {e}", file=sys.stderr)
        return 1
    with device:
        show(device)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (ValueError, RuntimeError) as e:
        # A device that goes away mid-way: transport errors are ValueError.
        print(f"error: {e}", file=sys.stderr)
        sys.exit(1)
