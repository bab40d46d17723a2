"""Where the tests find the built module, the simulator and the namespace harness.

PLENKO_TQ_MODULE_DIR: directory holding plenko_tq_api.abi3.so (default build/src/python).
PLENKO_TQ_SIM: the plenko-tq-sim executable (default build/tools/sim/plenko-tq-sim).
"""

import os
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
MODULE_DIR = Path(os.environ.get("PLENKO_TQ_MODULE_DIR", REPO / "build" / "src" / "python")).resolve()
SIM = Path(os.environ.get("PLENKO_TQ_SIM", REPO / "build" / "tools" / "sim" / "plenko-tq-sim")).resolve()
NETNS = REPO / "scripts" / "netns"
