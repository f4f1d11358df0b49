"""Compressed sets: built on Dask (locally and into object storage) and by merges, each shard a
compressed store with a dictionary of its own, reading back equal to the single uncompressed
store of the same records; stats; and failures that leave nothing."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path

import pytest
from cli.cli_helpers import run_cli

import tarnkv
from sets.set_helpers import build_store, records
from tarnkv.sets import SetDuplicateKeyError, merge
from tarnkv.sets import manifest as mf

RECORDS = [dict(r, ref=f"ref:{r['n']}") for r in records(4000)]


def single(tmp_path: Path) -> Path:
    """The single uncompressed store of the records (under both their keys)."""
    path = tmp_path / "single.trnk"
    with tarnkv.TarnWriter.create(path) as w:
        for r in RECORDS:
            w.put(r["id"], r, r["ref"])
    return path


def shard_headers(directory: Path) -> list[bytes]:
    return [(directory / s.file).read_bytes()[:8] for s in mf.read(str(directory)).shards]


def assert_compressed_set(out: Path, single_store: Path, shards: int) -> None:
    """Every shard says it is compressed and has a dictionary; the set reads as the single
    store in every read path and verifies."""
    assert [h[5] for h in shard_headers(out)] == [1] * shards
    with tarnkv.open(out) as s, tarnkv.open(single_store) as one:
        assert one.compression is None
        assert s.compression == "zstd"
        assert all(r.compression == "zstd" for r in s.readers)
        assert all(r.compression_stats()["dictionary_size"] > 0 for r in s.readers)
        assert list(s.items()) == list(one.items())
        keys = list(one.keys())[::97]
        assert s.get_many(keys) == one.get_many(keys)
        assert [s.get_raw(k) for k in keys] == [one.get_raw(k) for k in keys]  # the bytes as put
        assert list(s.prefix("ref:1234")) == list(one.prefix("ref:1234"))
        assert s.verify()


def test_build_set_compresses_every_shard_and_reads_like_the_single_store(cluster, tmp_path):
    import dask.bag as db

    from tarnkv.dask import build_set

    bag = db.from_sequence(RECORDS, npartitions=4)
    out = tmp_path / "z.set"
    result = build_set(bag, out, key="id", aliases=["ref"], shards=3, compression="zstd", compression_level=7)
    assert result.num_keys == 8000
    assert_compressed_set(out, single(tmp_path), 3)
    plain = build_set(bag, tmp_path / "plain.set", key="id", aliases=["ref"], shards=3)
    assert result.file_size < 0.8 * plain.file_size
    with tarnkv.open(out) as s:
        stats = s.compression_stats()
    assert stats["compressed_shards"] == 3 and stats["stored_bytes"] < stats["original_bytes"]


def test_build_set_refuses_bad_compression_before_it_starts(tmp_path):
    import dask.bag as db

    from tarnkv.dask import build_set

    bag = db.from_sequence(RECORDS[:10], npartitions=1)
    with pytest.raises(ValueError, match="compression must be None or 'zstd'"):
        build_set(bag, tmp_path / "a.set", key="id", shards=2, compression="lz4")
    with pytest.raises(ValueError, match="1 to 22"):
        build_set(bag, tmp_path / "a.set", key="id", shards=2, compression="zstd", compression_level=0)
    assert not (tmp_path / "a.set").exists()


def test_failed_compressed_build_leaves_nothing(cluster, tmp_path):
    import dask.bag as db

    from tarnkv.dask import build_set

    bag = db.from_sequence(RECORDS + [RECORDS[5]], npartitions=3)
    out = tmp_path / "dup.set"
    with pytest.raises(SetDuplicateKeyError):
        build_set(bag, out, key="id", shards=3, compression="zstd")
    assert not out.exists()


def test_compressed_set_built_into_object_storage(s3_bucket, tmp_path):
    """Dask's local scheduler in this process (which has the server's credentials): the shard
    tasks fetch their runs' sections, compress and upload, as on a cluster."""
    import boto3
    import dask
    import dask.bag as db

    from tarnkv.dask import build_set

    one = single(tmp_path)
    url = f"s3://{s3_bucket}/z.set"
    with dask.config.set(scheduler="threads"):
        build_set(db.from_sequence(RECORDS, npartitions=3), url, key="id", aliases=["ref"], shards=2,
                  compression="zstd")
    s3 = boto3.client("s3")
    local = tmp_path / "copy.set"
    local.mkdir()
    data = s3.get_object(Bucket=s3_bucket, Key=f"z.set/{mf.MANIFEST}")["Body"].read()
    (local / mf.MANIFEST).write_bytes(data)
    for shard in json.loads(data)["shards"]:
        s3.download_file(s3_bucket, f"z.set/{shard['file']}", str(local / shard["file"]))
    assert_compressed_set(local, one, 2)
    with tarnkv.open(url) as remote, tarnkv.open(one) as want:  # read in place, decoded the same
        assert list(remote.items()) == list(want.items())


