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


def tmpfs_child(name: str, size: str) -> str:
    """The start of a child that works in *name*, a tmpfs of *size* in a mount namespace of its
    own under the directory given last; it prints SKIP and ends where it may not mount."""
    return r"""
import ctypes, os, sys

libc = ctypes.CDLL(None, use_errno=True)
MS_REC, MS_PRIVATE = 1 << 14, 1 << 18
try:
    os.unshare(os.CLONE_NEWNS)
    if libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None) != 0 and ctypes.get_errno() != 22:
        raise OSError(ctypes.get_errno(), "make mounts private")
    NAME = os.path.join(sys.argv[-1], "NAME")
    os.mkdir(NAME)
    if libc.mount(b"tmpfs", NAME.encode(), b"tmpfs", 0, b"size=SIZE") != 0:
        raise OSError(ctypes.get_errno(), "mount tmpfs")
except OSError as e:
    print("SKIP", e)
    sys.exit(0)
""".replace("NAME", name).replace("SIZE", size)


SMALL_TMPFS = tmpfs_child("small", "2m")

# A failed build removes its own temporary file, whatever stopped it, through either API: the
# small file system has its space back, the target is as it was and the next build fits.
CLEANUP = SMALL_TMPFS + r"""
import resource, signal

case, api = sys.argv[1], sys.argv[2]
out = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the low-level build's summary lines

if api == "lowlevel":
    from tarnkv import _tarnkv

    def writer(objects):
        w = _tarnkv._TarnWriter()
        for i, obj in enumerate(objects):
            w.add_key(f"k{i}", w.add_object_raw(obj))
        return w

    def build(w, path, progress=None):
        w.build(path)
else:
    import tarnkv

    def writer(objects):
        w = tarnkv.TarnWriter()
        for i, obj in enumerate(objects):
            w.put(f"k{i}", obj)
        return w

    def build(w, path, progress=None):
        w.build(path, progress=progress)

target = os.path.join(small, "db.trnk")
build(writer([b"old"]), target)
before = open(target, "rb").read()
# Too much for the file system, except where the callback stops the build at its end.
w = writer([os.urandom(64 * 1024) for _ in range(8 if case in ("raise", "sigint") else 48)])
progress = None
if case == "fsize":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))
elif case == "raise":
    def progress(done, total):
        raise ValueError("stop")
elif case == "sigint":
    def progress(done, total):
        signal.raise_signal(signal.SIGINT)  # to this thread, at once: the handler raises KeyboardInterrupt here
try:
    build(w, target, progress)
except BaseException as e:
    about = e.args if api == "lowlevel" else (getattr(e, "errno", None), os.path.basename(getattr(e, "filename", "") or ""))
    print("ERROR", type(e).__name__, about, file=out)
else:
    print("BUILT", file=out)
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print("LEFT", sorted(os.listdir(small)), file=out)
print("UNTOUCHED", open(target, "rb").read() == before, file=out)
room = os.statvfs(small)
print("ROOM", room.f_bavail * room.f_frsize > 1.5 * 2**20, file=out)
build(writer([os.urandom(64 * 1024) for _ in range(8)]), os.path.join(small, "after.trnk"))
print("AFTER", _tarnkv._TarnReader(os.path.join(small, "after.trnk")).verify() if api == "lowlevel"
      else tarnkv.open(os.path.join(small, "after.trnk")).verify(), file=out)
"""


@pytest.mark.parametrize("case, api, error", [
    ("full", "lowlevel", "OSError ('TarnIOError: No space left on device (os error 28)',)"),
    ("full", "package", "StoreIOError (28, 'db.trnk.tmp')"),
    ("fsize", "lowlevel", "OSError ('TarnIOError: File too large (os error 27)',)"),
    ("fsize", "package", "StoreIOError (27, 'db.trnk.tmp')"),
    ("raise", "package", "ValueError (None, '')"),
    ("sigint", "package", "KeyboardInterrupt (None, '')"),
])
def test_failed_build_removes_its_temporary(tmp_path, case, api, error):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    out = run_python(CLEANUP, case, api, tmp_path)
    if out.stdout.startswith("SKIP"):
        pytest.skip(out.stdout.strip())
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"ERROR {error}", "LEFT ['db.trnk']", "UNTOUCHED True", "ROOM True",
                                       "AFTER True"]


