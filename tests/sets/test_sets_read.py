"""Reading sets: the single store's API over shards (against a dict and a single store as
models), and every way a shard can go wrong, reported by name."""

from __future__ import annotations

import json
import os
import pickle
import shutil
import subprocess
import sys
import threading

import pytest

import tarnkv
from sets.set_helpers import build_store, make_set
from tarnkv.sets import manifest as mf

MODEL = {f"user:{i:04d}": {"n": i, "name": f"user {i}"} for i in range(500)} | {
    "": "empty key", "a": [1, 2], "ab": {"x": None}, "b": b"\x00bytes", "\ue000": "private use", "é": 1.5}


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    """(a set of 5 shards, a single store) holding MODEL."""
    tmp = tmp_path_factory.mktemp("pair")
    return make_set(tmp, MODEL, shards=5), build_store(tmp / "single.trnk", MODEL)


@pytest.fixture
def s(pair):
    with tarnkv.open(pair[0]) as reader:
        yield reader


def test_mapping_protocol_matches_a_dict(s):
    assert isinstance(s, tarnkv.SetReader) and len(s) == len(MODEL)
    assert dict(s.items()) == MODEL and s == MODEL
    for key in ["user:0007", "", "é", "\ue000", b"ab", "missing", b"\xff"]:
        expected = MODEL.get(key.decode("utf-8", "surrogateescape") if isinstance(key, bytes) else key, KeyError)
        assert (key in s) == (expected is not KeyError)
        assert s.get(key, KeyError) == expected
        if expected is KeyError:
            with pytest.raises(KeyError):
                s[key]
        else:
            assert s[key] == expected and s.get_raw(key) == bytes(s.get_view(key))
    assert s.get(key="a") == [1, 2] and s.get("zz", default=0) == 0
    assert 42 not in s and s.get(42) is None
    with pytest.raises(TypeError):
        s.get()


def test_walks_match_a_single_store_in_global_key_order(pair, s):
    with tarnkv.open(pair[1]) as r:
        assert list(s) == list(r) and list(s.keys(raw=True)) == list(r.keys(raw=True))
        assert list(s.values()) == list(r.values()) and list(s.items_raw()) == list(r.items_raw())
        assert list(s.values_raw()) == list(r.values_raw())
        for prefix, limit in [("user:00", 7), ("user:04", None), ("", None), ("", 0), (b"a", None), ("\ue000", 1), ("é", None)]:
            assert list(s.prefix(prefix, limit=limit)) == list(r.prefix(prefix, limit=limit))
            assert list(s.prefix_raw(prefix, limit=limit)) == list(r.prefix_raw(prefix, limit=limit))
            assert list(s.prefix_keys(prefix, raw=True)) == list(r.prefix_keys(prefix, raw=True))
            assert s.count_prefix(prefix) == r.count_prefix(prefix)
        walk = iter(s.items())
        next(walk)
        assert walk.__length_hint__() == len(MODEL) - 1


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda m: m.prefix(7), TypeError, "prefix must be str or bytes, not int"),
    (lambda m: m.prefix_keys("a", limit=-1), ValueError, "limit must be None or at least 0, not -1"),
    (lambda m: m.prefix_raw("a", limit="2"), TypeError, "'str' object cannot be interpreted as an integer"),
    (lambda m: m._scan(99), ValueError, "unknown scan kind"),
    (lambda m: [m.verify(progress=3)], TypeError, "progress must be callable or None, not int"),
])
def test_bad_scan_arguments_are_refused_as_by_a_single_store(pair, s, call, error, message):
    with tarnkv.open(pair[1]) as r:
        for mapping in (r, s):
            with pytest.raises(error, match=message):
                list(call(mapping))


def test_get_many_groups_by_shard_and_keeps_the_order(pair, s):
    keys = [f"user:{i:04d}" for i in range(0, 600, 7)] + ["a", 7, b"b", "missing", "user:0001"]
    with tarnkv.open(pair[1]) as r:
        assert s.get_many(keys, default="-") == r.get_many(keys, default="-")
        assert s.get_many_raw(keys) == r.get_many_raw(keys)
        assert s.get_many(iter(["a"])) == [[1, 2]] and s.get_many([]) == []
        large = keys * 50  # past the size that goes to the shards' own batches
        assert s.get_many(large) == r.get_many(large) and s.get_many_raw(large) == r.get_many_raw(large)
    with pytest.raises(TypeError):
        s.get_many(5)


