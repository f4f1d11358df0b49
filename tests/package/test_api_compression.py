"""Compressed stores through the package: every read path returns objects as they were put,
damaged compressed objects fail as corrupt naming their key, and merging, diffing and stats
work on them."""

import gc
import json
import os
import random
import subprocess
import sys
import threading

import pytest

import tarnkv
from tarnkv import _tarnkv

RECORDS = {f"pkg:{i:05}": {"name": f"lib{i % 300}-dev", "version": f"{i % 9}.{i % 17}.{i % 5}",
                           "section": "libdevel", "depends": ["libc6", f"lib{i % 40}"],
                           "description": "library for parsing and formatting things"}
           for i in range(3000)}


@pytest.fixture
def stores(build):
    """(compressed store, the same records uncompressed)."""
    return build(RECORDS, compression="zstd"), build(RECORDS)


def header_byte(path, at):
    with open(path, "rb") as f:
        return f.read(at + 1)[at]


def test_every_read_path_returns_the_objects_as_put(stores):
    packed, plain = stores
    assert header_byte(packed, 5) == 1 and header_byte(plain, 5) == 0
    assert os.path.getsize(packed) < os.path.getsize(plain) * 0.6
    with tarnkv.TarnReader(packed) as r, tarnkv.TarnReader(plain) as u:
        assert r.compression == "zstd" and u.compression is None
        assert r["pkg:00007"] == RECORDS["pkg:00007"]
        assert r.get_raw("pkg:00007") == u.get_raw("pkg:00007")
        assert bytes(r.get_view("pkg:00008")) == u.get_raw("pkg:00008")
        assert r.get_many(["pkg:00001", "missing", "pkg:02999"]) == [RECORDS["pkg:00001"], None,
                                                                       RECORDS["pkg:02999"]]
        assert r.get_many_raw(["pkg:00002"]) == u.get_many_raw(["pkg:00002"])
        assert dict(r.items()) == RECORDS
        assert list(r.items_raw()) == list(u.items_raw())
        assert list(r.values_raw()) == list(u.values_raw())
        assert list(r.prefix("pkg:0001")) == list(u.prefix("pkg:0001"))
        assert list(r.prefix_raw("pkg:002", limit=5)) == list(u.prefix_raw("pkg:002", limit=5))
        assert r.verify()
        stats = r.compression_stats()
        assert stats["original_bytes"] == sum(len(v) for v in u.values_raw())
        assert 0 < stats["stored_bytes"] < stats["original_bytes"] / 2
        assert u.compression_stats() is None


def test_the_low_level_module_opens_verifies_and_reads_stored_bytes(stores):
    packed, plain = stores
    low = _tarnkv._TarnReader(str(packed), verify=True)
    with tarnkv.TarnReader(plain) as u:
        stored = low.get_raw("pkg:00003")
        assert stored is not None and stored[0] != 0  # tag and frame, not the object
        assert len(stored) < len(u.get_raw("pkg:00003"))
        assert low.keys() == list(u.keys())


def test_reads_from_many_threads_agree(stores):
    packed, _ = stores
    wrong = []
    with tarnkv.TarnReader(packed) as r:
        def work(offset):
            for i in range(offset, 3000, 7):
                key = f"pkg:{i:05}"
                if r[key] != RECORDS[key]:
                    wrong.append(key)
        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert wrong == []


def test_a_damaged_compressed_object_is_corrupt_naming_its_key(build, tmp_path):
    path = build({"a": "x" * 5000, "b": "y" * 5000}, compression="zstd")
    data = bytearray(path.read_bytes())
    with tarnkv.TarnReader(path, check_reads=False) as r:
        stored_b = r.get_raw("b")  # the object as put
    # The record of "b": find its frame by scanning for the tag after "a"'s record, then damage
    # the recorded content size while keeping the record's CRC right.
    import struct
    import zlib
    pos = 40
    pos += 8 + struct.unpack_from(">I", data, pos)[0]  # the dictionary record
    pos += 8 + struct.unpack_from(">I", data, pos)[0]  # "a"
    n = struct.unpack_from(">I", data, pos)[0]
    body = bytearray(data[pos + 8:pos + 8 + n])
    assert body[0] != 0  # compressed
    body[2] ^= 0x01  # the content size field's low byte: now off by one
    data[pos + 8:pos + 8 + n] = body
    struct.pack_into(">I", data, pos + 4, zlib.crc32(body))
    bad = tmp_path / "bad.trnk"
    bad.write_bytes(bytes(data))
    with tarnkv.TarnReader(bad, verify=False) as r:
        assert r["a"] == "x" * 5000
        with pytest.raises(tarnkv.CorruptStoreError, match="'b'"):
            r["b"]
        with pytest.raises(tarnkv.CorruptStoreError, match="'b'"):
            r.get_many(["a", "b"])
        with pytest.raises(tarnkv.CorruptStoreError, match="'b'"):
            list(r.items())
    assert stored_b is not None


