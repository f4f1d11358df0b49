"""The package's layers: the command line is a client of the library, never the other way; no
module imports itself back through others; no module uses another's private names, the
extensions' included.

Read from the sources (every import, lazy ones inside functions too), and checked by importing
each module first in an interpreter of its own: a circle that only bites in one import order
fails there.
"""

from __future__ import annotations

import ast
import pathlib
import subprocess
import sys

import pytest

import tarnkv

ROOT = pathlib.Path(tarnkv.__file__).parent
EXTENSIONS = {"tarnkv._native", "tarnkv._tarnkv"}
# Calls that reach a name given as text.
BY_NAME = {"getattr", "hasattr", "setattr", "delattr"}


def _module_name(path: pathlib.Path) -> str:
    parts = ("tarnkv", *path.relative_to(ROOT).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {_module_name(p): p for p in sorted(ROOT.rglob("*.py"))}


def _private(attr: str) -> bool:
    return attr.startswith("_") and not attr.startswith("__")


def _imports(name: str, path: pathlib.Path, source: str | None = None) -> tuple[set[str], list[str]]:
    """The package's modules that ``name`` imports, and its uses of their private names (or,
    by name, of any object's but its own)."""
    tree = ast.parse(path.read_text() if source is None else source, str(path))
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets: set[str] = set()
    private: list[str] = []
    aliases: dict[str, str] = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for a in node.names:
                if a.name.startswith("tarnkv"):
                    targets.add(a.name)
                    aliases[a.asname or a.name.split(".")[0]] = a.name if a.asname else "tarnkv"
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(package.split(".")[: len(package.split(".")) - node.level + 1] + ([base] if base else []))
            if not base.startswith("tarnkv"):
                continue
            for a in node.names:
                sub = f"{base}.{a.name}"
                if sub in MODULES or sub in EXTENSIONS:
                    targets.add(sub)
                    aliases[a.asname or a.name] = sub
                else:
                    targets.add(base)
                    if _private(a.name):
                        private.append(f"{name}: from {base} import {a.name}")
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
            owner = aliases.get(node.value.id)
            attr = node.attr
            if owner and owner != name and _private(attr) and f"{owner}.{attr}" not in MODULES:
                private.append(f"{name}: {node.value.id}.{attr}")
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in BY_NAME \
                and len(node.args) >= 2 and isinstance(node.args[1], ast.Constant) \
                and isinstance(node.args[1].value, str) and _private(node.args[1].value) \
                and not (isinstance(node.args[0], ast.Name) and node.args[0].id in ("self", "cls")):
            private.append(f"{name}: {node.func.id}(..., {node.args[1].value!r})")
    return targets - {name}, private


GRAPH = {name: _imports(name, path) for name, path in MODULES.items()}


def test_the_library_never_imports_the_command_line():
    outside = [f"{name} imports {target}" for name, (targets, _) in GRAPH.items()
               if not name.startswith("tarnkv.cli") and name != "tarnkv.__main__"
               for target in targets if target.startswith("tarnkv.cli")]
    assert outside == []


def test_no_module_uses_another_modules_private_names():
    assert [use for _, uses in GRAPH.values() for use in uses] == []


def test_the_command_line_uses_only_the_public_library():
    # The extensions and the package's private modules are the library's to call.
    inside = [f"{name} imports {target}" for name, (targets, _) in GRAPH.items() if name.startswith("tarnkv.cli")
              for target in targets if any(_private(part) for part in target.split("."))]
    assert inside == []


def test_the_checks_see_private_uses_however_written():
    source = """
from tarnkv import _native, writer
from tarnkv.sets.build import _remove_build_files
_native._merge_runs()
getattr(_native, "_dump_json_lines", None)
hasattr(writer.TarnWriter(), "_put_many_raw")
getattr(self, "_own", None)
_native.merge_runs()
"""
    targets, private = _imports("tarnkv.cli", ROOT / "cli" / "__init__.py", source)
    assert "tarnkv._native" in targets
    assert sorted(private) == ["tarnkv.cli: _native._merge_runs", "tarnkv.cli: from tarnkv.sets.build import _remove_build_files",
                               "tarnkv.cli: getattr(..., '_dump_json_lines')", "tarnkv.cli: hasattr(..., '_put_many_raw')"]


def test_no_import_circles():
    # A module importing its own package's __init__ (or an ancestor's) is the import system's
    # order, not a circle; every other path back to a module is.
    def edges(name: str) -> set[str]:
        return {t for t in GRAPH[name][0] if t in GRAPH and not name.startswith(t + ".")}

    circles = []
    for start in GRAPH:
        stack = [(start, (start,))]
        seen = set()
        while stack:
            node, path = stack.pop()
            for nxt in edges(node):
                if nxt == start:
                    circles.append(" -> ".join((*path, start)))
                elif nxt not in seen:
                    seen.add(nxt)
                    stack.append((nxt, (*path, nxt)))
    assert circles == []


@pytest.mark.parametrize("name", sorted(n for n in MODULES if n != "tarnkv.__main__"))
def test_each_module_imports_first(name):
    """Each module imported first, in a fresh interpreter."""
    res = subprocess.run([sys.executable, "-c", f"import {name}"], capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
