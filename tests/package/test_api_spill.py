"""Writers under a memory limit: the file equals the unlimited writer's, byte for byte, whatever
the policy and however the spills cut through the calls; failures leave nothing behind."""

import gc
import os
import random

import pytest

import tarnkv
from tarnkv import DuplicateKeyError, TarnWriter
from tarnkv.writer import parse_size


def workload(w, seed=3, n=3000):
    """Shuffled keys, keys given again, aliases to objects long past, objects never named.

    Under "first" a put whose keys are all taken stores nothing in memory but its object once
    spilled: the IDs such puts return differ, so only those of add() are aliased."""
    rng = random.Random(seed)
    ids = []
    for i in range(n):
        r = rng.random()
        if r < 0.05:
            ids.append(w.add({"unnamed": i}))
        elif r < 0.15 and ids:
            w.alias(f"alias:{rng.randrange(n)}", rng.choice(ids))
        else:
            keys = [f"user:{rng.randrange(n * 2 // 3):08d}"]
            if rng.random() < 0.2:
                keys.append(f"mail:{rng.randrange(n)}")
            obj_id = w.put(*keys[:1], {"n": i, "pad": "x" * rng.randrange(60)}, *keys[1:])
            if w.on_duplicate != "first":
                ids.append(obj_id)
    return w


def spill_entries(where):
    return [name for name in os.listdir(where) if name.startswith(".tarnkv-spill-")]


@pytest.mark.parametrize("policy", ["first", "last"])
@pytest.mark.parametrize("unnamed_warns", [True])
def test_spilled_file_equals_the_in_memory_one(tmp_path, policy, unnamed_warns):
    spill = tmp_path / "spill"
    spill.mkdir()
    plain = workload(TarnWriter(on_duplicate=policy))
    limited = workload(TarnWriter(on_duplicate=policy, memory_limit=16384, spill_dir=spill))
    assert spill_entries(spill)  # it did spill
    with pytest.warns(tarnkv.UnreferencedObjectWarning):
        want = plain.build(tmp_path / "want.trnk")
    with pytest.warns(tarnkv.UnreferencedObjectWarning):
        got = limited.build(tmp_path / "got.trnk")
    assert (tmp_path / "got.trnk").read_bytes() == (tmp_path / "want.trnk").read_bytes()
    assert (got.num_objects, got.num_keys, got.file_size) == (want.num_objects, want.num_keys, want.file_size)
    assert limited.repeated_keys == plain.repeated_keys
    if policy == "last":
        assert got.dropped_objects == want.dropped_objects
    # Still a writer: more calls, another build, the same file as the unlimited one's.
    for w in (plain, limited):
        w.put("zz:late", {"late": True})
        w.alias("aa:early", 1)
    with pytest.warns(tarnkv.UnreferencedObjectWarning):
        plain.build(tmp_path / "want.trnk")
    with pytest.warns(tarnkv.UnreferencedObjectWarning):
        limited.build(tmp_path / "got.trnk")
    assert (tmp_path / "got.trnk").read_bytes() == (tmp_path / "want.trnk").read_bytes()
    with tarnkv.open(tmp_path / "got.trnk") as r:
        assert r["zz:late"] == {"late": True}
    del limited, w
    gc.collect()
    assert spill_entries(spill) == []


def test_a_writer_under_its_limit_stays_in_memory(tmp_path):
    w = TarnWriter(memory_limit="64M", spill_dir=tmp_path)
    w["a"] = 1
    with pytest.raises(DuplicateKeyError):
        w["a"] = 2
    assert "a" in w and w.object_id("a") == 0 and spill_entries(tmp_path) == []


def test_duplicate_across_spills_fails_the_build_and_keeps_the_writer(tmp_path):
    w = TarnWriter(memory_limit=4096, spill_dir=tmp_path)
    for i in range(500):
        w.put(f"k{i}", i)
    w.put("k7", "again")
    with pytest.raises(DuplicateKeyError) as e:
        w.build(tmp_path / "out.trnk")
    assert (e.value.key, e.value.existing_id, e.value.new_id) == ("k7", 7, 500)
    assert not (tmp_path / "out.trnk").exists() and not (tmp_path / "out.trnk.tmp").exists()
    with pytest.raises(RuntimeError, match="spilled"):
        "k1" in w  # noqa: B015
    with pytest.raises(DuplicateKeyError):  # the writer still holds it all
        w.build(tmp_path / "out.trnk")
    with pytest.raises(DuplicateKeyError):  # a key twice in one call is found at once
        w.put("new", 1, "new")


