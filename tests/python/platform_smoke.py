"""The smoke suite for a build of the module on another platform (Windows
under wine, aarch64 under qemu): run by that platform's Python, with no test
framework, against simulators the caller started.

    python platform_smoke.py HOST:PORT EXPECTED_SCAN_COUNT

HOST:PORT is a simulator whose get_pcb_revision answers after 3 s; a scan
must find EXPECTED_SCAN_COUNT devices (0 skips the scan). Prints one line per
check and exits non-zero at the first that fails.
"""

import datetime
import sys
import time

import plenko_tq_api as tq


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (": " + str(detail) if detail else ""))
    if not ok:
        sys.exit(1)


class Progress(tq.FirmwareUpdateCallbacks):
    def __new__(cls):
        self = super().__new__(cls)
        self.reports = 0
        self.result = None
        return self

    def report_progress(self, total_transferred_bytes):
        self.reports += 1

    def update_finished(self, update_result):
        self.result = update_result


def main():
    host, port = sys.argv[1].rsplit(":", 1)
    expected = int(sys.argv[2])
    check("import", tq.__version__ == tq.get_api_version_string(), tq.__version__)
    device = tq.create_client().connect(host, int(port), timeout=datetime.timedelta(milliseconds=500))
    check("connect by address", device.get_serial_number() > 0, device.get_name())
    status = device.get_interfaces()[0].get_status()
    check("port status", status.eth_interface_status.link_state == tq.EthLinkState.Up, status.interface_type)
    start = time.monotonic()
    try:
        device.get_pcb_revision()
        check("timeout", False, "answered")
    except ValueError as e:
        waited = time.monotonic() - start
        check("timeout", isinstance(e, tq.DeviceTimedOut) and 0.4 < waited < 2.5, f"{type(e).__name__} {waited:.2f} s")
    progress = Progress()
    device.update_firmware_from_blob(bytes(range(256)) * 64, progress)
    check("firmware update", progress.result == tq.FirmwareUpdateResult.Success and progress.reports > 0,
          f"{progress.result}, {progress.reports} reports")
    device.close()
    if expected:
        found = tq.create_client().scan_for_devices_with_timeout(datetime.timedelta(milliseconds=1500))
        check("scan", len(found) == expected, [d.get_serial_number() for d in found])


if __name__ == "__main__":
    main()