# The set build on a full disk, on Dask's synchronous scheduler: too much for the partitions'
# run files ("runs"), or runs that fit and shards that then do not ("shards"). The old set stays
# whole and readable, and the space comes back.
SET_FULL = SMALL_TMPFS + r"""
import dask
import dask.bag as db
import tarnkv
from tarnkv.dask import build_set

case = sys.argv[1]
out = os.path.join(small, "set")
with dask.config.set(scheduler="sync"):
    build_set(db.from_sequence([{"id": f"old{i}", "v": i} for i in range(10)], npartitions=2), out, key="id",
              shards=2)
    before = {name: open(os.path.join(out, name), "rb").read() for name in os.listdir(out)}
    records = 100 if case == "runs" else 40
    try:
        build_set(db.from_sequence([{"id": f"k{i}", "v": os.urandom(30_000)} for i in range(records)],
                                   npartitions=4), out, key="id", shards=2)
    except OSError as e:
        print("ERROR", type(e).__name__, e.errno)
    else:
        print("BUILT")
    print("SET", {name: open(os.path.join(out, name), "rb").read() for name in os.listdir(out)} == before)
    print("LEFT", sorted(os.listdir(small)))
    room = os.statvfs(small)
    print("ROOM", room.f_bavail * room.f_frsize > 1.5 * 2**20)
    s = tarnkv.open(out)
    print("OLD", s.verify(), dict(s.items()) == {f"old{i}": {"id": f"old{i}", "v": i} for i in range(10)})
    build_set(db.from_sequence([{"id": f"new{i}", "v": i} for i in range(10)], npartitions=2), out, key="id",
              shards=2)
    print("AFTER", len(tarnkv.open(out)))
"""


@pytest.mark.parametrize("case", ["runs", "shards"])
def test_set_build_on_a_full_disk_leaves_the_old_set(tmp_path, case):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    out = run_python(SET_FULL, case, tmp_path)
    if out.stdout.startswith("SKIP"):
        pytest.skip(out.stdout.strip())
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ERROR StoreIOError 28", "SET True", "LEFT ['set']", "ROOM True", "OLD True True",
                                       "AFTER 10"]


# A writer under a memory limit on a full disk: its runs fill the small file system ("runs"),
# or they fit elsewhere and the store does not ("store"), or the runs fit but the copy of the
# objects a build makes beside them to put them in key order does not ("order"). Either way
# what it wrote is removed and the error is the disk's; a writer whose runs failed says so from
# then on, one whose store or copy failed keeps its runs and can build again. Compressed
# ("store-zstd"), the disk fills while every core compresses chunks of objects.
SPILL_FULL = SMALL_TMPFS + r"""
import gc
import tarnkv

case = sys.argv[1]
spill_dir = small if case in ("runs", "order") else sys.argv[-1]
zstd = case == "store-zstd"
w = tarnkv.TarnWriter(memory_limit=64 * 1024, spill_dir=spill_dir, compression="zstd" if zstd else None)
target = os.path.join(sys.argv[-1] if case == "order" else small, "db.trnk")
try:
    if zstd:
        for i in range(6000):
            w.put_raw(f"k{i}", os.urandom(600))
    for i in range(0 if zstd else 20 if case == "order" else 48):
        w.put_raw(f"k{i}", os.urandom(64 * 1024))
    w.build(target)
except tarnkv.StoreIOError as e:
    print("ERROR", e.errno, os.path.basename(e.filename or ""))
print("LEFT", sorted(os.listdir(small)), [os.listdir(os.path.join(small, d)) for d in os.listdir(small)])
room = os.statvfs(small)
print("ROOM", room.f_bavail * room.f_frsize > 1.5 * 2**20)
try:
    w.put_raw("late", b"x")
    w.build(os.path.join(sys.argv[-1], "elsewhere.trnk"))
    print("AFTER", tarnkv.open(os.path.join(sys.argv[-1], "elsewhere.trnk")).verify())
except tarnkv.StoreIOError as e:
    print("AFTER", e.errno)
del w
gc.collect()
print("GONE", [n for n in os.listdir(spill_dir) if n.startswith(".tarnkv-spill-")])
"""


