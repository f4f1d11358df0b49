"""A command never writes its output over its own input: build, dump -o and set builds refuse
(status 2, the input untouched); a merge into one of its inputs is a merge and works."""

from __future__ import annotations

import os

from cli.cli_helpers import read_store, run_cli, write_jsonl

from sets.set_helpers import make_set
from tarnkv.sets import manifest as mf


def test_build_and_dump_refuse_to_overwrite_their_input(tmp_path):
    src = write_jsonl(tmp_path / "in.jsonl", [{"id": "a", "n": 1}, {"id": "b", "n": 2}])
    data = src.read_bytes()
    res = run_cli("build", src, "-o", src, "--key", "id", "-q")
    assert (res.status, res.err) == (2, f"tarnkv: {src} and {src} are the same file: the output would replace "
                                        "the input\n")
    link = tmp_path / "link.jsonl"
    os.link(src, link)  # the same file under another name
    assert run_cli("build", src, "-o", link, "--key", "id", "-q").status == 2
    assert src.read_bytes() == data

    db = tmp_path / "db.trnk"
    assert run_cli("build", src, "-o", db, "--key", "id", "-q").status == 0
    store = db.read_bytes()
    res = run_cli("dump", db, "-o", db)
    assert res.status == 2 and "are the same file" in res.err
    assert db.read_bytes() == store
    assert sorted(p.name for p in tmp_path.iterdir()) == ["db.trnk", "in.jsonl", "link.jsonl"]


def test_writing_into_an_input_set_is_refused_and_merging_into_an_input_is_not(tmp_path):
    s = make_set(tmp_path, {"k1": 1, "k2": 2}, shards=2)
    before = sorted(os.listdir(s))
    shard = s / mf.read(str(s)).shards[0].file
    res = run_cli("dump", s, "-o", shard)
    assert res.status == 2 and res.err == f"tarnkv: {shard} is inside the input {s}: writing it would change " \
                                          "the input\n"
    assert run_cli("merge", s, "-o", shard).status == 2
    assert run_cli("dump", s, "-o", s / "dump.jsonl").status == 2
    assert sorted(os.listdir(s)) == before and run_cli("verify", s).status == 0

    # A merge reads every input before it writes: into one of them is fine.
    a = tmp_path / "a.trnk"
    assert run_cli("merge", s, "-o", a, "-q").status == 0
    other = write_jsonl(tmp_path / "other.jsonl", [{"id": "k3"}])
    assert run_cli("build", other, "-o", tmp_path / "b.trnk", "--key", "id", "-q").status == 0
    assert run_cli("merge", a, tmp_path / "b.trnk", "-o", a, "-q").status == 0
    assert set(read_store(a)) == {b"k1", b"k2", b"k3"}
    assert run_cli("merge", s, tmp_path / "b.trnk", "-o", s, "--shards", "3", "-q").status == 0
    assert run_cli("verify", s).status == 0 and run_cli("get", s, "k3").status == 0


def test_a_set_build_refuses_an_input_inside_its_output(tmp_path):
    out = tmp_path / "out.set"
    out.mkdir()
    inside = write_jsonl(out / ".records.jsonl", [{"id": "a"}])
    for given in (inside, out):
        res = run_cli("build", given, "-o", out, "--key", "id", "--shards", "2", "--workers", "1")
        assert (res.status, res.err) == (2, f"tarnkv: {given} is inside the output {out}: the build would write "
                                            "over its own input\n")
    assert os.listdir(out) == [".records.jsonl"]
