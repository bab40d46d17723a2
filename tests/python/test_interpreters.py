"""One abi3 build serves every CPython >= 3.8 on the machine."""

import glob
import os
import shutil
import subprocess
import sys

import pytest

from tqpaths import MODULE_DIR


def interpreters():
    found = set()
    candidates = glob.glob("/root/.pyenv/versions/*/bin/python3") + glob.glob(
        os.path.expanduser("~/.pyenv/versions/*/bin/python3")
    )
    candidates += [shutil.which(f"python3.{minor}") or "" for minor in range(8, 20)]
    candidates += ["/usr/bin/python3", sys.executable]
    for path in candidates:
        if not path or not os.access(path, os.X_OK):
            continue
        try:
            out = subprocess.run(
                [path, "-c", "import sys; print(sys.version_info[0], sys.version_info[1], sys.executable)"],
                capture_output=True,
                text=True,
                timeout=30,
            ).stdout.split()
        except (OSError, subprocess.TimeoutExpired):
            continue
        if len(out) >= 2 and (int(out[0]), int(out[1])) >= (3, 8):
            # Keyed by the interpreter's own idea of its executable, so
            # shims and symlinks do not count twice.
            found.add((int(out[0]), int(out[1]), os.path.realpath(out[2])))
    return sorted(found)


INTERPRETERS = interpreters()

CHECK = """
import sys
sys.path.insert(0, sys.argv[1])
import plenko_tq_api as tq
assert tq.get_api_version() == (0, 2, 1), tq.get_api_version()
assert tq.format_ean(ean=0x7330130012345) == "73-30130-01234-5"
assert repr(tq.EthRole.FollowerPreferred) == "EthRole.FollowerPreferred"
c = tq.EthInterfaceConfig([tq.EthLinkSpeed.Speed100MbitFullDuplex], (), tq.EthAnegMode.AnegDisabled)
assert c.speed[0] is tq.EthLinkSpeed.Speed100MbitFullDuplex
for cls in ("Device", "InterfaceStatus", "EthRole"):
    try:
        getattr(tq, cls)()
    except TypeError as e:
        assert str(e) == "cannot create 'plenko_tq_api.%s' instances" % cls, e
    else:
        raise AssertionError(cls + " was constructed")
try:
    type("Sub", (tq.Device,), {})
except TypeError:
    pass
else:
    raise AssertionError("Device was subclassed")
print("ok", sys.version_info[0], sys.version_info[1])
"""


@pytest.mark.parametrize("major, minor, path", INTERPRETERS, ids=[f"{a}.{b}-{p}" for a, b, p in INTERPRETERS])
def test_module_works_under_interpreter(major, minor, path):
    out = subprocess.run(
        [path, "-I", "-c", CHECK, str(MODULE_DIR)], capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ok", str(major), str(minor)]
