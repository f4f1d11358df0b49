"""`tarnkv get`, `keys`, `prefix`, `dump`, `stats` and `diff` on stores the command built."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest
from cli.cli_helpers import child_env, write_jsonl

RECORDS = [{"id": f"user:{i:03d}", "n": i, "blob": {"$bytes": "AAE="}} for i in range(300)]


@pytest.fixture
def store(cli, tmp_path):
    src = write_jsonl(tmp_path / "u.jsonl", RECORDS)
    path = tmp_path / "u.trnk"
    res = cli("build", src, "-o", path, "--key", "id", "-q")
    assert res.status == 0, res.err
    return path


def test_get_hits_misses_and_raw(cli, store):
    res = cli("get", store, "user:001", "user:299")
    assert res.status == 0
    assert res.json_lines() == [
        {"id": "user:001", "n": 1, "blob": {"$bytes": "AAE="}},
        {"id": "user:299", "n": 299, "blob": {"$bytes": "AAE="}},
    ]
    res = cli("get", store, "user:001", "nope", "user:002", "also nope")
    assert res.status == 1
    assert [r["n"] for r in res.json_lines()] == [1, 2]  # the hits are still printed
    assert res.err.count("\n") == 1 and '"nope", "also nope"' in res.err
    raw = cli("get", store, "user:007", "--raw")
    import msgpack

    assert msgpack.unpackb(raw.out) == {"id": "user:007", "n": 7, "blob": b"\x00\x01"}


def test_keys_prefix_limit(cli, store):
    assert len(cli("keys", store).lines()) == 300
    res = cli("keys", store, "--prefix", "user:01", "--limit", "3")
    assert res.lines() == ["user:010", "user:011", "user:012"]
    assert cli("keys", store, "--prefix", "user:01", "-0").out.split(b"\0")[:-1] == [
        f"user:{i:03d}".encode() for i in range(10, 20)]
    res = cli("prefix", store, "user:29", "--limit", "2")
    assert [(r["key"], r["value"]["n"]) for r in res.json_lines()] == [("user:290", 290),
                                                                         ("user:291", 291)]
    assert cli("prefix", store, "zzz").out == b""


def test_dump_to_file_and_compressed(cli, store, tmp_path):
    plain = cli("dump", store)
    assert [r["key"] for r in plain.json_lines()] == [r["id"] for r in RECORDS]
    out = tmp_path / "d.jsonl.zst"
    assert cli("dump", store, "-o", out).status == 0
    from compression import zstd

    assert zstd.decompress(out.read_bytes()) == plain.out
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_stats_table_and_json(cli, store):
    table = cli("stats", store)
    assert table.status == 0 and "keys per object" in table.text and "p99" in table.text
    info = json.loads(cli("stats", store, "--json").out)
    assert info["num_keys"] == 300 and info["num_objects"] == 300
    assert {"index_offset", "data_offset", "file_crc32", "key_length", "object_size"} <= set(info)
    assert info["key_length"]["max"] == len("user:000")


def test_diff(cli, tmp_path, store):
    changed = [dict(r) for r in RECORDS[1:]] + [{"id": "zzz", "n": -1}]
    changed[0]["n"] = 1000
    other = tmp_path / "o.trnk"
    assert cli("build", write_jsonl(tmp_path / "o.jsonl", changed), "-o", other, "--key", "id",
               "-q").status == 0
    assert cli("diff", store, store).status == 0
    res = cli("diff", store, other)
    assert res.status == 1
    assert res.lines() == ['- "user:000"', '~ "user:001"', '+ "zzz"']
    assert "differ" in res.err and res.err.count("\n") == 1
    assert cli("diff", store, other, "-q").out == b""


@pytest.mark.parametrize("command", ["dump", "keys"])
def test_closed_pipe_ends_quietly(store, command):
    # Enough output to overrun the pipe after head has gone.
    big = store.parent / "big.trnk"
    src = write_jsonl(store.parent / "big.jsonl", [{"id": f"k{i:06d}", "pad": "x" * 200}
                                                   for i in range(20000)])
    subprocess.run([sys.executable, "-m", "tarnkv", "build", src, "-o", big, "--key", "id", "-q"],
                   env=child_env(), check=True)
    proc = subprocess.run(f'"{sys.executable}" -m tarnkv {command} "{big}" | head -n 2',
                          shell=True, capture_output=True, env=child_env(), timeout=60,
                          executable="/bin/bash")
    assert proc.stdout.count(b"\n") == 2
    assert proc.stderr == b""
    pipe = subprocess.run(f'set -o pipefail; "{sys.executable}" -m tarnkv {command} "{big}" | head -c 1',
                          shell=True, capture_output=True, env=child_env(), executable="/bin/bash")
    assert pipe.returncode == 0 and pipe.stderr == b""


def test_missing_and_non_store_files(cli, tmp_path):
    (tmp_path / "text.trnk").write_text("hello, this is not a store at all, but long enough")
    for args in [("get", tmp_path / "nope.trnk", "k"), ("keys", tmp_path / "text.trnk"),
                 ("stats", tmp_path), ("dump", tmp_path / "nope.trnk")]:
        res = cli(*args)
        assert res.status in (1, 2), args
        assert res.err.count("\n") == 1 and "Traceback" not in res.err, res.err
        assert str(args[1]) in res.err
