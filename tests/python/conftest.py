"""Finds the built module, the device simulator and the network-namespace harness.

PLENKO_TQ_MODULE_DIR: directory holding plenko_tq_api.abi3.so (default build/src/python).
PLENKO_TQ_SIM: the plenko-tq-sim executable (default build/tools/sim/plenko-tq-sim).
"""

import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
MODULE_DIR = Path(os.environ.get("PLENKO_TQ_MODULE_DIR", REPO / "build" / "src" / "python")).resolve()
SIM = Path(os.environ.get("PLENKO_TQ_SIM", REPO / "build" / "tools" / "sim" / "plenko-tq-sim")).resolve()
NETNS = REPO / "scripts" / "netns"
HERE = Path(__file__).resolve().parent

# The module is imported from the build tree, never from an installed copy.
sys.path.insert(0, str(MODULE_DIR))
sys.path.insert(0, str(HERE))

# Children (scripts run by the tests) find the same module and helpers.
os.environ["PLENKO_TQ_MODULE_DIR"] = str(MODULE_DIR)
os.environ["PLENKO_TQ_SIM"] = str(SIM)
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(MODULE_DIR), str(HERE)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)


@pytest.fixture(scope="session")
def tq():
    import plenko_tq_api

    assert Path(plenko_tq_api.__file__).resolve().parent == MODULE_DIR
    return plenko_tq_api


@pytest.fixture(scope="session")
def module_path(tq):
    return Path(tq.__file__)
