"""Every method, called a few thousand times, successful and failing calls alike, leaks no
object and no reference: the interpreter's count of allocated blocks, the reference counts of
the classes and of the arguments, and the process's memory stay flat.

sys.gettotalrefcount() is printed but not asserted: the debug interpreter counts a reference
released inside any separately built extension as still held (a minimal extension that creates
and frees 1000 floats moves it by 1000), so it drifts without a leak."""

import gc
import sys

import pytest

from conftest import build_store, quiet_stdout

from tarnkv import _tarnkv

ROUNDS = 3000


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def total_refs():
    gettotalrefcount = getattr(sys, "gettotalrefcount", None)
    return gettotalrefcount() if gettotalrefcount else 0


# Objects every call touches: a leaked reference to any of them shows in its count.
KEY = "k7"
WATCHED = (_tarnkv._TarnReader, _tarnkv._TarnWriter, KEY)


def counts():
    gc.collect()
    return sys.getallocatedblocks(), [sys.getrefcount(o) for o in WATCHED], rss_kib(), total_refs()


def assert_flat(before, after):
    blocks, refs, rss, total = before
    blocks2, refs2, rss2, total2 = after
    print(f"gettotalrefcount drift: {total2 - total}")
    assert refs2 == refs
    assert blocks2 - blocks < 50
    # A leak of even one small buffer per call would show as > 100 KiB over 3000 calls.
    assert rss2 - rss < 1024


def expect_error(call, exc):
    try:
        call()
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc.__name__}")


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    base = tmp_path_factory.mktemp("refs")
    good = base / "good.trnk"
    build_store(good, {f"k{i}": b"v" * i for i in range(50)})
    corrupt = base / "corrupt.trnk"
    raw = bytearray(good.read_bytes())
    raw[45] ^= 0xFF  # inside the first object: whole-file CRC now wrong
    corrupt.write_bytes(bytes(raw))
    return base, good, corrupt


def calls(paths):
    base, good, corrupt = paths
    r = _tarnkv._TarnReader(str(good))
    bad = _tarnkv._TarnReader(str(corrupt), verify=False)
    w = _tarnkv._TarnWriter()
    w.add_object_raw(b"x")
    return {
        "open": lambda: _tarnkv._TarnReader(str(good)),
        "open missing": lambda: expect_error(lambda: _tarnkv._TarnReader(str(base / "nope")), OSError),
        "open corrupt": lambda: expect_error(lambda: _tarnkv._TarnReader(str(corrupt)), RuntimeError),
        "open bad args": lambda: expect_error(lambda: _tarnkv._TarnReader(b"x", verify=1), TypeError),
        "get_raw": lambda: (r.get_raw(KEY), r.get_raw(b"absent")),
        "get_raw bad key": lambda: expect_error(lambda: r.get_raw(1), TypeError),
        "exists": lambda: r.exists("k1"),
        "prefix_raw": lambda: r.prefix_raw("k1"),
        "keys": r.keys,
        "items_raw": r.items_raw,
        "objects_raw": r.objects_raw,
        "stats": r.stats,
        "verify": r.verify,
        "verify corrupt": lambda: expect_error(bad.verify, RuntimeError),
        "context": lambda: r.__exit__(None, None, None) or r.__enter__() and r.close(),
        "repr": lambda: (repr(r), repr(w)),
        "writer": lambda: w.add_key("k", w.add_object_raw(b"y" * 10)),
        "writer bad id": lambda: expect_error(lambda: w.add_key("k", 10**9), ValueError),
        "writer bad args": lambda: expect_error(lambda: w.add_key(key=1), TypeError),
    }


NAMES = ["open", "open missing", "open corrupt", "open bad args", "get_raw", "get_raw bad key", "exists",
         "prefix_raw", "keys", "items_raw", "objects_raw", "stats", "verify", "verify corrupt", "context",
         "repr", "writer", "writer bad id", "writer bad args"]


@pytest.mark.parametrize("name", NAMES)
def test_method_loop_leaves_refcount_and_memory_flat(paths, name):
    call = calls(paths)[name]
    for _ in range(200):  # warm caches, interned strings, freelists
        call()
    before = counts()
    for _ in range(ROUNDS):
        call()
    assert_flat(before, counts())


def test_build_loop_leaves_memory_flat(paths):
    base = paths[0]
    w = _tarnkv._TarnWriter()
    w.add_key("k", w.add_object_raw(b"v" * 1000))
    with quiet_stdout():
        for _ in range(100):
            w.build(str(base / "loop.trnk"))
        before = counts()
        for _ in range(200):
            w.build(str(base / "loop.trnk"))
            expect_error(lambda: w.build(str(base / "missing" / "x.trnk")), OSError)
        assert_flat(before, counts())
