"""Sphinx configuration of the KorvoHardwareAPI documentation.

Pages are Markdown (MyST), so that anyone adds one as a .md file and a line
in a toctree of index.md. The Python reference comes from the installed
modules (their docstrings) with the signatures of their type stubs; the C++
reference from the public headers (_ext/headers.py). Built by
`./dev.sh docs`, warnings as errors.
"""

from __future__ import annotations

import sys
import tomllib
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "KorvoHardwareAPI"
author = "Korvo"
copyright = "2026, Korvo"
release = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "headers",
    "stubs",
]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
exclude_patterns = ["_build", "README.md"]
nitpicky = False

# The Python parts of korvo (recordings, error routing) through autodoc,
# in the order of their source; the compiled modules through _ext/stubs.py.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True}
add_module_names = False

html_theme = "furo"
html_title = f"KorvoHardwareAPI {release}"
pygments_style = "friendly"
