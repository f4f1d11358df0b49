"""Building sets on a real Dask cluster (two worker processes): from a bag and a DataFrame,
duplicates across partitions, aliases in other shards, a worker killed mid-build, and a set
that only ever appears whole."""

from __future__ import annotations

import datetime
import os
import threading
import time
import warnings

import dask
import dask.bag as db
import pytest

import tarnkv
from sets.set_helpers import KillOnce, Slow, build_store, keys_in_shards, records
from tarnkv.dask import build_set
from tarnkv.sets import RecordError, SetDuplicateKeyError


def leftovers(directory) -> list[str]:
    """What a build must not leave behind: work directories and temporary files."""
    return sorted(n for n in os.listdir(directory) if n.startswith("."))


def test_bag_builds_a_set_equal_to_a_single_store(cluster, tmp_path):
    recs = records(3000)
    single = build_store(tmp_path / "single.trnk", {r["id"]: r for r in recs} | {r["email"]: r for r in recs})
    result = build_set(db.from_sequence(recs, npartitions=5), tmp_path / "set", key="id", aliases=["email"], shards=7)
    assert (result.records, result.num_keys, result.shard_count) == (3000, 6000, 7)
    assert leftovers(tmp_path / "set") == []
    with tarnkv.open(tmp_path / "set") as s, tarnkv.open(single) as r:
        assert isinstance(s, tarnkv.SetReader) and s.verify()
        assert len(s) == len(r) == 6000
        for rec in recs[::37]:
            assert s[rec["id"]] == s[rec["email"]] == rec
        assert list(s.items()) == list(r.items())  # every record, in the same global order
        assert list(s.keys(raw=True)) == list(r.keys(raw=True))
        for prefix, limit in [("user:0001", None), ("u1", 5), ("", 3), ("zz", None), ("user:002999", None)]:
            assert list(s.prefix(prefix, limit=limit)) == list(r.prefix(prefix, limit=limit))
            assert s.count_prefix(prefix) == r.count_prefix(prefix)
        probes = [rec["id"] for rec in recs[::11]] + ["missing", b"user:000001", 42]
        assert s.get_many(probes, default="-") == r.get_many(probes, default="-")
        stats = s.stats()
        assert stats["num_keys"] == 6000 and sum(sh["num_keys"] for sh in stats["shards"]) == 6000


