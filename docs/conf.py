"""Sphinx settings for quorle's manual (`make docs`)."""

import importlib.metadata

project = "quorle"
author = "quorle's developers"
release = importlib.metadata.version("quorle")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
# Headings up to ### get anchors, so that pages link to each other's sections.
myst_heading_anchors = 3
myst_enable_extensions = ["deflist"]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True

# The standard library has no inventory here (the build reads nothing from the
# network), so its names in signatures resolve to nothing; quorle's own must.
nitpick_ignore_regex = [
    ("py:class", r"(os|io|typing|collections\.abc|concurrent\.futures|pathlib|argparse)\..*"),
]
# Names the signatures spell without their module: the package's own aliases of the
# argument types, and the standard library's executor.
nitpick_ignore = [("py:class", "Input"), ("py:class", "PatternsArg"), ("py:class", "Executor")]

html_theme = "alabaster"
html_title = "quorle"

# Options are written as typed: `--` stays two hyphens, quotes stay straight.
smartquotes = False
