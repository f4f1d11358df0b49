"""A build killed at any moment leaves the target either the old complete store or the new one."""

import random
import signal
import subprocess
import sys
import time

import pytest

from store_helpers import build_store, run_python

import tarnkv
from tarnkv import _tarnkv

# Builds killed at random moments, again and again; make check leaves them to make test.
pytestmark = pytest.mark.slow

CHILD = r"""
import sys
from tarnkv import _tarnkv
path = sys.argv[1]
w = _tarnkv._TarnWriter()
blob = bytes(range(256)) * 4096            # 1 MiB
for i in range(40):
    oid = w.add_object_raw(blob[i:] + blob[:i])
    w.add_key(f"new:{i:04d}", oid)
for i in range(2000):
    w.add_key(f"alias:{i:06d}", i % 40)
print("ready", flush=True)
w.build(path)
"""

# The same store through the package's writer.
PACKAGE_CHILD = r"""
import sys
import tarnkv
path = sys.argv[1]
w = tarnkv.TarnWriter(codec=None)
blob = bytes(range(256)) * 4096            # 1 MiB
for i in range(40):
    w.put(f"new:{i:04d}", blob[i:] + blob[:i])
for i in range(2000):
    w.alias(f"alias:{i:06d}", i % 40)
print("ready", flush=True)
w.build(path)
"""

NEW_KEYS = 40 + 2000


def check_new(reader):
    blob = bytes(range(256)) * 4096
    for i in (0, 17, 39):
        assert reader.get_raw(f"new:{i:04d}") == blob[i:] + blob[:i]
    assert reader.stats()["num_keys"] == NEW_KEYS


# (the builder's code, how the target is read back: whole-file CRC checked on open)
APIS = {
    "lowlevel": (CHILD, lambda path: _tarnkv._TarnReader(str(path))),
    "package": (PACKAGE_CHILD, lambda path: tarnkv.open(path, codec=None)),
}


@pytest.mark.parametrize("api", sorted(APIS))
def test_sigkill_during_build_never_leaves_a_partial_target(tmp_path, api):
    child_code, open_store = APIS[api]
    target = tmp_path / "db.trnk"
    old = {f"old:{i}": f"value {i}".encode() for i in range(100)}
    build_store(target, old)
    old_bytes = target.read_bytes()

    # How long a whole build takes here, so the kills spread over all of it.
    t0 = time.perf_counter()
    done = run_python(child_code, tmp_path / "probe.trnk")
    full = time.perf_counter() - t0
    assert done.returncode == 0, done.stderr

    rng = random.Random(20261207)
    outcomes = {"old": 0, "new": 0}
    for _ in range(25):
        child = subprocess.Popen([sys.executable, "-c", child_code, str(target)], stdout=subprocess.PIPE,
                                 env={"PYTHONPATH": ":".join(sys.path)})
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0, full))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        reader = open_store(target)  # verify=True: the whole file's CRC
        assert reader.verify() is True
        if target.read_bytes() == old_bytes:
            outcomes["old"] += 1
        else:
            check_new(reader)
            outcomes["new"] += 1
            build_store(target, old)  # put the old store back for the next round
    # Not a timing assertion: just that the kills did not all land on one side by accident.
    print(outcomes)