@pytest.mark.parametrize("case, error, left, room, after", [
    ("runs", "ERROR 28 ", "LEFT ['.tarnkv-spill-*'] [[]]", "ROOM True", "AFTER 28"),
    ("store", "ERROR 28 db.trnk.tmp", "LEFT [] []", "ROOM True", "AFTER True"),
    ("store-zstd", "ERROR 28 db.trnk.tmp", "LEFT [] []", "ROOM True", "AFTER True"),
    ("order", "ERROR 28 db.trnk.tmp", "LEFT ['.tarnkv-spill-*'] [['run-0']]", "ROOM False", "AFTER 28"),
])
def test_spilling_writer_on_a_full_disk_removes_what_it_wrote(tmp_path, case, error, left, room, after):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    out = run_python(SPILL_FULL, case, tmp_path)
    if out.stdout.startswith("SKIP"):
        pytest.skip(out.stdout.strip())
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    if case in ("runs", "order"):  # the directory's random name
        lines[1] = lines[1].split("'")[0] + "'.tarnkv-spill-*'" + lines[1].split("'", 2)[2]
    assert lines == [error, left, room, after, "GONE []"]


# A file large enough to be written by the build's second thread: the failure met there (a
# full disk, the file size limit) or a stop after the last byte is written still fails the
# build with the disk's error, removes the temporary and leaves the target as it was; a build
# over a large store frees the replaced file's space once it is done.
BEHIND = tmpfs_child("disk", "16m") + r"""
import resource, signal, time
import tarnkv

case = sys.argv[1]


def writer(megabytes):
    w = tarnkv.TarnWriter()
    for i in range(megabytes * 4):
        w.put_raw(f"k{i:05d}", os.urandom(256 * 1024))
    return w


def room():
    st = os.statvfs(disk)
    return st.f_bavail * st.f_frsize >> 20


target = os.path.join(disk, "db.trnk")
writer(1).build(target)
before = open(target, "rb").read()
progress = None
if case == "replace":
    writer(6).build(target)
    before = open(target, "rb").read()
    writer(6).build(target)
    # The replaced store's pages go on a thread of their own: soon, not necessarily at once.
    deadline = time.monotonic() + 10
    while room() < 9 and time.monotonic() < deadline:
        time.sleep(0.01)
    print("ROOM", room() >= 9, "NEW", open(target, "rb").read() != before, tarnkv.open(target).verify())
    held = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            held.append(os.readlink(f"/proc/self/fd/{fd}"))
        except FileNotFoundError:  # the listing's own descriptor
            pass
    print("FDS", [name for name in held if name.startswith(disk)])
    sys.exit(0)
big = writer(12 if case == "stop" else 24)  # a stop needs the whole file written
if case == "fsize":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (6 << 20, resource.RLIM_INFINITY))
elif case == "stop":
    def progress(done, total):
        if done == total:
            raise ValueError("stop")
try:
    big.build(target, progress=progress)
except (OSError, ValueError) as e:
    print("ERROR", type(e).__name__, getattr(e, "errno", None), os.path.basename(getattr(e, "filename", "") or ""))
else:
    print("BUILT")
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print("LEFT", sorted(os.listdir(disk)), "UNTOUCHED", open(target, "rb").read() == before, "ROOM", room() >= 14)
after = os.path.join(disk, "after.trnk")
writer(8).build(after)
print("AFTER", tarnkv.open(after).verify(), len(tarnkv.open(after)))
"""


@pytest.mark.parametrize("case, error", [
    ("full", "ERROR StoreIOError 28 db.trnk.tmp"),
    ("fsize", "ERROR StoreIOError 27 db.trnk.tmp"),
    ("stop", "ERROR ValueError None "),
])
def test_a_build_written_behind_fails_whole(tmp_path, case, error):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    out = run_python(BEHIND, case, tmp_path)
    if out.stdout.startswith("SKIP"):
        pytest.skip(out.stdout.strip())
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [error, "LEFT ['db.trnk'] UNTOUCHED True ROOM True", "AFTER True 32"]


def test_a_replaced_store_is_freed(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    out = run_python(BEHIND, "replace", tmp_path)
    if out.stdout.startswith("SKIP"):
        pytest.skip(out.stdout.strip())
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ROOM True NEW True True", "FDS []"]