def test_non_utf8_keys_sort_by_their_bytes(tmp_path):
    keys = [b"\xff", "\ue000".encode(), b"\x80a", b"a\xff", b"z"]
    w = tarnkv.TarnWriter()
    for k in keys:
        w.put(k, k.hex())
    w.build(tmp_path / "raw.trnk")
    tarnkv.sets.merge([tmp_path / "raw.trnk"], tmp_path / "set", shards=3)
    with tarnkv.open(tmp_path / "set") as s:
        assert list(s.keys(raw=True)) == sorted(keys)
        assert [s[k] for k in s] == [k.hex() for k in sorted(keys)]  # str keys find their bytes again


def test_close_pickle_fork_and_threads(pair):
    s = tarnkv.open(pair[0], check_reads=False)
    again = pickle.loads(pickle.dumps(s))
    assert again == s and again.check_reads is False and again.path == s.path
    errors = []

    def hammer():
        try:
            for _ in range(20):
                assert s.get_many(list(MODEL)) == list(MODEL.values())
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    # fork() in a fresh interpreter (this one may run the session's Dask threads): the child
    # reads through the mappings it inherited.
    code = ("import os, sys, tarnkv\n"
            "s = tarnkv.open(sys.argv[1])\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    os._exit(0 if s['user:0003'] == {'n': 3, 'name': 'user 3'} and len(list(s)) == 506 else 1)\n"
            "sys.exit(os.waitpid(pid, 0)[1])\n")
    assert subprocess.run([sys.executable, "-c", code, str(pair[0])], timeout=60).returncode == 0
    walk = iter(s)
    next(walk)
    s.close()
    s.close()
    assert s.closed and "closed" in repr(s)
    for use in (lambda: s["a"], lambda: len(s), lambda: list(s), lambda: next(walk), lambda: s.get_many(["a"])):
        with pytest.raises(ValueError, match="closed"):
            use()
    again.close()


def test_stats_add_the_shards_up(pair, s):
    st = s.stats()
    with tarnkv.open(pair[1]) as r:
        assert st["num_keys"] == r.stats()["num_keys"] and st["shard_count"] == len(st["shards"]) == 5
    assert st["file_size"] == sum(os.path.getsize(os.path.join(pair[0], sh["file"])) for sh in st["shards"])
    assert [sh["index"] for sh in st["shards"]] == list(range(5)) and st["routing"] == mf.ROUTING
    assert all(s.shard_of(k) == tarnkv.key_hash(k) % 5 for k in MODEL)


# --- Shards gone wrong, each reported by name ------------------------------------------------

@pytest.fixture
def broken(pair, tmp_path):
    """A fresh copy of the set, to damage, and its manifest."""
    out = tmp_path / "copy"
    shutil.copytree(pair[0], out)
    return out, mf.read(str(out))


def shard_path(d, m, i):
    return d / m.shards[i].file


@pytest.mark.parametrize("damage, expected", [
    ("delete", r"shard 2 of 5 \(shard-00002-\w+\.trnk\) is missing"),
    ("truncate", r"shard 2 of 5 \(shard-00002-\w+\.trnk\) is \d+ bytes where the manifest says"),
    ("swap", r"shard 0 of 5 \(shard-00000-\w+\.trnk\) (is \d+ bytes|does not match)"),
])
def test_a_missing_truncated_or_swapped_shard_fails_the_open(broken, damage, expected):
    d, m = broken
    victim = shard_path(d, m, 2)
    if damage == "delete":
        victim.unlink()
    elif damage == "truncate":
        os.truncate(victim, victim.stat().st_size - 5)
    else:
        a, b = shard_path(d, m, 0), shard_path(d, m, 1)
        a.rename(d / "tmp")
        b.rename(a)
        (d / "tmp").rename(b)
    with pytest.raises(tarnkv.CorruptStoreError, match=expected) as info:
        tarnkv.open(d, verify=False)
    assert os.path.basename(info.value.path) in str(info.value)


def test_a_corrupted_shard_is_named_at_open_verify_and_read(broken):
    d, m = broken
    victim = shard_path(d, m, 3)
    data = bytearray(victim.read_bytes())
    data[50] ^= 0xFF  # inside the first object record
    victim.write_bytes(bytes(data))
    with pytest.raises(tarnkv.CorruptStoreError, match=r"shard 3 of 5 \(shard-00003-"):
        tarnkv.open(d)  # verify=True checks every shard's whole-file CRC
    with tarnkv.open(d, verify=False) as s:
        with pytest.raises(tarnkv.CorruptStoreError) as info:
            s.verify()
        assert info.value.path == str(victim)
        with pytest.raises(tarnkv.CorruptStoreError) as info:
            list(s.values())  # the damaged object, when the walk reaches it
        assert info.value.path == str(victim)


