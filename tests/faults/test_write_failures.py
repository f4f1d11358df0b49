"""Write failures (full disk, read-only file system, file size limit) leave the target alone
and the writer usable. Each case runs in a child with its own mount namespace."""

import os

import pytest

from store_helpers import run_python

SETUP = r"""
import ctypes, os, resource, signal, sys
from tarnkv import _tarnkv

libc = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_REC, MS_PRIVATE = 1, 1 << 14, 1 << 18

def mount_tmpfs(where, options, flags=0):
    if libc.mount(b"tmpfs", where.encode(), b"tmpfs", flags, options.encode()) != 0:
        raise OSError(ctypes.get_errno(), "mount tmpfs")

case, roomy = sys.argv[1], sys.argv[2]
try:
    os.unshare(os.CLONE_NEWNS)
    # Keep the tmpfs out of the parent namespace. Inside a chroot "/" is no mount point (EINVAL),
    # and there the enclosing namespace is private already.
    if libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None) != 0 and ctypes.get_errno() != 22:
        raise OSError(ctypes.get_errno(), "make mounts private")
    tight = os.path.join(roomy, "tight")
    os.mkdir(tight)
    mount_tmpfs(tight, "size=64k")
except OSError as e:
    print("SKIP", e)
    sys.exit(0)

# The size limit is tried where space is plentiful, so only the limit can stop the write.
target = os.path.join(roomy if case == "fsize" else tight, "db.trnk")
old = _tarnkv._TarnWriter()
old.add_key("old", old.add_object_raw(b"old contents"))
old.build(target)
before = open(target, "rb").read()

w = _tarnkv._TarnWriter()
for i in range(64):
    w.add_key(f"k{i}", w.add_object_raw(os.urandom(4096)))

if case == "full":
    pass
elif case == "readonly":
    libc.mount(b"tmpfs", tight.encode(), b"tmpfs", MS_RDONLY | (1 << 5), None)  # MS_REMOUNT
elif case == "fsize":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))

try:
    w.build(target)
except OSError as e:
    print("ERROR", type(e).__name__, e.args)
else:
    print("BUILT")
print("UNTOUCHED", open(target, "rb").read() == before)
if case == "fsize":
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
w.build(os.path.join(roomy, "after.trnk"))
r = _tarnkv._TarnReader(os.path.join(roomy, "after.trnk"))
print("AFTER", r.verify(), len(r.keys()))
"""


@pytest.mark.parametrize("case, message", [
    ("full", "TarnIOError: No space left on device (os error 28)"),
    ("readonly", "TarnIOError: open tmp: Read-only file system (os error 30)"),
    ("fsize", "TarnIOError: File too large (os error 27)"),
])
def test_failed_build_leaves_target_and_writer_intact(tmp_path, case, message):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    out = run_python(SETUP, case, tmp_path)
    assert out.returncode == 0, out.stderr
    if out.stdout.startswith("SKIP"):
        pytest.skip(out.stdout.strip())
    lines = [line for line in out.stdout.splitlines() if not line.startswith("\u2705")]
    assert lines == [f"ERROR OSError ({message!r},)", "UNTOUCHED True", "AFTER True 64"]
