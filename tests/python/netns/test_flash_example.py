"""examples/flash_firmware.py run as a user would, against simulated devices
found by DNS-SD (inside the private network namespace)."""

import struct
import subprocess
import sys

import pytest

from simulator import Simulator
from tqpaths import REPO

EXAMPLE = REPO / "examples" / "flash_firmware.py"
UPDATE_FIRMWARE_SEND_CHUNK = 51


@pytest.fixture(scope="module")
def devices():
    with Simulator("--serial", "4001", "--name", "Bench", "--chunk-size", "1000") as good, Simulator(
        "--serial", "4002", "--finalize-status", "3"
    ) as rejecting:
        yield good, rejecting


def run_example(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), "--wait-ms", "700", *args], capture_output=True, text=True,
                          timeout=120)


def sent_image(sim, serial):
    """The chunk payloads the device received, in order, joined."""
    image = b""
    for _, command, packet in sim.requests(serial):
        if command == UPDATE_FIRMWARE_SEND_CHUNK:
            _index, length = struct.unpack_from("<HH", packet, 4)
            image += packet[8 : 8 + length]
    return image


def test_sends_the_file_to_the_device_with_that_serial(devices, tmp_path):
    good, _ = devices
    image = bytes(range(256)) * 10
    path = tmp_path / "fw.img"
    path.write_bytes(image)
    proc = run_example("4001", str(path))
    assert proc.returncode == 0, proc.stderr
    assert sent_image(good, 4001) == image
    assert "100%  2560/2560 bytes" in proc.stdout
    assert proc.stdout.splitlines()[-1] == "done: the device accepted the new firmware"


def test_a_rejected_image_fails_naming_the_result(devices, tmp_path):
    path = tmp_path / "fw.img"
    path.write_bytes(b"\x00" * 100)
    proc = run_example("4002", str(path))
    assert proc.returncode == 1
    assert proc.stderr.strip() == "the device rejected the image (FirmwareUpdateResult.UnknownError)"


def test_an_unknown_serial_fails_without_updating_anything(devices, tmp_path):
    path = tmp_path / "fw.img"
    path.write_bytes(b"\x00")
    proc = run_example("9999", str(path))
    assert proc.returncode == 1
    assert proc.stderr.strip() == "no device with serial number 9999 answered"