def test_merge_compressed_stores_into_a_set_and_back(tmp_path):
    half = len(RECORDS) // 2
    first = {r["id"]: r for r in RECORDS[:half + 100]}
    later = {r["id"]: dict(r, n=-r["n"]) for r in RECORDS[half:]}
    a = build_store(tmp_path / "a.trnk", first, compression="zstd")
    b = build_store(tmp_path / "b.trnk", later)  # not compressed: mixed inputs
    want = first | later
    out = tmp_path / "m.set"
    result = merge([a, b], out, shards=4)
    assert (result.shard_count, result.num_keys) == (4, len(want))
    assert [h[5] for h in shard_headers(out)] == [1] * 4
    with tarnkv.open(out) as s:
        assert dict(s.items()) == want
        assert s.verify()
    # The set back into one store: compressed, equal.
    back = merge([out], tmp_path / "back.trnk")
    with tarnkv.open(back.path) as r:
        assert r.compression == "zstd" and dict(r.items()) == want
    # Uncompressed inputs still give an uncompressed set.
    plain = merge([b], tmp_path / "plain.set", shards=2)
    assert [h[5] for h in shard_headers(Path(plain.path))] == [0, 0]


def test_merge_of_a_damaged_compressed_store_leaves_nothing(tmp_path):
    a = build_store(tmp_path / "a.trnk", {r["id"]: r for r in RECORDS}, compression="zstd")
    raw = bytearray(a.read_bytes())
    raw[len(raw) // 3] ^= 0x40  # inside some object's compressed bytes
    a.write_bytes(bytes(raw))
    out = tmp_path / "m.set"
    with pytest.raises(tarnkv.CorruptStoreError):
        merge([a], out, shards=3)
    assert not out.exists()
    assert sorted(os.listdir(tmp_path)) == ["a.trnk"]


def test_stats_on_a_compressed_set_adds_up_its_shards(tmp_path):
    store = build_store(tmp_path / "a.trnk", {r["id"]: r for r in RECORDS}, compression="zstd")
    out = tmp_path / "s.set"
    merge([store], out, shards=3)
    with tarnkv.open(out) as s:
        per_shard = [r.compression_stats() for r in s.readers]
        num_objects = len(s)
    r = run_cli("stats", out, "--json")
    assert r.status == 0, r.err
    info = json.loads(r.text)
    c = info["compression"]
    assert c["compressed_shards"] == 3
    for name in ("dictionary_size", "stored_bytes", "original_bytes"):
        assert c[name] == sum(p[name] for p in per_shard)
    assert c["stored_bytes"] < c["original_bytes"]
    # The dictionaries are no objects: the sizes count the objects alone.
    assert info["object_size"]["count"] == info["num_objects"] == num_objects
    table = run_cli("stats", out).text
    assert re.search(r"^compression +zstd, 3 of 3 shards, dictionaries [\d,]+ bytes, objects", table, re.M)


def test_cli_builds_a_compressed_set(dask_client, tmp_path):
    data = tmp_path / "data.jsonl"
    data.write_text("".join(json.dumps(r) + "\n" for r in RECORDS))
    out = tmp_path / "cli.set"
    r = run_cli("build", data, "-o", out, "--key", "id", "--shards", "2", "--compress", "zstd:9",
                "--scheduler", dask_client.scheduler.address, timeout=300)
    assert r.status == 0, r.err
    assert [h[5] for h in shard_headers(out)] == [1, 1]
    assert run_cli("build", data, "-o", tmp_path / "one.trnk", "--key", "id", "-q").status == 0
    assert run_cli("diff", out, tmp_path / "one.trnk").status == 0
