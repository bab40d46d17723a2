"""The reference of an extension module from its type stub, with the module's own docstrings.

A function of a C module carries its parameter names and nothing more, so autodoc alone
cannot show types. Here the stub (``.pyi``) stands in for the module while Sphinx reads it:
signatures, the types of properties and members, and the order of members come from the
stub. Every docstring, though, is the built module's own, the text ``help()`` shows.

Two mismatches are warnings, so that ``sphinx-build -W`` fails on them: a name the stub
documents that the built module lacks, and a public name of the built module that no page
documents.

Configuration: ``tq_stubs = {"module": "path/to/module.pyi"}``, and ``tq_docstring_modules``,
pure-Python modules whose docstrings get the same layout fixes (``_readable``). Import, in ``conf.py``,
the built module and every package that imports it before this extension swaps the stub in,
so that they keep the real module.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import inspect
import re
import sys
import typing
from types import ModuleType
from typing import Any

from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docstrings import prepare_docstring

logger = logging.getLogger(__name__)

_real: dict[str, ModuleType] = {}


def _swap_in_stubs(app: Sphinx, config: Any) -> None:
    for name, path in config.tq_stubs.items():
        _real[name] = importlib.import_module(name)
        loader = importlib.machinery.SourceFileLoader(name, path)
        spec = importlib.util.spec_from_loader(name, loader)
        assert spec is not None
        stub = importlib.util.module_from_spec(spec)
        # No cached bytecode next to the stub in the source tree. A stub may use
        # typing.type_check_only, which exists for type checkers only; while the
        # stub runs it is what they take it for, a decorator that changes nothing.
        keep, sys.dont_write_bytecode = sys.dont_write_bytecode, True
        shim = not hasattr(typing, "type_check_only")
        if shim:
            typing.type_check_only = lambda obj: obj  # type: ignore[attr-defined]
        try:
            loader.exec_module(stub)
        finally:
            sys.dont_write_bytecode = keep
            if shim:
                del typing.type_check_only  # type: ignore[attr-defined]
        sys.modules[name] = stub


def _has_docstring_of_its_own(obj: Any) -> bool:
    # Enum members and tuples answer __doc__ with their class's text.
    return inspect.ismodule(obj) or inspect.isclass(obj) or inspect.isroutine(obj) or inspect.isdatadescriptor(obj)


def _use_module_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    module = next((m for m in _real if name == m or name.startswith(m + ".")), None)
    if module is None:
        if any(name == m or name.startswith(m + ".") for m in app.config.tq_docstring_modules):
            lines[:] = _readable(lines)
        return
    documented = getattr(app.env, "tq_documented", None)
    if documented is None:
        documented = app.env.tq_documented = {}
    documented.setdefault(app.env.docname, set()).add(name)
    parent: Any = None
    target: Any = _real[module]
    for part in name[len(module) + 1 :].split(".") if name != module else ():
        try:
            parent, target = target, getattr(target, part)
        except AttributeError:
            logger.warning("%s is in the stub but not in the built module %s", name, module, type="tqstubs")
            return
    if _has_docstring_of_its_own(target):
        lines[:] = _readable(prepare_docstring(target.__doc__ or ""))
    elif inspect.isclass(parent) and type(target) is parent:
        lines[:] = [f"Value ``{int(target)}``."]  # an enumeration's member


def _forget(app: Sphinx, env: Any, docname: str) -> None:
    getattr(env, "tq_documented", {}).pop(docname, None)


_SECTION = re.compile(r"^(\s*)(Attributes|Example|Note|Parameters|Params|Raises|Returns):\s*$")
# "name (type): text", "name: text" or "(type): text"
_ENTRY = re.compile(r"^\s*([A-Za-z_][\w.]*\s*)?(\(.*\))?\s*:")


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def _section_body(header: str, body: list[str]) -> list[str]:
    kind = header.strip()[:-1]
    first = next((b for b in body if b.strip()), "")
    if kind == "Raises" and first and not _ENTRY.match(first):
        # Written as a sentence, not as "Exception: when": one field.
        return [header.replace("Raises:", ":raises: ") + " ".join(b.strip() for b in body if b.strip())]
    out = [header]
    for line in body:
        if kind in ("Attributes", "Parameters", "Params", "Raises"):
            if line.strip() and _indent(line) == _indent(first) and not _ENTRY.match(line):
                line = "    " + line  # continues the entry above
        out.append(line)
    return _code_blocks(out) if kind == "Example" else out


def _code_blocks(lines: list[str]) -> list[str]:
    """An indented block after a paragraph and a blank line is code: the paragraph introduces it."""
    out = list(lines)
    for j in range(len(out) - 2):
        line, blank, code = out[j], out[j + 1], out[j + 2]
        if line.strip() and not blank.strip() and code.strip() and _indent(code) > _indent(line) \
                and not _SECTION.match(line) and not line.endswith("::"):
            out[j] = line[:-1] + "::" if line.endswith(":") else line + "::"
    return out


def _readable(lines: list[str]) -> list[str]:
    """What napoleon and docutils need to show the module's texts as they read: a blank line before
    a section that follows a paragraph, continuation lines indented under their entry, a Raises
    section written as a sentence kept as one field, the code of an Example as a literal block.
    The words stay as they are."""
    out: list[str] = []
    i = 0
    while i < len(lines):
        section = _SECTION.match(lines[i])
        if not section:
            # Up to the next section; code there too is introduced by prose.
            end = next((k for k in range(i, len(lines)) if _SECTION.match(lines[k])), len(lines))
            out += _code_blocks(lines[i:end])
            i = end
            continue
        end = i + 1
        while end < len(lines) and (not lines[end].strip() or _indent(lines[end]) > len(section[1])):
            end += 1
        if out and out[-1].strip():
            out.append("")
        out += _section_body(lines[i], lines[i + 1 : end])
        i = end
    return out


def _check_coverage(app: Sphinx, env: Any) -> None:
    documented = set().union(*getattr(env, "tq_documented", {}).values())
    for module_name, module in _real.items():
        for name in dir(module):
            if name.startswith("_"):
                continue
            if f"{module_name}.{name}" not in documented:
                logger.warning("%s.%s is not documented on any page", module_name, name, type="tqstubs")


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_config_value("tq_stubs", {}, "env")
    # Pure-Python modules whose docstrings get the same layout fixes.
    app.add_config_value("tq_docstring_modules", [], "env")
    app.connect("config-inited", _swap_in_stubs)
    # Before napoleon turns the sections into fields.
    app.connect("autodoc-process-docstring", _use_module_docstring, priority=100)
    app.connect("env-purge-doc", _forget)
    app.connect("env-check-consistency", _check_coverage)
    return {"version": "1", "parallel_read_safe": False, "env_version": 1}