def test_writer_arguments_are_checked():
    with pytest.raises(ValueError, match="compression must be None or 'zstd'"):
        tarnkv.TarnWriter(compression="lz4")
    with pytest.raises(ValueError, match="1 to 22"):
        tarnkv.TarnWriter(compression="zstd", compression_level=0)
    assert tarnkv.TarnWriter(compression="zstd").compression == "zstd"
    assert tarnkv.TarnWriter().compression is None


def test_a_writer_trains_at_the_sample_budget_and_builds_again(tmp_path):
    w = tarnkv.TarnWriter(compression="zstd", compression_level=1)
    for i in range(20_100):
        w[f"k{i:06}"] = {"n": i, "text": "similar text in every record", "tag": i % 13}
    first = w.build(tmp_path / "one.trnk")
    w["late"] = {"n": -1}
    second = w.build(tmp_path / "two.trnk")
    assert second.num_keys == first.num_keys + 1
    with tarnkv.TarnReader(tmp_path / "two.trnk") as r:
        assert r["k000000"]["n"] == 0 and r["k020099"]["n"] == 20099 and r["late"] == {"n": -1}


def test_merge_recompresses_and_equal_objects_diff_equal(stores, tmp_path):
    packed, plain = stores
    other = tmp_path / "other.trnk"
    w = tarnkv.TarnWriter(compression="zstd", on_duplicate="last")
    w.put("pkg:00000", {"changed": True})
    w.put("extra", [1, 2])
    w.build(other)
    from tarnkv.sets import merge
    out = tmp_path / "merged.trnk"
    result = merge([packed, other], out)
    assert result.num_keys == 3001
    with tarnkv.TarnReader(out) as r:
        assert r.compression == "zstd"
        assert r["pkg:00000"] == {"changed": True} and r["extra"] == [1, 2]
        assert r["pkg:00001"] == RECORDS["pkg:00001"]
    # Into a set: every shard compressed, the same objects.
    merge([packed], tmp_path / "set", shards=2)
    with tarnkv.open(tmp_path / "set") as s, tarnkv.TarnReader(packed) as r:
        assert [shard.compression for shard in s.readers] == ["zstd", "zstd"]
        assert dict(s.items()) == dict(r.items())
    env = dict(os.environ)
    diff = subprocess.run([sys.executable, "-m", "tarnkv", "diff", str(packed), str(plain)], env=env,
                          capture_output=True)
    assert diff.returncode == 0, diff.stdout + diff.stderr


def test_a_compressed_build_under_a_memory_limit_writes_the_same_file(tmp_path):
    """A compressed writer that spills trains the same dictionary on the same sample of what it
    stores: its file is the in-memory one, on the API and the command line alike."""
    records = [{"id": f"pkg{i:05d}", "section": "libdevel", "depends": ["libc6", f"lib{i % 300}"],
                "text": f"a package of the set number {i % 17}"} for i in range(6000)]
    random.Random(4).shuffle(records)
    files = {}
    for name, limit in (("memory", None), ("spilled", 65536)):
        w = tarnkv.TarnWriter(compression="zstd", memory_limit=limit, spill_dir=tmp_path)
        for rec in records:
            w.put(rec["id"], rec)
        assert w.compression == "zstd"
        w.build(tmp_path / f"{name}.trnk")
        files[name] = (tmp_path / f"{name}.trnk").read_bytes()
    assert files["spilled"] == files["memory"]
    del w
    gc.collect()
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".tarnkv-spill-")]
    with tarnkv.open(tmp_path / "spilled.trnk") as r:
        assert r.compression == "zstd"
        assert r["pkg00042"] == next(rec for rec in records if rec["id"] == "pkg00042")
        assert len(r) == 6000
    src = tmp_path / "in.jsonl"
    src.write_text("".join(json.dumps(rec) + "\n" for rec in records))
    outs = {}
    for limit in ("64M", "64K"):
        out = tmp_path / f"cli-{limit}.trnk"
        cli = subprocess.run([sys.executable, "-m", "tarnkv", "build", str(src), "-o", str(out), "--key", "id",
                              "--compress", "zstd", "--memory-limit", limit, "-q"], capture_output=True, text=True)
        assert cli.returncode == 0, cli.stderr
        outs[limit] = out.read_bytes()
    assert outs["64K"] == outs["64M"]
