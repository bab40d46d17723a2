"""Sphinx configuration of the plenko-tq documentation (scripts/docs builds it)."""

import os
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
REPO = DOCS.parent
# Sphinx runs this file from docs/: a relative PLENKO_TQ_MODULE_DIR is taken from the repository.
MODULE_DIR = (REPO / os.environ.get("PLENKO_TQ_MODULE_DIR", "build/src/python")).resolve()

# The pure-Python packages from the source tree, the extension module from the build.
sys.path[:0] = [str(DOCS / "_ext"), str(REPO / "src" / "python"), str(MODULE_DIR)]

# Imported before tqstubs swaps the stub in for plenko_tq_api, so that the
# packages built on the module keep the real one.
import plenko_tq_aio  # noqa: E402,F401
import plenko_tq_api  # noqa: E402

try:
    import plenko_tq_testing  # noqa: F401
except ModuleNotFoundError:  # a tree without the testing package
    have_testing = False
else:
    have_testing = True

project = "plenko-tq"
author = "plenko-tq developers"
release = plenko_tq_api.__version__
version = release
copyright = "plenko-tq developers"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "tqstubs",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
# The testing package's reference joins the site when the package is there.
exclude_patterns = ["_build"] + ([] if have_testing else ["api/plenko_tq_testing.rst"])
myst_heading_anchors = 3

# The extension module documented from its stub (types, signatures, member
# order) with the built module's own docstrings: see _ext/tqstubs.py.
tq_stubs = {"plenko_tq_api": str(REPO / "src" / "python" / "plenko_tq_api.pyi")}
tq_docstring_modules = ["plenko_tq_aio", "plenko_tq_testing"]

autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "bysource"}
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_class_signature = "mixed"
# The setters read attributes by name, so the stub types them as protocols
# (any object carrying the attributes); the reference names the class.
autodoc_type_aliases = {
    "_EthInterfaceConfigLike": "EthInterfaceConfig",
    "_PacketGeneratorConfigLike": "PacketGeneratorConfig",
    "_FirmwareUpdateCallbacksLike": "FirmwareUpdateCallbacks",
}

napoleon_google_docstring = True
napoleon_numpy_docstring = False
# "Attributes:" as fields of the class: the attributes are documented as
# members already.
napoleon_use_ivar = True
napoleon_custom_sections = [("Params", "params_style")]

html_theme = "alabaster"
html_title = f"plenko-tq {release}"
html_static_path = ["_static"]
html_css_files = ["tq.css"]
html_theme_options = {
    "description": "Automotive-Ethernet interface devices from Python",
    "page_width": "1180px",
    "sidebar_width": "250px",
    "fixed_sidebar": True,
    "show_relbars": True,
}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
html_show_sourcelink = False


def _without_testing_reference(app, docname, source):
    if docname == "index" and not have_testing:
        source[0] = source[0].replace("api/plenko_tq_testing\n", "")


def setup(app):
    app.connect("source-read", _without_testing_reference)
