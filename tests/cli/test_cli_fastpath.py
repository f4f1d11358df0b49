"""The native JSON Lines path against the Python path it stands in for: the same MessagePack
bytes from the same lines, the same JSON text from the same objects, and a hand-over (never a
different answer) for everything it does not take."""

from __future__ import annotations

import base64
import math
import struct

import msgpack
import orjson
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import tarnkv
from tarnkv import _native

pytestmark = pytest.mark.skipif(not hasattr(_native, "transcode_json_lines"),
                                reason="built without the native JSON Lines path")

scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=40))
json_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5)
                           | st.dictionaries(st.text(max_size=8), inner, max_size=5), max_leaves=20)
keys = st.text(min_size=1, max_size=20) | st.integers(-(2**63), 2**63) | st.booleans() \
    | st.floats(allow_nan=False, allow_infinity=False)


def put_lines(data: bytes, key=b"id", aliases=(), value=None):
    got = []
    batch, stop, count = _native.transcode_json_lines(data, 0, key, aliases, value)
    assert _native.put_json_batch(lambda *a: got.append(a), batch, 0) == count == len(got)
    return stop, got


def pack_batch(records) -> bytes:
    """A packed batch, as the JSON Lines reader makes them, of (keys, object) records."""
    out = bytearray()
    for keys, obj in records:
        out.append(len(keys))
        for k in keys:
            out += struct.pack("=I", len(k)) + k
        out += struct.pack("=I", len(obj)) + obj
    return bytes(out)


# Records a writer takes or refuses depending on its policy: repeats across records, within a
# record, among aliases, and a key one byte over the limit.
BATCH_RECORDS = [([b"a"], b"1"), ([b"b", b"c"], b"2"), ([b"a"], b"3"), ([b"d", b"d"], b"4"),
                 ([b"k" * 65536], b"5"), ([b"e", b"b"], b"6"), ([b"c", b"a"], b"7"), ([b"f"], b"8")]


@pytest.mark.parametrize("policy", ["error", "first", "last"])
def test_put_many_stores_what_put_raw_stores_and_stops_where_it_would_raise(policy, tmp_path):
    batch = pack_batch(BATCH_RECORDS)
    many = tarnkv.TarnWriter(codec=None, on_duplicate=policy)
    one = tarnkv.TarnWriter(codec=None, on_duplicate=policy)
    skip = 0
    while skip < len(BATCH_RECORDS):
        done = many.put_many_raw(batch, skip)
        for keys, obj in BATCH_RECORDS[skip:done]:  # each would have gone in one by one
            assert one.put_raw(keys[0], obj, *keys[1:]) is not None
        if done < len(BATCH_RECORDS):  # and the one it stopped at would have raised
            keys, obj = BATCH_RECORDS[done]
            for w in (one, many):
                with pytest.raises(tarnkv.TarnError):
                    w.put_raw(keys[0], obj, *keys[1:])
        skip = done + 1
    every_key = {k for keys, _ in BATCH_RECORDS for k in keys}
    assert (len(many), many.num_objects) == (len(one), one.num_objects)
    assert {k: many.object_id(k) for k in every_key} == {k: one.object_id(k) for k in every_key}
    many.build(tmp_path / "many.trnk")
    one.build(tmp_path / "one.trnk")
    assert (tmp_path / "many.trnk").read_bytes() == (tmp_path / "one.trnk").read_bytes()


def test_put_many_refuses_a_malformed_batch():
    w = tarnkv.TarnWriter(codec=None)
    good = pack_batch([([b"a"], b"1")])
    for bad in (good[:-1], b"\x00", good + b"\x01"):
        with pytest.raises(ValueError, match="malformed batch"):
            w.put_many_raw(bad, 0)


def key_text(v) -> bytes:
    if isinstance(v, str):
        return v.encode()
    if isinstance(v, bool):
        return b"true" if v else b"false"
    return orjson.dumps(v)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(keys, json_values), min_size=1, max_size=10))
@example([("$bytes", None), ("k", "$map"), ("j", ["$float", {"a": "$bytes"}])])  # a wrapper's name as text
def test_lines_pack_like_msgpack(records):
    lines = [orjson.dumps({"id": k, "v": v}) for k, v in records]
    stop, got = put_lines(b"\n".join(lines) + b"\n")
    assert stop == len(b"\n".join(lines)) + 1  # every line taken
    for (k, v), line, (key, raw) in zip(records, lines, got):
        assert key == key_text(k)
        assert raw == msgpack.packb(orjson.loads(line), use_bin_type=True)


def test_value_field_and_aliases():
    data = b'{"id": "a", "alt": ["b", null, "a", 7], "one": 1.0, "v": {"x": [1, 2]}}\n'
    stop, got = put_lines(data, aliases=(b"alt", b"one"), value=b"v")
    assert stop == len(data)
    assert got == [(b"a", msgpack.packb({"x": [1, 2]}), b"b", b"7", b"1.0")]


