import importlib
import inspect
import re
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

from tarnkv import _tarnkv

CLASSES = [_tarnkv._TarnWriter, _tarnkv._TarnReader]
# The one place the version is written; the build reads it from there.
PROJECT_VERSION = re.search(r'^version = "([0-9.]+)"$', (Path(__file__).resolve().parents[2] / "pyproject.toml")
                            .read_text(), re.M).group(1)


def test_module_attributes():
    assert _tarnkv.__all__ == ["_TarnWriter", "_TarnReader", "__version__"]
    assert _tarnkv.__version__ == PROJECT_VERSION
    assert _tarnkv.__doc__ == "tarnkv._tarnkv \u2014 native extension module entry-point"
    public = {n for n in dir(_tarnkv) if not (n.startswith("__") and n.endswith("__"))}
    assert public == {"_TarnWriter", "_TarnReader"}
    assert not [n for n in dir(_tarnkv) if "Tarn" in n and "Error" in n or "Panic" in n]


def test_reimport_reuses_the_classes():
    old = sys.modules.pop("tarnkv._tarnkv")
    try:
        fresh = importlib.import_module("tarnkv._tarnkv")
        assert fresh is not old
        assert fresh._TarnReader is old._TarnReader and fresh._TarnWriter is old._TarnWriter
        assert fresh.__all__ == ["_TarnWriter", "_TarnReader", "__version__"]
    finally:
        sys.modules["tarnkv._tarnkv"] = old


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_properties(cls, make_store):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ in ("_TarnWriter", "_TarnReader")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls() if cls is _tarnkv._TarnWriter else cls(make_store())
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")


def test_writer_docs():
    W = _tarnkv._TarnWriter
    assert W.__text_signature__ == "()"
    assert W.__doc__ == ("Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
                         "**Use `tarnkv.TarnWriter` (Python wrapper) instead of this directly.**")
    assert str(inspect.signature(W)) == "()"
    assert [(name, getattr(W, name).__text_signature__, getattr(W, name).__doc__) for name in
            ("add_object_raw", "add_key", "build")] == [
        ("add_object_raw", "($self, raw_bytes)", "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
        ("add_key", "($self, key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
        ("build", "($self, path)", "Atomically write the `.trnk` file: tmp \u2192 fsync \u2192 rename."),
    ]


def test_surface_is_exactly_the_documented_one():
    def own(cls):
        return {n for n, v in vars(cls).items() if not n.startswith("__") or callable(v) and n in
                ("__enter__", "__exit__")}

    assert own(_tarnkv._TarnWriter) == {"add_object_raw", "add_key", "build"}
    assert own(_tarnkv._TarnReader) == {"get_raw", "exists", "prefix_raw", "keys", "items_raw", "objects_raw",
                                        "stats", "verify", "close", "__enter__", "__exit__"}
    assert not hasattr(_tarnkv._TarnWriter, "__enter__")


def test_import_in_a_subinterpreter_fails_cleanly(tmp_path):
    # In a child process, so that a crash fails this test instead of the whole session.
    code = textwrap.dedent(f"""
        import sys
        from concurrent import interpreters
        from tarnkv import _tarnkv
        interp = interpreters.create()
        try:
            interp.exec("import sys; sys.path[:0] = {sys.path!r}; import tarnkv._tarnkv")
        except interpreters.ExecutionFailed as e:
            print(e.excinfo.type.__name__, e.excinfo.msg)
        else:
            print("imported")
        interp.close()
        print(_tarnkv._TarnWriter())  # the main interpreter's module is untouched
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "ImportError module tarnkv._tarnkv does not support loading in subinterpreters",
        "_TarnWriter(objects=0, keys=0)",
    ]
