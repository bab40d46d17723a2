"""Puts the built module and the test helpers on the path (see tqpaths.py)."""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tqpaths import HERE, MODULE_DIR, SIM  # noqa: E402

# The module is imported from the build tree, never from an installed copy.
sys.path.insert(0, str(MODULE_DIR))

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
