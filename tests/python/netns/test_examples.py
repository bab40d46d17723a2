"""The example scripts run as a user would run them, against simulated
devices: two protocol-2 devices and one protocol-1 device."""

import subprocess
import sys
from pathlib import Path

import pytest

from tqpaths import REPO
from simulator import Simulator

EXAMPLE = REPO / "examples" / "scan_and_show.py"


@pytest.fixture(scope="module")
def three_devices():
    with Simulator("-n", "2", "--serial", "2001", "--name", "Bench"), Simulator(
        "--serial", "3001", "--protocol-version", "1", "--name", "Legacy"
    ):
        yield


def run_example(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), "--expect", "3", "--wait-ms", "500", *args],
                          capture_output=True, text=True, timeout=120)


def test_scan_and_show(three_devices):
    proc = run_example("--nickname", "left")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    rows = [line.split() for line in out if line.startswith("40-62138-02001-9")]
    assert [(r[1], r[2]) for r in rows] == [("2001", "Bench"), ("2002", "Bench"), ("3001", "Legacy")]
    assert sum(line.strip().startswith("port ") for line in out) == 6
    assert "    port 0: T1  link Up    Speed100MbitFullDuplex   Leader" in out
    assert "Port 0 of device 2001:" in out
    assert "Device 2001 is now called 'left'." in out
    assert "    sent 65536 of 65536 bytes (100%)" in out
    assert out[-1] == "    update finished"


def test_scan_and_show_with_a_firmware_file(three_devices, tmp_path):
    image = tmp_path / "fw.img"
    image.write_bytes(bytes(5000))
    proc = run_example("--firmware", str(image))
    assert proc.returncode == 0, proc.stderr
    assert "    sent 5000 of 5000 bytes (100%)" in proc.stdout.splitlines()


def test_scan_and_show_reports_a_missing_firmware_file(three_devices, tmp_path):
    proc = run_example("--firmware", str(tmp_path / "missing.img"))
    assert proc.returncode == 1
    assert proc.stderr.strip() == f'error: Unknown error type FileOpenError("Failed to open file {tmp_path / "missing.img"}")'


def test_async_fleet(three_devices):
    proc = subprocess.run([sys.executable, str(REPO / "examples" / "async_fleet.py"), "--expect", "3", "--wait-ms", "500"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert sorted(line.split(":")[0] for line in out if "firmware" in line) == ["2001", "2002", "3001"]
    assert "3001: Legacy, firmware 2.4.1, port 0 no DCQ" in out
    assert out[-2] == "    update finished: FirmwareUpdateResult.Success"
    assert out[-1].startswith("the event loop ticked ")
