"""The documentation's scan examples, against two advertised simulated devices."""

import pytest

from doc_examples import Example, collect, run
from simulator import Simulator

SCANS = [e for e in collect() if "scan" in e.kinds and "fragment" not in e.kinds]


@pytest.fixture(scope="module")
def addresses():
    with Simulator("-n", "2", log=False) as sim:
        yield [(h, int(p)) for h, p in (e.rsplit(":", 1) for e in sim.endpoints)]


@pytest.mark.parametrize("example", SCANS, ids=lambda e: e.name)
def test_scan_example_runs(example: Example, addresses, tmp_path):
    proc = run(example, addresses, tmp_path)
    assert proc.returncode == 0, f"{example.name} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-5000:]}"