def test_first_keeps_earlier_objects_across_spills(tmp_path):
    w = TarnWriter(on_duplicate="first", memory_limit=4096, spill_dir=tmp_path)
    for i in range(300):
        w.put(f"k{i:03}", {"first": i})
    for i in range(0, 300, 7):
        w.put(f"k{i:03}", {"second": i}, f"extra{i}")
    w.build(tmp_path / "out.trnk")
    with tarnkv.open(tmp_path / "out.trnk") as r:
        assert r["k014"] == {"first": 14}
        assert r["extra14"] == {"second": 14}
    assert w.repeated_keys == 43


def test_progress_that_raises_publishes_nothing_and_keeps_the_runs(tmp_path):
    w = workload(TarnWriter(on_duplicate="last", memory_limit=16384, spill_dir=tmp_path), n=20000)

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt), pytest.warns(tarnkv.UnreferencedObjectWarning):
        w.build(tmp_path / "out.trnk", progress=stop)
    assert not (tmp_path / "out.trnk").exists() and not (tmp_path / "out.trnk.tmp").exists()
    with pytest.warns(tarnkv.UnreferencedObjectWarning):
        w.build(tmp_path / "out.trnk")
    assert (tmp_path / "out.trnk").exists()


def test_sizes():
    assert parse_size("512M") == 512 << 20
    assert parse_size("2g") == 2 << 30
    assert parse_size("1.5GiB") == 3 << 29
    assert parse_size(4096) == 4096
    for bad in ("", "12X", "-1M", "0"):
        with pytest.raises(ValueError):
            parse_size(bad)
    with pytest.raises(TypeError):
        parse_size(True)  # type: ignore[arg-type]


def test_key_order_across_spills_under_error(tmp_path):
    """Aliases that sort first to objects spilled long ago pull them to the front in both builds."""
    rng = random.Random(5)
    order = list(range(4000))
    rng.shuffle(order)
    out = {}
    for name, limit in (("want", None), ("got", 16384)):
        w = TarnWriter(memory_limit=limit, spill_dir=tmp_path)
        ids = [w.put(f"user:{i:05d}", {"i": i, "pad": "p" * (i % 50)}) for i in order]
        for j in range(0, 4000, 97):
            w.alias(f"a:{j:05d}", ids[j])  # objects put at the start, long spilled
        w.build(tmp_path / f"{name}.trnk")
        out[name] = (tmp_path / f"{name}.trnk").read_bytes()
    assert out["got"] == out["want"]
    with tarnkv.open(tmp_path / "got.trnk") as r:
        assert r["a:00097"] == r[f"user:{order[97]:05d}"]
        first = next(iter(r.items_raw()))
    # The first record of the data section is the object of the smallest key.
    assert out["got"][48:48 + len(first[1])] == first[1]


def test_a_failed_compressed_spilling_build_leaves_nothing_behind(tmp_path):
    spill = tmp_path / "spill"
    spill.mkdir()
    w = TarnWriter(compression="zstd", memory_limit=16384, spill_dir=spill)
    for i in range(3000):
        w.put(f"k{i:05d}", {"name": f"record {i}", "group": i % 7})
    assert spill_entries(spill)

    def stop(done, total):
        assert 0 < done <= total
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        w.build(tmp_path / "out.trnk", progress=stop)
    with pytest.raises(OSError):
        w.build(tmp_path / "missing" / "out.trnk")
    assert sorted(os.listdir(tmp_path)) == ["spill"]
    w.build(tmp_path / "out.trnk")  # the runs are still there
    with tarnkv.open(tmp_path / "out.trnk") as r:
        assert r.compression == "zstd" and r["k00042"] == {"name": "record 42", "group": 0}
    del w
    gc.collect()
    assert spill_entries(spill) == []
