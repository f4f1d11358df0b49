"""The default codec decodes in place; whatever it reads must be exactly what msgpack.unpackb
(raw=False, strict_map_key=False) gives for the same bytes, errors included."""

import math

import msgpack
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import tarnkv

leaves = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=True)
          | st.text(max_size=40) | st.binary(max_size=40)
          | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=8))
          | st.builds(msgpack.Timestamp, st.integers(0, 2**33), st.integers(0, 999_999_999)))
documents = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4)
                         | st.dictionaries(st.text(max_size=8) | st.integers(-3, 3) | st.binary(max_size=3)
                                           | st.floats(allow_nan=False), inner, max_size=4), max_leaves=12)


def same(a, b):
    """Equality that also holds for NaN, and tells float from int and list from tuple."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def outcome(fn, data):
    try:
        return "ok", fn(data)
    except Exception as e:  # the class and text are what must agree
        return "error", (type(e), str(e))


SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.fixture(scope="module")
def one_store(tmp_path_factory):
    """(path, read(blob)): each blob stored under one key and read back through the reader."""
    base = tmp_path_factory.mktemp("mp")
    counter = iter(range(10**9))

    def read(blob, how):
        path = base / f"{next(counter)}.trnk"
        w = tarnkv.TarnWriter(codec=None)
        w.put_raw("k", blob)
        w.build(path)
        with tarnkv.open(path) as r:
            return {"getitem": lambda: r["k"], "get_many": lambda: r.get_many(["k"])[0],
                    "values": lambda: next(iter(r.values())), "items": lambda: next(iter(r.items()))[1]}[how]()

    return read


@SETTINGS
@given(doc=documents, how=st.sampled_from(["getitem", "get_many", "values", "items"]))
def test_documents_decode_as_msgpack_decodes_them(one_store, doc, how):
    blob = msgpack.packb(doc, use_bin_type=True)
    kind, expected = outcome(lambda b: msgpack.unpackb(b, raw=False, strict_map_key=False), blob)
    got_kind, got = outcome(lambda b: one_store(b, how), blob)
    assert got_kind == kind
    assert same(got, expected) if kind == "ok" else got == expected


@SETTINGS
@given(blob=st.binary(max_size=30))
@example(b"\x81\x91\x01\x02")  # a list as a map key: unhashable
@example(b"\x93\x01\x02")      # truncated array
@example(b"\x01\x02")          # trailing bytes
@example(b"\xa2\xff\xfe")      # a str that is not UTF-8
@example(b"\xc1")              # never-used byte
def test_arbitrary_bytes_fail_or_decode_as_msgpack_does(one_store, blob):
    kind, expected = outcome(lambda b: msgpack.unpackb(b, raw=False, strict_map_key=False), blob)
    got_kind, got = outcome(lambda b: one_store(b, "getitem"), blob)
    assert got_kind == kind
    assert same(got, expected) if kind == "ok" else got == expected


def test_map_keys_are_interned_like_msgpack(one_store):
    got = one_store(msgpack.packb({"some_key": 1}), "getitem")
    (key,) = got
    (other,) = msgpack.unpackb(msgpack.packb({"some_key": 2}), raw=False)
    assert key is other
