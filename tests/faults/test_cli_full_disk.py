"""Commands that fill the disk: dump -o, merge (into a store and into a set) and a set build
each fail with status 2 naming the output, and leave the file system as they found it. They
run on a 2 MiB tmpfs, in a child with its own mount namespace."""

import json
import os

import pytest

from store_helpers import run_python

CHILD = r"""
import ctypes, json, os, subprocess, sys

libc = ctypes.CDLL(None, use_errno=True)
MS_REC, MS_PRIVATE = 1 << 14, 1 << 18
roomy = sys.argv[1]
tight = os.path.join(roomy, "tight")
os.mkdir(tight)
try:
    os.unshare(os.CLONE_NEWNS)
    # Inside a chroot "/" is no mount point (EINVAL), and there the namespace is private already.
    if libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None) != 0 and ctypes.get_errno() != 22:
        raise OSError(ctypes.get_errno(), "make mounts private")
    if libc.mount(b"tmpfs", tight.encode(), b"tmpfs", 0, b"size=2m") != 0:
        raise OSError(ctypes.get_errno(), "mount tmpfs")
except OSError as e:
    print(json.dumps({"skip": str(e)}))
    sys.exit(0)

def tarnkv(*args):
    p = subprocess.run([sys.executable, "-m", "tarnkv", *args], capture_output=True, text=True, timeout=300)
    return p.returncode, p.stderr

with open(os.path.join(tight, "keep.txt"), "w") as f:
    f.write("not the commands' to remove")
with open(os.path.join(tight, "dump.jsonl"), "w") as f:
    f.write('{"old": true}\n')
src, store = os.path.join(roomy, "in.jsonl"), os.path.join(roomy, "big.trnk")
assert tarnkv("build", src, "-o", store, "--key", "id", "-q")[0] == 0
out = {}
for name, args in [
    ("dump", ["dump", store, "-o", os.path.join(tight, "dump.jsonl")]),
    ("merge", ["merge", store, "-o", os.path.join(tight, "merged.trnk"), "-q"]),
    ("merge_set", ["merge", store, "-o", os.path.join(tight, "merged.set"), "--shards", "2", "-q"]),
    ("set_build", ["build", src, "-o", os.path.join(tight, "built.set"), "--key", "id", "--shards", "2",
                   "--workers", "1", "-q"]),
]:
    status, err = tarnkv(*args)
    out[name] = {"status": status, "err": err, "left": sorted(os.listdir(tight)),
                 "dump": open(os.path.join(tight, "dump.jsonl")).read()}
print(json.dumps(out))
"""


def test_a_full_disk_names_the_output_and_leaves_nothing_behind(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    with open(tmp_path / "in.jsonl", "w") as f:  # about 5 MiB of JSON Lines, 2.5 MiB as a store
        f.writelines(json.dumps({"id": f"k{i:06d}", "pad": "x" * 40}) + "\n" for i in range(80_000))
    child = run_python(CHILD, tmp_path, timeout=600)
    assert child.returncode == 0, child.stderr
    found = json.loads(child.stdout.splitlines()[-1])
    if "skip" in found:
        pytest.skip(found["skip"])
    tight = tmp_path / "tight"
    for name, output in [("dump", "dump.jsonl"), ("merge", "merged.trnk"), ("merge_set", "merged.set"),
                         ("set_build", "built.set")]:
        result = found[name]
        assert result["status"] == 2, (name, result)
        assert f"{tight / output}" in result["err"] and "No space left on device" in result["err"], (name, result)
        assert result["err"].count("\n") == 1, (name, result)
        assert result["left"] == ["dump.jsonl", "keep.txt"], (name, result)
        assert result["dump"] == '{"old": true}\n'
