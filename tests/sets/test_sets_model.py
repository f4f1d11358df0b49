"""Runs and merges against a dict as the model, on generated records: any keys (bytes, aliases,
repeats within and across partitions), any shard count, spills of any size."""

from __future__ import annotations

import itertools
import os
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnkv
from tarnkv import _native
from tarnkv.sets import SetDuplicateKeyError, merge

KEYS = st.binary(min_size=0, max_size=6) | st.sampled_from([b"a", b"ab", b"b", b"\xff", b""])
RECORDS = st.lists(st.tuples(st.lists(KEYS, min_size=1, max_size=3), st.binary(max_size=24)), max_size=40)
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def model(parts: list[list[tuple[list[bytes], bytes]]], policy: str) -> tuple[dict[bytes, bytes], bool]:
    """What a set must hold, and whether some key came twice."""
    out: dict[bytes, bytes] = {}
    dup = False
    for keys, obj in itertools.chain.from_iterable(parts):
        for key in dict.fromkeys(keys):  # a key named twice in one record counts once
            dup = dup or key in out
            if policy == "last" or key not in out:
                out[key] = obj
    return out, dup


def write_runs(tmp_path, parts, shards: int, spill: int, reject: bool) -> list[str]:
    paths = []
    for p, records in enumerate(parts):
        path = str(tmp_path / f"{uuid.uuid4().hex}.run")
        run = _native.RunWriter(path + ".tmp", shards, spill, reject)
        for seq, (keys, obj) in enumerate(records):
            run.add(seq, keys[0], obj, *keys[1:])
        run.finish(path)
        paths.append(path)
    return paths


@SETTINGS
@given(records=RECORDS, cuts=st.lists(st.integers(0, 40), max_size=3), shards=st.integers(1, 5),
       spill=st.sampled_from([1, 100, 1 << 20]), policy=st.sampled_from(["first", "last", "error"]))
def test_runs_merged_into_shards_hold_what_a_dict_holds(tmp_path, records, cuts, shards, spill, policy):
    bounds = sorted({0, len(records), *(min(c, len(records)) for c in cuts)})
    parts = [records[a:b] for a, b in zip(bounds, bounds[1:])] or [[]]
    expected, dup = model(parts, "last" if policy == "last" else "first")
    try:
        runs = write_runs(tmp_path, parts, shards, spill, policy == "error")
        got: dict[bytes, bytes] = {}
        objects = 0
        for s in range(shards):
            path = str(tmp_path / f"{uuid.uuid4().hex}.trnk")
            keys, objs, size, crc = _native.merge_runs(runs, shards, s, policy, path + ".tmp", path)
            with tarnkv.TarnReader(path, codec=None) as r:
                assert r.verify() and (len(r), r.stats()["num_objects"], r.stats()["file_size"]) == (keys, objs, size)
                for k in r.keys(raw=True):
                    assert tarnkv.key_hash(k) % shards == s
                    got[k] = r.get_raw(k)
            objects += objs
    except SetDuplicateKeyError as exc:
        assert policy == "error" and dup
        assert isinstance(exc.key, (str, bytes)) and exc.first < exc.second
        return
    assert not (policy == "error" and dup)
    assert got == expected
    # Each shard holds each record that keeps a key there, once.
    kept = {(tarnkv.key_hash(k) % shards, v) for k, v in expected.items()}
    assert objects <= sum(len(keys) for keys, _ in records)
    assert objects >= len(kept)  # records with equal bytes are still separate objects


@SETTINGS
@given(stores=st.lists(st.dictionaries(KEYS, st.binary(max_size=12), max_size=15), min_size=1, max_size=4),
       shards=st.sampled_from([None, 1, 3]))
def test_merged_stores_later_inputs_win(tmp_path, stores, shards):
    paths = []
    for i, mapping in enumerate(stores):
        w = tarnkv.TarnWriter(codec=None)
        for k, v in mapping.items():
            w.put(k, v)
        paths.append(tmp_path / f"{uuid.uuid4().hex}.trnk")
        w.build(paths[-1])
    out = tmp_path / uuid.uuid4().hex
    result = merge(paths, out, shards=shards)
    expected = {k: v for mapping in stores for k, v in mapping.items()}
    with tarnkv.open(out, codec=None) as r:
        assert {k: r.get_raw(k) for k in r.keys(raw=True)} == expected and r.verify()
        assert list(r.keys(raw=True)) == sorted(expected)
    assert result.num_keys == len(expected) and os.path.exists(out)


