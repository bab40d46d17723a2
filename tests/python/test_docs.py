"""The documentation's examples run against simulated devices (doc_examples.py says how); the scan
examples run in netns/test_docs_scan.py. mypy --strict checks them against the stub."""

import importlib.util
import os
import subprocess
import sys

import pytest

from doc_examples import Example, collect, prelude, pytest_plugin, run
from simulator import Simulator
from tqpaths import MODULE_DIR, REPO

EXAMPLES = collect()
RUN_HERE = [e for e in EXAMPLES if not e.kinds & {"fragment", "scan"}]
HAVE_TESTING = importlib.util.find_spec("plenko_tq_testing") is not None or \
    (REPO / "src" / "python" / "plenko_tq_testing" / "__init__.py").exists()


@pytest.fixture(scope="module")
def addresses():
    with Simulator("-n", "3", advertise=False, log=False) as sim:
        yield [(h, int(p)) for h, p in (e.rsplit(":", 1) for e in sim.endpoints)]


@pytest.mark.parametrize("example", RUN_HERE, ids=lambda e: e.name)
def test_example_runs(example: Example, addresses, tmp_path):
    if "testing" in example.kinds and not HAVE_TESTING:
        pytest.skip("plenko_tq_testing is not there")
    if "pytest" in example.kinds and not pytest_plugin():
        pytest.skip("pyproject.toml registers no plenko_tq pytest plugin")
    proc = run(example, addresses, tmp_path)
    assert proc.returncode == 0, f"{example.name} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-5000:]}"


def test_examples_pass_mypy_strict(tmp_path):
    checked = [e for e in EXAMPLES if "fragment" not in e.kinds and (HAVE_TESTING or "testing" not in e.kinds)]
    for index, example in enumerate(checked):
        head = "" if "pytest" in example.kinds else prelude([("127.0.0.1", 1)])
        (tmp_path / f"example_{index}.py").write_text(head + example.code)
    env = dict(os.environ, MYPYPATH=str(REPO / "src" / "python"), PYTHONPATH=str(MODULE_DIR),
               MYPY_CACHE_DIR=str(tmp_path / ".mypy_cache"))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "."], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=300)
    names = {f"example_{i}.py": e.name for i, e in enumerate(checked)}
    report = "\n".join(next((line.replace(f, n) for f, n in names.items() if line.startswith(f)), line)
                       for line in proc.stdout.splitlines())
    assert proc.returncode == 0, report