def test_dataframe_rows_become_records(cluster, tmp_path):
    pd = pytest.importorskip("pandas")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # dask without dask-expr says it will need it
        import dask.dataframe
    frame = pd.DataFrame({"sku": [10, 11, 12, 13], "name": ["a", "b", None, "d"], "price": [1.5, float("nan"), 3.0, 4.0],
                          "when": pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"])})
    ddf = dask.dataframe.from_pandas(frame, npartitions=2)
    build_set(ddf, tmp_path / "set", key="sku", shards=3)
    with tarnkv.open(tmp_path / "set") as s:
        assert sorted(s) == ["10", "11", "12", "13"]  # whole numbers as their decimal text
        row = s["12"]
        assert row["name"] is None and row["price"] == 3.0 and row["when"].startswith("2024-01-04")
    with pytest.raises(KeyError, match="no key column 'nope'"):
        build_set(ddf, tmp_path / "other", key="nope", shards=2)


@pytest.mark.parametrize("policy, expected", [("first", 1), ("last", 3)])
def test_duplicates_across_partitions_keep_first_or_last_in_partition_order(cluster, tmp_path, policy, expected):
    parts = [[{"id": "a", "v": 1}, {"id": "b", "v": 1}], [{"id": "c", "v": 2}, {"id": "a", "v": 2}],
             [{"id": "a", "v": 3}, {"id": "d", "v": 3}]]
    bag = db.from_delayed([dask.delayed(p) for p in parts])
    result = build_set(bag, tmp_path / "set", key="id", shards=2, on_duplicate=policy)
    with tarnkv.open(tmp_path / "set") as s:
        assert s["a"]["v"] == expected and sorted(s) == ["a", "b", "c", "d"]
        assert result.num_objects == 4  # the losing records' objects are left out


@pytest.mark.parametrize("parts, first, second", [
    ([[{"id": "a"}], [{"id": "x"}, {"id": "a"}]], (0, 0), (1, 1)),  # across partitions
    ([[{"id": "y"}, {"id": "a"}, {"id": "a"}]], (0, 1), (0, 2)),    # within one
])
def test_duplicates_are_errors_by_default_naming_both_records(cluster, tmp_path, parts, first, second):
    bag = db.from_delayed([dask.delayed(p) for p in parts])
    with pytest.raises(SetDuplicateKeyError) as info:
        build_set(bag, tmp_path / "set", key="id", shards=3)
    assert (info.value.key, info.value.first, info.value.second) == ("a", first, second)
    assert isinstance(info.value, tarnkv.DuplicateKeyError)
    assert not (tmp_path / "set").exists()  # nothing published, nothing left


def test_an_alias_in_another_shard_gets_its_own_copy(cluster, tmp_path):
    (k0, k1), = zip(*[s[:1] for s in keys_in_shards(2, 1)])  # one key for each of 2 shards
    recs = [{"id": k0, "alias": [k1, None], "payload": "x" * 100}]
    result = build_set(db.from_sequence(recs), tmp_path / "set", key="id", aliases=["alias"], shards=2)
    assert (result.num_keys, result.num_objects) == (2, 2)  # one copy per shard
    with tarnkv.open(tmp_path / "set") as s:
        assert s.shard_of(k0) == 0 and s.shard_of(k1) == 1
        assert s[k0] == s[k1] == recs[0] and s.verify()
        assert [sh["num_objects"] for sh in s.stats()["shards"]] == [1, 1]


def test_bad_records_name_partition_and_record(cluster, tmp_path):
    bag = db.from_delayed([dask.delayed([{"id": "a"}]), dask.delayed([{"id": "b"}, {"name": "no id"}])])
    with pytest.raises(RecordError, match=r"partition 1, record 1: no key field 'id'") as info:
        build_set(bag, tmp_path / "set", key="id", shards=2)
    assert (info.value.partition, info.value.record) == (1, 1)
    with pytest.raises(RecordError, match="key is null"):
        build_set(db.from_sequence([{"id": None}]), tmp_path / "set", key="id", shards=2)
    with pytest.raises(TypeError, match="Bag"):
        build_set([{"id": "a"}], tmp_path / "set", key="id", shards=2)


def test_values_are_stored_as_the_command_line_stores_them(cluster, tmp_path):
    big = 12345678901234567890123
    bag = db.from_sequence([{"id": big, "d": datetime.timedelta(seconds=1, microseconds=5)}, {"id": big + 1, "d": None}])
    build_set(bag, tmp_path / "set", key="id", value="d", shards=2)
    with tarnkv.open(tmp_path / "set") as s:
        assert (s[str(big)], s[str(big + 1)]) == (1_000_005_000, None)  # every digit; nanoseconds
    with pytest.raises(RecordError, match=rf"record 1: field 'n' holds the integer {big}, beyond the 64 bits"):
        build_set(db.from_sequence([{"id": "a", "n": 1}, {"id": "b", "n": big}], npartitions=1), tmp_path / "set",
                  key="id", shards=2)


def test_a_worker_killed_mid_build_is_retried_and_the_set_is_right(cluster, tmp_path):
    recs = records(4000)
    codec = KillOnce(str(tmp_path / "killed"), victim=recs[2500]["id"])
    result = build_set(db.from_sequence(recs, npartitions=4), tmp_path / "set", key="id", shards=4, codec=codec)
    assert os.path.exists(tmp_path / "killed")  # a worker did die in the middle of a partition
    assert result.records == 4000 and leftovers(tmp_path / "set") == []
    with tarnkv.open(tmp_path / "set", codec=codec) as s:
        assert s.verify() and len(s) == 4000
        assert list(s.values()) == recs


def _build_watched(cluster, out, recs, watch):
    """Runs a slowed-down build in a thread and calls watch() until it is over."""
    failure: list[BaseException] = []

    def run() -> None:
        try:
            with cluster.as_current():  # the client is current per thread
                build_set(db.from_sequence(recs, npartitions=6), out, key="id", shards=3, codec=Slow(0.002))
        except BaseException as exc:  # reported by the caller
            failure.append(exc)

    thread = threading.Thread(target=run)
    thread.start()
    while thread.is_alive():
        watch()
        time.sleep(0.01)
    thread.join()
    assert not failure


def test_the_manifest_comes_last_and_a_set_appears_whole_or_not_at_all(cluster, tmp_path):
    out = tmp_path / "set"
    out.mkdir()
    seen: list[tuple[bool, int]] = []  # (a set could be opened, shard files present)

    def before() -> None:
        shards = sum(n.startswith("shard-") for n in os.listdir(out))
        try:
            tarnkv.open(out, verify=False).close()
            seen.append((True, shards))
        except IsADirectoryError:
            seen.append((False, shards))

    _build_watched(cluster, out, records(600, start=900_000), before)
    # No set while the build ran, though its shards were already in place: the manifest is last
    # (and once the directory is a set, it stays one).
    opened = [o for o, _ in seen]
    first = opened.index(True) if True in opened else len(opened)
    assert all(opened[first:]) and any(shards for _, shards in seen[:first])

    replaced: list[int] = []

    def during() -> None:  # the old set or the new one, always whole
        with tarnkv.open(out, verify=False) as s:
            replaced.append(len(s))

    recs = records(400)
    _build_watched(cluster, out, recs, during)
    assert set(replaced) <= {600, 400} and replaced[0] == 600
    with tarnkv.open(out) as s:
        assert len(s) == 400 and s.verify() and list(s.values()) == recs
    assert leftovers(out) == [] and len(os.listdir(out)) == 1 + 3  # the old set's shards are gone


def test_a_directory_without_a_manifest_is_not_a_set(tmp_path):
    (tmp_path / "half").mkdir()
    (tmp_path / "half" / "shard-00000-0123456789ab.trnk").write_bytes(b"")
    with pytest.raises(IsADirectoryError, match="not a store set"):
        tarnkv.open(tmp_path / "half")


def test_local_scheduler_builds_too(tmp_path):
    with dask.config.set(scheduler="sync"):
        result = build_set(db.from_sequence(records(50), npartitions=3), tmp_path / "set", key="id", shards=2,
                           codec=None, value=lambda r: r["email"].encode())
    assert result.num_keys == 50
    with tarnkv.open(tmp_path / "set", codec=None) as s:
        assert s["user:000007"] == b"u7@example.org"
        assert s.manifest.codec is None