def test_run_writer_refuses_what_it_cannot_store(tmp_path):
    run = _native.RunWriter(str(tmp_path / "r.tmp"), 2, 1 << 20, False)
    with pytest.raises(tarnkv.KeyTooLongError):
        run.add(0, "k" * 70_000, b"x")
    with pytest.raises(ValueError, match="must grow"):
        run.add(5, "a", b"x")
        run.add(5, "b", b"x")
    with pytest.raises(TypeError):
        run.add(6, 42, b"x")
    run.abort()
    assert os.listdir(tmp_path) == []  # an abandoned run leaves nothing
    with pytest.raises(ValueError, match="shards"):
        _native.RunWriter(str(tmp_path / "r.tmp"), 0, 1, False)
    with pytest.raises(ValueError, match="policy"):
        _native.merge_runs([], 1, 0, "sometimes", str(tmp_path / "x.tmp"), str(tmp_path / "x"))


def test_set_entry_points_word_argument_errors_as_they_always_have(tmp_path):
    tmp, out = str(tmp_path / "r.tmp"), str(tmp_path / "out")
    path = str(tmp_path / "s.trnk")
    writer = tarnkv.TarnWriter()
    writer["a"] = 1
    writer.build(path)
    one = _native.ShardSet((_native.Reader(path),))
    two = _native.ShardSet((_native.Reader(path), _native.Reader(path)))
    calls = [
        (lambda: _native.RunWriter(), "RunWriter() missing required argument 'tmp' (pos 1)"),
        (lambda: _native.RunWriter(tmp, 2, reject_duplicates=False),
         "RunWriter() missing required argument 'spill_bytes' (pos 3)"),
        (lambda: _native.RunWriter(tmp, 2, 1, False, 1), "RunWriter() takes at most 4 arguments (5 given)"),
        (lambda: _native.RunWriter(tmp=tmp, shards=2, spill_bytes=1, reject_duplicates=False, x=1),
         "RunWriter() takes at most 4 keyword arguments (5 given)"),
        (lambda: _native.RunWriter(tmp, 2, spill_bytes="1", reject_duplicates=False),
         "RunWriter() argument 3 must be int, not str"),
        (lambda: _native.RunWriter(tmp, "2", 1, False), "'str' object cannot be interpreted as an integer"),
        (lambda: _native.merge_runs([], 1, 0, tmp=tmp, path=out, policy=5),
         "merge_runs() argument 4 must be str, not int"),
        (lambda: _native.merge_stores([], [], x=1), "merge_stores() got an unexpected keyword argument 'x'"),
        (lambda: _native.ShardSet([]), "ShardSet() argument 1 must be tuple, not list"),
        (lambda: _native.ShardSet(x=()), "ShardSet() missing required argument 'readers' (pos 1)"),
        (lambda: one.get_many([], keys=[]), r"argument for get_many() given by name ('keys') and position (1)"),
        (lambda: two.get_many_raw(), "get_many_raw() missing required argument 'keys' (pos 1)"),
        (lambda: two.get_many(keys=[], default=1, x=2), "get_many() takes at most 2 keyword arguments (3 given)"),
    ]
    for call, message in calls:
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message
    with pytest.raises(ValueError, match="embedded null character"):
        _native.merge_runs([], 1, 0, "err\0or", tmp, out)
    assert two.get_many(keys=["a", "b"], default=5) == [b"\x01", 5]
    assert one.get_many_raw(["a"], None) == [b"\x01"]
    run = _native.RunWriter(tmp=tmp, shards=2 ** 32 + 1, spill_bytes=-1, reject_duplicates=[1])  # masked, as ever
    run.abort()
    assert os.listdir(tmp_path) == ["s.trnk"]
