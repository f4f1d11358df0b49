import os
import subprocess
import sys

import pytest

from tarnkv import _tarnkv


def build_store(path, mapping):
    """Build a store at *path* from {key: object bytes}; the build's summary line is swallowed."""
    w = _tarnkv._TarnWriter()
    for key, obj in mapping.items():
        w.add_key(key, w.add_object_raw(obj))
    with quiet_stdout():
        w.build(str(path))
    return w


class quiet_stdout:
    """Redirect file descriptor 1 (where build() reports) to /dev/null for a block."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)
        return False


def run_python(code, *args, timeout=120, **kw):
    """Run *code* in a child interpreter that imports the same tarnkv."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, **kw)


@pytest.fixture
def store_factory(tmp_path):
    def make(mapping, name="db.trnk"):
        path = tmp_path / name
        build_store(path, mapping)
        return path

    return make
