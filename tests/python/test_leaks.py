"""Repeated calls, failing ones included, must not grow the process's memory: every path
releases what it made, on the Python side and in the core."""

import ctypes
import gc
import sys

import pytest

from conftest import raw_store
from tarnkv import _tarnkv

W, R = _tarnkv._TarnWriter, _tarnkv._TarnReader


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out (glibc), which is where the core's copies live."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        pytest.skip("no mallinfo2")
    fn.restype = MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError, OSError, UnicodeEncodeError):
        pass


def test_repeated_calls_do_not_leak(make_store, craft, tmp_path):
    good = make_store({f"k{i}": bytes(200) + bytes([i]) for i in range(50)})
    broken = craft(raw_store([b"abc"], [("a", 40), ("b", 10**6)]))
    missing = str(tmp_path / "missing.trnk")
    out = str(tmp_path / "out.trnk")

    class Index:
        def __index__(self):
            return 0

    def round_():
        r = R(good)
        for key in ("k1", b"k2", "zz", "\u00e9"):
            r.get_raw(key)
            r.exists(key)
            r.prefix_raw(key)
        r.keys(), r.items_raw(), r.objects_raw(), r.stats(), r.verify(), repr(r)
        with r:
            r.close()
        b = R(broken)
        for call in (lambda: b.get_raw("b"), lambda: b.prefix_raw(""), b.items_raw, b.objects_raw, b.verify):
            swallow(call)
        for bad in (lambda: R(missing), lambda: R(good, verify=1), lambda: R(b"x"), lambda: R("\udc80"),
                    lambda: R(), lambda: r.get_raw(1), lambda: r.get_raw(k=1), lambda: r.__exit__(),
                    lambda: r.prefix_raw("\udc80")):
            swallow(bad)
        w = W()
        w.add_key("k", w.add_object_raw(b"x" * 100))
        w.add_key(b"j", Index())
        for bad in (lambda: w.add_key("k", 5), lambda: w.add_key("k", -1), lambda: w.add_key("k", "0"),
                    lambda: w.add_key(1, 0), lambda: w.add_object_raw(bytearray()), lambda: w.build(b"x"),
                    lambda: w.build(missing + "/x"), lambda: W(1)):
            swallow(bad)
        repr(w)

    for _ in range(300):
        round_()
    gc.collect()
    blocks, before = sys.getallocatedblocks(), malloc_in_use()
    for _ in range(2000):
        round_()
    gc.collect()
    # Python objects: even one leaked str per round shows up as thousands of blocks.
    assert sys.getallocatedblocks() - blocks < 500
    # C++ allocations (the core's copies and error texts) and large Python objects.
    grown = malloc_in_use() - before
    assert grown < 256 * 1024, f"malloc'd memory grew by {grown} bytes"
