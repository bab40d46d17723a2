"""The Python examples of the documentation (docs/**/*.md), collected and run as a user would run them.

A fenced ```python block is a complete script. It runs against simulated devices with three names set
before its first line, as docs/index.md tells readers: HOST and PORT (the first device) and ADDRESSES
(every device, a list of (host, port)); its working directory holds firmware.img. A MyST comment
right before the fence, `% example: KIND[, KIND...]`, says otherwise:

    fragment  a piece of a larger script, or it needs hardware: not run
    scan      it scans: run inside a private network namespace (netns/test_docs_scan.py)
    testing   it uses plenko_tq_testing: skipped where that package cannot be imported
    pytest    a pytest test file, run by pytest with the package's plugin
"""

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import FrozenSet, List, Sequence, Tuple

from tqpaths import MODULE_DIR, REPO

DOCS = REPO / "docs"
KINDS = frozenset({"fragment", "scan", "testing", "pytest"})
MARK = re.compile(r"^% example:\s*(.*)$")
FIRMWARE = bytes((i * 7) & 0xFF for i in range(64 * 1024))


@dataclass(frozen=True)
class Example:
    path: Path
    line: int  # of the opening fence, from 1
    kinds: FrozenSet[str]
    code: str

    @property
    def name(self) -> str:
        return f"{self.path.relative_to(DOCS)}:{self.line}"


def collect() -> List[Example]:
    examples = []
    for path in sorted(DOCS.rglob("*.md")):
        lines = path.read_text().splitlines()
        i = 0
        while i < len(lines):
            if lines[i].strip() != "```python":
                i += 1
                continue
            end = next(k for k in range(i + 1, len(lines)) if lines[k].strip() == "```")
            mark = MARK.match(lines[i - 1]) if i else None
            kinds = frozenset(k.strip() for k in mark[1].split(",")) if mark else frozenset()
            if kinds - KINDS:
                raise ValueError(f"{path}:{i + 1}: unknown example kind {sorted(kinds - KINDS)}")
            examples.append(Example(path, i + 1, kinds, "\n".join(lines[i + 1 : end]) + "\n"))
            i = end + 1
    return examples


def prelude(addresses: Sequence[Tuple[str, int]]) -> str:
    """The names an example may use; typed, so that mypy --strict checks the examples too."""
    host, port = addresses[0]
    return (f"HOST: str = {host!r}\nPORT: int = {port}\n"
            f"ADDRESSES: list = {[tuple(a) for a in addresses]!r}  # type: ignore[type-arg]\n")


def environment() -> dict:
    """The built module and the pure-Python packages from the source tree."""
    paths = [str(MODULE_DIR), str(REPO / "src" / "python")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))


def pytest_plugin() -> str:
    """The module of the plenko_tq pytest plugin, as pyproject.toml registers it ('' if it does not)."""
    text = (REPO / "pyproject.toml").read_text()
    section = re.search(r"^\[project\.entry-points\.pytest11\]\n((?:[^\[].*\n?)*)", text, re.M)
    entry = re.search(r'^plenko_tq\s*=\s*"([^"]+)"', section[1], re.M) if section else None
    return entry[1].split(":")[0] if entry else ""


def run(example: Example, addresses: Sequence[Tuple[str, int]], workdir: Path,
        timeout: float = 120) -> subprocess.CompletedProcess:
    (workdir / "firmware.img").write_bytes(FIRMWARE)
    if "pytest" in example.kinds:
        script = workdir / "test_example.py"
        script.write_text(example.code)
        cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", pytest_plugin(), script.name]
    else:
        script = workdir / "example.py"
        script.write_text(prelude(addresses) + example.code)
        cmd = [sys.executable, script.name]
    return subprocess.run(cmd, cwd=workdir, env=environment(), capture_output=True, text=True, timeout=timeout)
