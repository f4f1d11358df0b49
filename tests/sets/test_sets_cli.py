"""The command line on sets: `build --shards` on a cluster, every reading command, verify,
cp and merge, through the real command in child processes."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pytest
from cli.cli_helpers import read_store, run_cli

import tarnkv
from sets.set_helpers import make_set
from tarnkv.sets import manifest as mf


def write_lines(path: Path, n: int, *, bad: int | None = None, dup: tuple[int, int] | None = None) -> Path:
    """n JSON Lines records, ~120 bytes each; line `bad` is not JSON; line dup[1] repeats dup[0]'s id."""
    with open(path, "w") as f:
        for line in range(1, n + 1):
            i = dup[0] if dup and line == dup[1] else line
            if line == bad:
                f.write("{oops\n")
            else:
                f.write(json.dumps({"id": f"id-{i:07d}", "ean": 4_000_000_000 + line, "line": line,
                                    "pad": "x" * 60}) + "\n")
    return path


@pytest.fixture(scope="module")
def big(tmp_path_factory) -> Path:
    """A file the build splits into several byte ranges (its parts are 8 MiB at least)."""
    return write_lines(tmp_path_factory.mktemp("big") / "data.jsonl", 180_000)


def set_build(cluster, *args):
    return run_cli("build", *args, "--scheduler", cluster.scheduler.address, timeout=300)


def test_build_splits_a_file_and_reads_back_like_a_single_build(dask_client, big, tmp_path):
    out = tmp_path / "data.set"
    r = set_build(dask_client, big, "-o", out, "--key", "id", "--alias", "ean", "--shards", "6")
    assert r.status == 0, r.err
    assert r.text.startswith(f"{out}: 180,000 records, 360,000 keys, ") and "6 shards" in r.text
    assert run_cli("build", big, "-o", tmp_path / "one.trnk", "--key", "id", "--alias", "ean", "-q").status == 0
    assert run_cli("diff", out, tmp_path / "one.trnk").status == 0
    stats = json.loads(run_cli("stats", out, "--json").text)
    assert (stats["shard_count"], stats["num_keys"], stats["num_objects"]) == (6, 360_000, stats["num_objects"])
    assert stats["object_size"]["count"] == stats["num_objects"]
    verified = run_cli("verify", out)
    assert verified.status == 0 and "ok (360,000 keys" in verified.text
    # Every shard is an ordinary store.
    shards = [read_store(out / s.file) for s in mf.read(str(out)).shards]
    assert sum(len(s) for s in shards) == 360_000


def test_bad_line_in_a_later_part_is_named_by_its_line_in_the_file(dask_client, tmp_path):
    data = write_lines(tmp_path / "data.jsonl", 180_000, bad=170_001)
    out = tmp_path / "data.set"
    out.mkdir()
    r = set_build(dask_client, data, "-o", out, "--key", "id", "--shards", "3")
    assert r.status == 2 and r.err.strip().startswith(f"tarnkv: {data}, line 170001: bad JSON"), r.err
    assert len(r.err.strip().splitlines()) == 1
    assert os.listdir(out) == []  # nothing published, nothing left


def test_duplicates_across_parts(dask_client, tmp_path):
    data = write_lines(tmp_path / "data.jsonl", 180_000, dup=(5, 175_000))
    out = tmp_path / "data.set"
    r = set_build(dask_client, data, "-o", out, "--key", "id", "--shards", "3")
    assert r.status == 2
    assert f"{data}, line 175000: duplicate key 'id-0000005' (an earlier record has it: {data}, line 5;" in r.err
    assert not out.exists()  # made by the build, and gone with it
    r = set_build(dask_client, tmp_path / "missing.jsonl", "-o", out, "--key", "id", "--shards", "3")
    assert r.status == 2 and "missing.jsonl" in r.err and not out.exists()
    (tmp_path / "file").write_text("x")
    r = set_build(dask_client, data, "-o", tmp_path / "file", "--key", "id", "--shards", "3")
    assert r.status == 2 and r.err == f"tarnkv: {tmp_path / 'file'}: Not a directory (a set is written to a directory)\n"
    for policy, line in (("first", 5), ("last", 175_000)):
        r = set_build(dask_client, data, "-o", out, "--key", "id", "--shards", "3", "--on-duplicate", policy, "-q")
        assert r.status == 0, r.err
        assert json.loads(run_cli("get", out, "id-0000005").text)["line"] == line


