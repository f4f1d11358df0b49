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


# The native methods' own signatures carry no types; the stub of their extension
# (python/tarnkv/_native.pyi) has them, and the reference shows those instead.
def _stub_signatures() -> dict[str, tuple[str, str | None]]:
    import ast

    tree = ast.parse((ROOT / "python" / "tarnkv" / "_native.pyi").read_text())
    aliases = {"_Key": "str | bytes", "_Path": "str | bytes | PathLike[str] | PathLike[bytes]"}

    def show(node: ast.AST) -> str:
        text = ast.unparse(node)
        for alias, meaning in aliases.items():
            text = text.replace(alias, meaning)
        return text

    found: dict[str, tuple[str, str | None]] = {}
    seen: set[str] = set()

    def add(qualname: str, fn: ast.FunctionDef, method: bool) -> None:
        if qualname in seen:  # overloaded: the runtime signature is the honest one
            found.pop(qualname, None)
            return
        seen.add(qualname)
        if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
            return
        args = fn.args
        if method:
            args = ast.arguments(posonlyargs=args.posonlyargs[1:] if args.posonlyargs else [],
                                 args=args.args[1:] if not args.posonlyargs else args.args,
                                 vararg=args.vararg, kwonlyargs=args.kwonlyargs, kw_defaults=args.kw_defaults,
                                 kwarg=args.kwarg, defaults=args.defaults)
        found[qualname] = (f"({show(args)})", show(fn.returns) if fn.returns else None)

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            add(node.name, node, method=False)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    add(f"{node.name}.{item.name}", item, method=True)
    return found


_STUBS = _stub_signatures()


def _typed_signature(app, what, name, obj, options, signature, return_annotation):
    owner = getattr(obj, "__objclass__", None)
    module = getattr(owner or obj, "__module__", None)
    if module != "tarnkv._native":
        return None
    qualname = f"{owner.__name__}.{obj.__name__}" if owner is not None else obj.__name__
    return _STUBS.get(qualname)


def setup(app):
    app.connect("autodoc-process-signature", _typed_signature)
