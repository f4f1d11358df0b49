"""Sphinx settings for the documentation: Markdown pages (MyST) and an API reference read from
the built package's docstrings (PYTHONPATH=build/python)."""

import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

project = "tarnkv"
author = "the tarnkv developers"
# The version is written once, in pyproject.toml.
release = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# `[text](page.md#a-heading)` links resolve to headings down to the third level, the anchors
# GitHub makes for the same Markdown, so links work on both.
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"show-inheritance": True}

html_theme = "alabaster"
html_title = f"tarnkv {release}"
html_static_path: list[str] = []