def test_local_workers_read_csv_and_standard_input(tmp_path):
    (tmp_path / "a.csv").write_text("sku,name\nA1,first\nA2,second\n")
    stdin = b'{"sku": "B1", "name": "third"}\n'
    out = tmp_path / "mixed.set"
    r = run_cli("build", tmp_path / "a.csv", "-", "-o", out, "--key", "sku", "--shards", "2", "--workers", "2",
                stdin=stdin, timeout=300)
    assert r.status == 0, r.err
    lines = run_cli("dump", out).json_lines()
    assert [(e["key"], e["value"]["name"]) for e in lines] == [("A1", "first"), ("A2", "second"), ("B1", "third")]
    assert sorted(os.listdir(out))[0] == "manifest.json" and not any(n.startswith(".") for n in os.listdir(out))
    assert run_cli("build", tmp_path / "a.csv", "-o", tmp_path / "x", "--key", "sku", "--workers", "2").status == 2


@pytest.fixture
def pair(tmp_path):
    mapping = {f"k{i:03d}": {"i": i, "b": bytes([i % 256])} for i in range(200)} | {"\u00e9t\u00e9": [1, 2]}
    s = make_set(tmp_path, mapping, shards=4)
    w = tarnkv.TarnWriter()
    for k, v in mapping.items():
        w.put(k, v)
    w.build(tmp_path / "one.trnk")
    return s, tmp_path / "one.trnk"


@pytest.mark.parametrize("command", [
    ["get", "{}", "k001", "\u00e9t\u00e9"], ["get", "{}", "k002", "--raw"], ["keys", "{}", "--prefix", "k1", "--limit", "5"],
    ["prefix", "{}", "k01"], ["dump", "{}"], ["dump", "{}", "--format", "csv"],
])
def test_reading_commands_answer_as_for_the_single_store(pair, command):
    s, one = pair
    from_set = run_cli(*[c.format(s) for c in command])
    from_one = run_cli(*[c.format(one) for c in command])
    assert from_set.status == from_one.status == 0 and from_set.out == from_one.out and from_set.out


def test_missing_keys_and_differences(pair, tmp_path):
    s, one = pair
    r = run_cli("get", s, "k001", "nope")
    assert r.status == 1 and "no such key" in r.err
    assert run_cli("diff", s, one).status == 0
    other = make_set(tmp_path, {"k001": 1}, shards=2, name="other")
    r = run_cli("diff", s, other)
    assert r.status == 1 and '~ "k001"' in r.text


@pytest.mark.parametrize("damage", ["flip", "delete"])
def test_verify_names_the_bad_shard(pair, damage):
    s, _ = pair
    entry = mf.read(str(s)).shards[1]
    victim = s / entry.file
    if damage == "delete":
        victim.unlink()
    else:
        data = bytearray(victim.read_bytes())
        data[45] ^= 0x01
        victim.write_bytes(bytes(data))
    r = run_cli("verify", s)
    assert r.status == 1 and entry.file in r.err and len(r.err.strip().splitlines()) == 1


def test_cp_copies_a_whole_set_and_replaces_an_old_one(pair, tmp_path):
    s, _ = pair
    dst = tmp_path / "installed"
    assert run_cli("cp", s, dst).status == 0
    assert run_cli("diff", s, dst).status == 0
    newer = make_set(tmp_path, {"fresh": 1}, shards=3, name="newer")
    with tarnkv.open(dst) as old_reader:  # a reader of the old set...
        assert run_cli("cp", newer, dst, "--verify").status == 0
        assert old_reader["k003"]["i"] == 3  # ...keeps reading it
    with tarnkv.open(dst) as new_reader:
        assert dict(new_reader) == {"fresh": 1}
    assert sorted(os.listdir(dst)) == sorted([mf.MANIFEST, *(e.file for e in mf.read(str(newer)).shards)])
    # A damaged source is found before anything is installed.
    entry = mf.read(str(s)).shards[2]
    data = bytearray((s / entry.file).read_bytes())
    data[-3] ^= 0x01  # in the index: the file CRC no longer matches
    (s / entry.file).write_bytes(bytes(data))
    r = run_cli("cp", s, dst, "--verify")
    assert r.status == 1 and "left as it was" in r.err
    with tarnkv.open(dst) as again:
        assert dict(again) == {"fresh": 1}
    # cp into an existing directory that is not a set puts the set inside it.
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "other.txt").write_text("x")
    assert run_cli("cp", newer, tmp_path / "dir").status == 0
    assert mf.is_set(str(tmp_path / "dir" / "newer"))


