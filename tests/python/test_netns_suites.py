"""Runs each device test file inside its own private network namespace
(scripts/netns), so no mDNS ever leaves through the machine's interfaces."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from tqpaths import NETNS, SIM

SUITES = sorted(p.name for p in (Path(__file__).parent / "netns").glob("test_*.py"))


@pytest.mark.parametrize("suite", SUITES)
def test_suite_in_private_network_namespace(suite):
    if os.geteuid() != 0:
        pytest.skip("creating a network namespace needs root")
    if not SIM.exists():
        pytest.skip(f"simulator not built: {SIM}")
    path = Path(__file__).parent / "netns" / suite
    cmd = [str(NETNS), "--", sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfE", str(path)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900)
    print(proc.stdout[-20000:])
    print(proc.stderr[-5000:], file=sys.stderr)
    if proc.returncode == 77:
        pytest.skip("scripts/netns could not create a namespace")
    assert proc.returncode == 0, f"{suite} failed inside the namespace (output above)"