def test_a_shard_swapped_behind_the_manifests_back_is_caught_by_verify(broken):
    d, m = broken
    # Shards 0 and 1 trade places and the manifest is "fixed" to match: the files are whole and
    # match their entries, but each holds the other's keys.
    a, b = shard_path(d, m, 0), shard_path(d, m, 1)
    a.rename(d / "tmp")
    b.rename(a)
    (d / "tmp").rename(b)
    doc = json.loads((d / mf.MANIFEST).read_text())
    facts = [{k: doc["shards"][i][k] for k in ("size", "file_crc32", "num_keys", "num_objects")} for i in (0, 1)]
    doc["shards"][0].update(facts[1])
    doc["shards"][1].update(facts[0])
    (d / mf.MANIFEST).write_text(json.dumps(doc))
    with tarnkv.open(d) as s:
        with pytest.raises(tarnkv.CorruptStoreError, match=r"shard 0 of 5 .* holds key .* belongs in shard 1"):
            s.verify()


@pytest.mark.parametrize("edit, error, text", [
    (lambda doc: doc.update(format_version=2), tarnkv.UnsupportedVersionError, "version 2"),
    (lambda doc: doc["shards"][1].update(file="../elsewhere.trnk"), tarnkv.CorruptStoreError, "file name"),
    (lambda doc: doc.update(num_keys=1), tarnkv.CorruptStoreError, "add up"),
    (lambda doc: doc["routing"].update(seed=1), tarnkv.CorruptStoreError, "routing"),
    (lambda doc: doc["shards"].pop(), tarnkv.CorruptStoreError, "shard_count"),
])
def test_a_bad_manifest_is_refused(broken, edit, error, text):
    d, _ = broken
    doc = json.loads((d / mf.MANIFEST).read_text())
    edit(doc)
    (d / mf.MANIFEST).write_text(json.dumps(doc))
    with pytest.raises(error, match=text):
        tarnkv.open(d)
    (d / mf.MANIFEST).write_text("{not json")
    with pytest.raises(tarnkv.CorruptStoreError, match="not JSON"):
        tarnkv.open(d)


def test_merge_later_inputs_win_and_shared_objects_stay_shared(tmp_path):
    first = make_set(tmp_path, {"a": 1, "b": 1, "c": 1}, shards=2, name="first")
    second = make_set(tmp_path, {"b": 2, "d": 2}, shards=3, name="second")
    w = tarnkv.TarnWriter()
    w.put("c", 3, "e", "f")  # one object, three keys
    w.build(tmp_path / "third.trnk")
    result = tarnkv.sets.merge([first, second, tmp_path / "third.trnk"], tmp_path / "out.trnk")
    with tarnkv.open(tmp_path / "out.trnk") as r:
        assert dict(r) == {"a": 1, "b": 2, "c": 3, "d": 2, "e": 3, "f": 3}
    # Objects: 1 (a), 2 (b and d: equal bytes within one set are one object) and 3 (c, e, f).
    assert result.num_objects == 3 and result.shard_count is None
    result = tarnkv.sets.merge([tmp_path / "out.trnk"], tmp_path / "out.set", shards=4)
    with tarnkv.open(tmp_path / "out.set") as s:
        assert dict(s) == {"a": 1, "b": 2, "c": 3, "d": 2, "e": 3, "f": 3} and s.verify()
    with pytest.raises(IsADirectoryError):
        tarnkv.sets.merge([first], tmp_path / "out.set")


def test_batches_decode_with_the_sets_codec_and_name_a_damaged_shard(tmp_path):
    import json as _json

    codec = tarnkv.Codec(lambda o: _json.dumps(o).encode(), _json.loads, name="json")
    w = tarnkv.TarnWriter(codec=codec)
    for i in range(100):
        w.put(f"k{i}", {"i": i})
    w.build(tmp_path / "src.trnk")
    tarnkv.sets.merge([tmp_path / "src.trnk"], tmp_path / "set", shards=3)
    keys = [f"k{i}" for i in range(100)]
    with tarnkv.open(tmp_path / "set", codec=codec) as s:
        assert s.get_many(keys + ["nope"]) == [{"i": i} for i in range(100)] + [None]
        assert s.get_many(keys * 50)[:3] == [{"i": 0}, {"i": 1}, {"i": 2}]
    entry = mf.read(str(tmp_path / "set")).shards[2]
    victim = tmp_path / "set" / entry.file
    data = bytearray(victim.read_bytes())
    data[49] ^= 0x20  # in the first record's bytes
    victim.write_bytes(bytes(data))
    for many in ("get_many", "get_many_raw"):
        with tarnkv.open(tmp_path / "set", codec=codec, verify=False) as s:
            with pytest.raises(tarnkv.CorruptStoreError) as info:
                getattr(s, many)(keys)
            assert info.value.path == str(victim)