def test_merge_two_sets_and_a_store(pair, tmp_path):
    s, _ = pair
    second = make_set(tmp_path, {"k001": "second", "new": 2}, shards=3, name="second")
    w = tarnkv.TarnWriter()
    w.put("k002", "third", "alias")
    w.build(tmp_path / "third.trnk")
    r = run_cli("merge", s, second, tmp_path / "third.trnk", "-o", tmp_path / "all.trnk")
    assert r.status == 0 and r.text.startswith(f"{tmp_path / 'all.trnk'}: 203 keys"), r.text
    merged = read_store(tmp_path / "all.trnk")
    assert merged[b"k001"] == "second" and merged[b"k002"] == merged[b"alias"] == "third" and merged[b"new"] == 2
    assert merged[b"k003"] == {"i": 3, "b": b"\x03"}
    r = run_cli("merge", tmp_path / "all.trnk", "-o", tmp_path / "all.set", "--shards", "5", "-q")
    assert r.status == 0 and r.out == b""
    assert run_cli("diff", tmp_path / "all.set", tmp_path / "all.trnk").status == 0
    shutil.rmtree(tmp_path / "all.set")
    assert run_cli("merge", tmp_path / "missing.trnk", "-o", tmp_path / "x.trnk").status == 2


def test_whole_file_parts_name_their_rows_and_lines(dask_client, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"sku": ["P1", "P2", "P1"], "n": [1, 2, 3]}), tmp_path / "a.parquet")
    out = tmp_path / "p.set"
    r = set_build(dask_client, tmp_path / "a.parquet", "-o", out, "--key", "sku", "--shards", "2")
    assert r.status == 2 and f"{tmp_path / 'a.parquet'}, row 3: duplicate key 'P1'" in r.err, r.err
    assert f"an earlier record has it: {tmp_path / 'a.parquet'}, row 1" in r.err
    (tmp_path / "b.tsv.gz").write_bytes(__import__("gzip").compress(b"sku\tn\nT1\t1\nT2\t2\n\tx\n"))
    r = set_build(dask_client, tmp_path / "b.tsv.gz", "-o", out, "--key", "sku", "--shards", "2")
    assert r.status == 2 and f"{tmp_path / 'b.tsv.gz'}, line 4: key field 'sku' is empty" in r.err, r.err
    r = set_build(dask_client, tmp_path / "a.parquet", tmp_path / "b.tsv.gz", "-o", out, "--key", "sku", "--shards", "2",
                  "--on-duplicate", "last", "--format", "parquet")
    assert r.status == 2  # the TSV is not Parquet: named, nothing built
    r = set_build(dask_client, tmp_path / "a.parquet", "-o", out, "--key", "sku", "--shards", "2", "--on-duplicate",
                  "last", "--value", "n")
    assert r.status == 0, r.err
    assert json.loads(run_cli("get", out, "P1").text) == 3


def test_numbers_keep_their_digits_as_in_a_single_build(dask_client, tmp_path):
    big = 12345678901234567890123
    src = tmp_path / "n.jsonl"
    src.write_text(json.dumps({"id": big, "v": 1}) + "\n" + json.dumps({"id": big + 1, "v": 2}) + "\n")
    out = tmp_path / "n.set"
    r = set_build(dask_client, src, "-o", out, "--key", "id", "--value", "v", "--shards", "2", "-q")
    assert r.status == 0, r.err
    assert run_cli("get", out, str(big), str(big + 1)).text == "1\n2\n"
    src.write_text(json.dumps({"id": "a", "n": 1}) + "\n" + json.dumps({"id": "b", "n": big}) + "\n")
    r = set_build(dask_client, src, "-o", out, "--key", "id", "--shards", "2")
    assert r.status == 2 and f"{src}, line 2: " in r.err and f"field 'n' holds the integer {big}" in r.err, r.err
    r = set_build(dask_client, src, "-o", out, "--key", "id", "--shards", "2", "--big-ints", "text", "-q")
    assert r.status == 0, r.err
    assert json.loads(run_cli("get", out, "b").text) == {"id": "b", "n": str(big)}