@pytest.mark.parametrize("line", [
    b"",  # blank
    b"   \r",
    b"[1, 2]",  # not an object
    b'{"id": null}',
    b'{"id": ""}',
    b'{"id": [1]}',
    b'{"name": "no id"}',
    b'{"id": "a", "id": "b"}',  # a name twice: the Python path keeps the last
    b'{"id": "a", "v": 18446744073709551616}',  # beyond 64 bits
    b'{"id": "a", "v": 1e400}',
    b'{"id": "a", "v": "\\ud800"}',  # a lone surrogate
    b'{"id": "a", "v": {"$bytes": "AAE="}}',  # a wrapper
    b'{"id": "a"} {"id": "b"}',
    b'{"id": "a", ' + b'"v": [' * 300 + b']' * 300 + b'}',  # deeper than the fast path goes
    b'\xef\xbb\xbf{"id": "a"}',
])
def test_hands_over_what_it_does_not_take(line):
    data = b'{"id": "ok"}\n' + line + b'\n{"id": "after"}\n'
    stop, got = put_lines(data)
    assert [k for k, _ in got] == [b"ok"]
    assert stop == len(b'{"id": "ok"}\n')


def test_a_failing_put_stops_at_its_record_and_goes_on_from_the_next():
    calls = []

    def put(key, raw):
        calls.append(key)
        if key == b"b":
            raise ValueError("no")

    batch, stop, count = _native.transcode_json_lines(b'{"id": "a"}\n{"id": "b"}\n{"id": "c"}', 0,
                                                      b"id", (), None)
    assert (stop, count) == (len(b'{"id": "a"}\n{"id": "b"}\n{"id": "c"}'), 3)
    assert _native.put_json_batch(put, batch, 0) == 1
    assert _native.put_json_batch(put, batch, 2) == 3
    assert calls == [b"a", b"b", b"c"]


def test_interrupts_are_not_swallowed():
    def put(key, raw):
        raise KeyboardInterrupt

    batch, _, _ = _native.transcode_json_lines(b'{"id": "a"}', 0, b"id", (), None)
    with pytest.raises(KeyboardInterrupt):
        _native.put_json_batch(put, batch, 0)


def python_line(key: str, raw: bytes) -> bytes:
    def wrap(o):
        if isinstance(o, bytes):
            return {"$bytes": base64.b64encode(o).decode()}
        raise TypeError

    k = key.encode("utf-8", "surrogateescape")
    try:
        shown = k.decode()
    except UnicodeDecodeError:
        shown = {"$bytes": base64.b64encode(k).decode()}
    value = msgpack.unpackb(raw, raw=False, strict_map_key=False)
    return orjson.dumps({"key": shown, "value": value}, default=wrap, option=orjson.OPT_APPEND_NEWLINE)


stored = st.recursive(scalars | st.binary(max_size=20) | st.floats(width=32, allow_nan=False, allow_infinity=False),
                      lambda inner: st.lists(inner, max_size=5)
                      | st.dictionaries(st.text(max_size=8), inner, max_size=20), max_leaves=30)


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.binary(max_size=12), stored, min_size=1, max_size=30))
def test_dump_writes_what_orjson_writes(tmp_path_factory, entries):
    path = tmp_path_factory.mktemp("d") / "s.trnk"
    w = tarnkv.TarnWriter()
    for k, v in entries.items():
        w.put(k, v)
    w.build(path)
    with tarnkv.open(path) as r:
        expected = b"".join(python_line(k, raw) for k, raw in r.items_raw())
        text, done, pending = _native.dump_json_lines(r, b"", 0, len(entries))
        assert (done, pending) == (len(entries), None)
        assert text == expected


@pytest.mark.parametrize("value, handed_over", [
    (math.nan, True), (math.inf, True), (msgpack.ExtType(5, b"x"), True), ({1: "int key"}, True),
    (msgpack.Timestamp(1, 0), True), (1.5, False), ({"a": b"\xff"}, False),
])
def test_dump_hands_over(tmp_path, value, handed_over):
    path = tmp_path / "s.trnk"
    w = tarnkv.TarnWriter(codec=None)
    w.put("a", b"\x01")
    w.put("b", msgpack.packb(value, use_bin_type=True, datetime=False))
    w.put("c", b"\x02")
    w.build(path)
    with tarnkv.open(path) as r:
        text, done, pending = _native.dump_json_lines(r, b"", 0, 3)
        if handed_over:
            assert done == 2 and pending[0] == b"b" and text.count(b"\n") == 1
            text2, done2, pending2 = _native.dump_json_lines(r, b"", 2, 3)
            assert (done2, pending2) == (1, None) and text2.startswith(b'{"key":"c"')
        else:
            assert (done, pending) == (3, None)


def test_dump_raises_for_a_damaged_object_after_the_lines_before_it(tmp_path):
    path = tmp_path / "s.trnk"
    w = tarnkv.TarnWriter()
    w.put("a", "first")
    w.put("b", "second")
    w.build(path)
    data = bytearray(path.read_bytes())
    data[data.find(b"second") + 1] ^= 0x20  # "sEcond": its record's CRC no longer matches
    path.write_bytes(data)
    with tarnkv.open(path, verify=False) as r:
        text, done, pending = _native.dump_json_lines(r, b"", 0, 2)
        assert done == 1 and text == b'{"key":"a","value":"first"}\n'
        with pytest.raises(tarnkv.CorruptStoreError):
            _native.dump_json_lines(r, b"", 1, 1)
