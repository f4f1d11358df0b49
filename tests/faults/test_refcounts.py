"""Every method, called a few thousand times, successful and failing calls alike, leaks no
object, no reference and no memory: the interpreter's count of allocated blocks, the reference
counts of the classes and of the arguments, the C allocator's bytes in use (where the core's
copies and error texts live) and the process's RSS stay flat.

sys.gettotalrefcount() is printed but not asserted: the debug interpreter counts a reference
released inside any separately built extension as still held (a minimal extension that creates
and frees 1000 floats moves it by 1000), so it drifts without a leak. scripts/run-tests also
runs this file under the debug interpreter."""

import ctypes
import gc
import sys

import pytest

from store_helpers import build_store, quiet_stdout, raw_store

import tarnkv
import tarnkv.sets
from tarnkv import _tarnkv

from store_helpers import rss_kib

# Thousands of calls per method; make check leaves them to make test.
pytestmark = pytest.mark.slow

R, W = _tarnkv._TarnReader, _tarnkv._TarnWriter
ROUNDS = 3000


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out (glibc); 0 where mallinfo2 is missing."""
    fn = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if fn is None:
        return 0
    fn.restype = MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def total_refs():
    gettotalrefcount = getattr(sys, "gettotalrefcount", None)
    return gettotalrefcount() if gettotalrefcount else 0


# Objects every call touches: a leaked reference to any of them shows in its count.
KEY = "k7"
WATCHED = (R, W, KEY)


def counts(watched=WATCHED):
    gc.collect()
    return sys.getallocatedblocks(), [sys.getrefcount(o) for o in watched], rss_kib(), malloc_in_use(), total_refs()


def assert_flat(before, after):
    blocks, refs, rss, heap, total = before
    blocks2, refs2, rss2, heap2, total2 = after
    print(f"gettotalrefcount drift: {total2 - total}")
    assert refs2 == refs
    # Even one leaked str per call shows up as thousands of blocks.
    assert blocks2 - blocks < 50
    # A leak of even one small buffer per call would show as > 100 KiB over 3000 calls.
    assert heap2 - heap < 100 * 1024, f"malloc'd memory grew by {heap2 - heap} bytes"
    assert rss2 - rss < 1024


def expect_error(call, exc):
    try:
        call()
    except exc:
        return
    raise AssertionError(f"{call} did not raise {getattr(exc, '__name__', exc)}")


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    base = tmp_path_factory.mktemp("refs")
    good = base / "good.trnk"
    build_store(good, {f"k{i}": b"v" * i for i in range(50)})
    corrupt = base / "corrupt.trnk"
    raw = bytearray(good.read_bytes())
    raw[45] ^= 0xFF  # inside the first object: whole-file CRC now wrong
    corrupt.write_bytes(bytes(raw))
    broken = base / "broken.trnk"  # "b" names an offset far past the end
    broken.write_bytes(raw_store([b"abc"], [("a", 40), ("b", 10**6)]))
    return base, good, corrupt, broken


class Index:
    def __index__(self):
        return 0


def fresh_writer():
    """A new writer each time, so that its own growth does not count as a leak."""
    w = W()
    w.add_key("k", w.add_object_raw(b"y" * 100))
    w.add_key(b"j", Index())
    w.add_key("k", 0)
    return repr(w)


def calls(paths):
    base, good, corrupt, broken = map(str, paths)
    missing = base + "/nope"
    r = R(good)
    bad = R(corrupt, verify=False)
    b = R(broken)
    w = W()
    w.add_object_raw(b"x")
    return {
        "open": lambda: R(good),
        "open missing": lambda: expect_error(lambda: R(missing), OSError),
        "open corrupt": lambda: expect_error(lambda: R(corrupt), RuntimeError),
        "open bad args": lambda: (expect_error(lambda: R(b"x", verify=1), TypeError),
                                  expect_error(lambda: R(good, verify=1), TypeError),
                                  expect_error(lambda: R("\udc80"), UnicodeEncodeError),
                                  expect_error(R, TypeError)),
        "get_raw": lambda: (r.get_raw(KEY), r.get_raw(b"absent"), r.get_raw("\u00e9")),
        "get_raw bad key": lambda: (expect_error(lambda: r.get_raw(1), TypeError),
                                    expect_error(lambda: r.get_raw(k=1), TypeError),
                                    expect_error(lambda: r.prefix_raw("\udc80"), TypeError)),
        "exists": lambda: r.exists("k1"),
        "prefix_raw": lambda: r.prefix_raw("k1"),
        "keys": r.keys,
        "items_raw": r.items_raw,
        "objects_raw": r.objects_raw,
        "stats": r.stats,
        "verify": r.verify,
        "verify corrupt": lambda: expect_error(bad.verify, RuntimeError),
        "broken offsets": lambda: [expect_error(call, RuntimeError) for call in
                                   (lambda: b.get_raw("b"), lambda: b.prefix_raw(""), b.items_raw, b.objects_raw,
                                    b.verify)],
        "context": lambda: r.__exit__(None, None, None) or r.__enter__() and r.close(),
        "exit bad args": lambda: expect_error(lambda: r.__exit__(), TypeError),
        "repr": lambda: (repr(r), repr(w)),
        "writer": fresh_writer,
        "writer bad id": lambda: (expect_error(lambda: w.add_key("k", 10**9), ValueError),
                                  expect_error(lambda: w.add_key("k", -1), OverflowError),
                                  expect_error(lambda: w.add_key("k", "0"), TypeError)),
        "writer bad args": lambda: (expect_error(lambda: w.add_key(key=1), TypeError),
                                    expect_error(lambda: w.add_key(1, 0), TypeError),
                                    expect_error(lambda: w.add_object_raw(bytearray()), TypeError),
                                    expect_error(lambda: w.build(b"x"), TypeError),
                                    expect_error(lambda: W(1), TypeError)),
    }


NAMES = ["open", "open missing", "open corrupt", "open bad args", "get_raw", "get_raw bad key", "exists",
         "prefix_raw", "keys", "items_raw", "objects_raw", "stats", "verify", "verify corrupt", "broken offsets",
         "context", "exit bad args", "repr", "writer", "writer bad id", "writer bad args"]


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
    w = W()
    w.add_key("k", w.add_object_raw(b"v" * 1000))
    with quiet_stdout():
        for _ in range(100):
            w.build(str(base / "loop.trnk"))
        before = counts()
        for _ in range(200):
            w.build(str(base / "loop.trnk"))
            expect_error(lambda: w.build(str(base / "missing" / "x.trnk")), OSError)
        assert_flat(before, counts())


# --- The same through the package: tarnkv.open, its readers and sets, tarnkv.TarnWriter -----

@pytest.fixture(scope="module")
def package_paths(paths):
    base = paths[0]
    w = tarnkv.TarnWriter()
    for i in range(50):
        w.put(f"k{i}", {"i": i, "b": b"v" * i})
    w.build(base / "package.trnk")
    tarnkv.sets.merge([base / "package.trnk"], base / "package.set", shards=3)
    return paths + (base / "package.trnk", base / "package.set")


def package_calls(paths):
    base, good, corrupt, broken, store, shards = paths
    r = tarnkv.open(store)
    s = tarnkv.open(shards)
    bad = tarnkv.open(corrupt, verify=False, codec=None)
    b = tarnkv.open(broken, codec=None)
    w = tarnkv.TarnWriter()
    w.put("x", 1)

    def fresh_writer():
        x = tarnkv.TarnWriter()
        x.put("k", {"v": [1, 2]}, "alias")
        x.alias(b"j", x.add(b"y" * 100))
        x["n"] = None
        return repr(x), len(x), "k" in x, x.object_id("j")

    def build():
        x = tarnkv.TarnWriter()
        x.put("k", [1, 2])
        x.build(base / "package-built.trnk", progress=lambda d, t: None)
        expect_error(lambda: x.build(base / "missing" / "x.trnk"), OSError)
        expect_error(lambda: x.build(base / "stopped.trnk", progress=stop), ValueError)

    def stop(done, total):
        raise ValueError("stop")

    return {
        "open": lambda: (tarnkv.open(store), tarnkv.open(shards)),
        "open failures": lambda: (expect_error(lambda: tarnkv.open(base / "nope"), OSError),
                                  expect_error(lambda: tarnkv.open(corrupt), tarnkv.CorruptStoreError),
                                  expect_error(lambda: tarnkv.open(store, codec=5), TypeError)),
        "lookups": lambda: [(m[KEY], m.get("absent"), m.get_raw(KEY), bytes(m.get_view(KEY)), "\u00e9" in m,
                             m.get_many([KEY, "absent", 3]), m.count_prefix("k1")) for m in (r, s)],
        "lookup failures": lambda: [expect_error(call, (KeyError, TypeError)) for call in
                                    (lambda: r["absent"], lambda: s["absent"], lambda: r.count_prefix(1))],
        "walks": lambda: [(list(m.items()), list(m.keys(raw=True)), list(m.prefix("k1", limit=3))) for m in (r, s)],
        "stats and verify": lambda: (r.stats(), s.stats(), r.verify(), s.verify()),
        "corrupt reads": lambda: (expect_error(bad.verify, tarnkv.CorruptStoreError),
                                  [expect_error(call, tarnkv.CorruptStoreError) for call in
                                   (lambda: b["b"], lambda: list(b.items()), b.verify)]),
        "close": lambda: (tarnkv.open(store).close(), tarnkv.open(shards).close()),
        "writer": fresh_writer,
        "writer failures": lambda: (expect_error(lambda: w.put("s", {1, 2}), TypeError),
                                    expect_error(lambda: w.alias("s", 10**6), (IndexError, ValueError)),
                                    expect_error(lambda: w.put(b"k" * 70000, 1), tarnkv.LimitError)),
        "build": build,
    }


PACKAGE_NAMES = ["open", "open failures", "lookups", "lookup failures", "walks", "stats and verify", "corrupt reads",
                 "close", "writer", "writer failures", "build"]


@pytest.mark.parametrize("name", PACKAGE_NAMES)
def test_package_loop_leaves_refcount_and_memory_flat(package_paths, name):
    call = package_calls(package_paths)[name]
    watched = (tarnkv.TarnReader, tarnkv.SetReader, tarnkv.TarnWriter, KEY)
    with quiet_stdout():
        for _ in range(200):
            call()
        _, refs, rss, heap, _ = counts(watched)
        # A leak of one block a call grows the count by a thousand every round; the interpreter's
        # caches and free lists (exceptions, decoded objects) move it by a few dozen either way,
        # so one quiet round of the three says there is none.
        growth = []
        for _ in range(3):
            blocks = sys.getallocatedblocks()
            for _ in range(ROUNDS // 3):
                call()
            gc.collect()
            growth.append(sys.getallocatedblocks() - blocks)
            if growth[-1] < 50:
                break
        _, refs2, rss2, heap2, _ = counts(watched)
    assert refs2 == refs
    assert min(growth) < 50, growth
    assert heap2 - heap < 100 * 1024, f"malloc'd memory grew by {heap2 - heap} bytes"
    assert rss2 - rss < 1024
