"""Every public call, repeated, successful and failing alike, leaves no object, reference or
memory behind: the interpreter's allocated blocks, the reference counts of what the calls touch
and the resident set stay flat."""

import gc
import pickle
import sys
import warnings
import weakref

import msgpack
import pytest

import tarnkv

from store_helpers import rss_kib

# Thousands of calls per public call; make check leaves them to make test.
pytestmark = pytest.mark.slow

ROUNDS = 2000
KEY = "k07"


def swallow(call):
    try:
        call()
    except (KeyError, TypeError, ValueError, IndexError, OSError, tarnkv.TarnError, RuntimeError):
        pass


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    base = tmp_path_factory.mktemp("leaks")
    w = tarnkv.TarnWriter()
    for i in range(50):
        w.put(f"k{i:02d}", {"i": i, "b": b"x" * i})
    w.build(base / "good.trnk")
    blob = bytearray((base / "good.trnk").read_bytes())
    blob[50] ^= 1
    (base / "bad.trnk").write_bytes(bytes(blob))
    return base


def calls(base):
    r = tarnkv.open(base / "good.trnk")
    bad = tarnkv.open(base / "bad.trnk", verify=False)
    raw = tarnkv.open(base / "good.trnk", codec=None)
    w = tarnkv.TarnWriter(on_duplicate="error")
    w.put(KEY, 1)

    def build_some():
        x = tarnkv.TarnWriter()
        x.put("a", [1, 2], "b")
        x.add("orphan")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            x.build(base / "built.trnk", progress=lambda d, t: None)

    def stop(d, t):
        raise ValueError("stop")

    return {
        "getitem": lambda: r[KEY], "get": lambda: r.get(KEY), "miss": lambda: r.get("nope", 0),
        "keyerror": lambda: r["nope"], "contains": lambda: KEY in r, "get_raw": lambda: r.get_raw(KEY),
        "view": lambda: bytes(r.get_view(KEY)), "get_many": lambda: r.get_many([KEY, "nope", 3]),
        "get_many_raw": lambda: raw.get_many_raw([KEY] * 300), "items": lambda: list(r.items()),
        "keys_raw": lambda: list(r.keys(raw=True)), "prefix": lambda: list(r.prefix("k0", limit=3)),
        "count": lambda: r.count_prefix("k"), "stats": r.stats, "verify": r.verify,
        "verify_stop": lambda: r.verify(progress=stop), "pickle": lambda: pickle.loads(pickle.dumps(r)).close(),
        "corrupt": lambda: bad["k00"], "corrupt_verify": bad.verify,
        "corrupt_batch": lambda: bad.get_many(["k00", KEY]), "missing": lambda: tarnkv.open(base / "none.trnk"),
        "open_close": lambda: tarnkv.open(base / "good.trnk").close(), "put": lambda: w.put(KEY, 2),
        "put_bad": lambda: w.put("s", {1, 2}), "alias_bad": lambda: w.alias("s", 10**6),
        "key_bad": lambda: w.put(b"k" * 70000, 1), "build": build_some,
        "build_stop": lambda: w.build(base / "stopped.trnk", progress=stop), "hash": lambda: tarnkv.key_hash(KEY),
    }


NAMES = ["getitem", "get", "miss", "keyerror", "contains", "get_raw", "view", "get_many", "get_many_raw", "items",
         "keys_raw", "prefix", "count", "stats", "verify", "verify_stop", "pickle", "corrupt", "corrupt_verify",
         "corrupt_batch", "missing", "open_close", "put", "put_bad", "alias_bad", "key_bad", "build", "build_stop",
         "hash"]


@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_leak_nothing(stores, name):
    call = calls(stores)[name]
    watched = (tarnkv.TarnReader, tarnkv.TarnWriter, KEY)
    for _ in range(50):  # warm caches (interned keys, codec functions)
        swallow(call)
    gc.collect()
    refs, rss = [sys.getrefcount(o) for o in watched], rss_kib()
    # A leak of even one block a call grows the count by ROUNDS every time; the interpreter's
    # own free lists and caches move it by a few dozen either way, so one quiet round of the
    # three says there is none.
    growth = []
    for _ in range(3):
        blocks = sys.getallocatedblocks()
        for _ in range(ROUNDS):
            swallow(call)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
        if growth[-1] < 50:
            break
    assert [sys.getrefcount(o) for o in watched] == refs
    assert min(growth) < 50, growth
    assert rss_kib() - rss < 2048


class _KeepsItsUsers(tarnkv.Codec):
    """A codec that keeps every reader or writer it serves: a reference cycle through them."""

    __slots__ = ("users",)

    def __init__(self):
        super().__init__(msgpack.packb, msgpack.unpackb, name="keeps")
        self.users = []


@pytest.mark.parametrize("make", [
    lambda path, codec: tarnkv.open(path, codec=codec),
    lambda path, codec: tarnkv.TarnWriter(codec=codec),
], ids=["reader", "writer"])
def test_a_cycle_through_a_codec_is_collected(stores, make):
    codec = _KeepsItsUsers()
    obj = make(stores / "good.trnk", codec)
    codec.users.append(obj)
    gone = weakref.ref(obj)
    del obj, codec
    gc.collect()
    assert gone() is None
