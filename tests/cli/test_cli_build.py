"""`tarnkv build`: input formats, keys and aliases, bad input, duplicates, round trips."""

from __future__ import annotations

import csv
import gzip
import io
import json
from pathlib import Path

import pytest
from cli.cli_helpers import read_store, write_jsonl


def expected(records, key="sku", aliases=("ean",)):
    out = {}
    for r in records:
        for k in (r[key], *(r[a] for a in aliases)):
            out[str(k).encode()] = r
    return out


def as_csv(records, delimiter=",") -> str:
    buf = io.StringIO()
    w = csv.writer(buf, delimiter=delimiter, lineterminator="\r\n")
    w.writerow(["sku", "ean", "name"])
    for r in records:
        w.writerow([r["sku"], r["ean"], r["name"]])
    return buf.getvalue()


def text_records(records):
    return [{"sku": r["sku"], "ean": str(r["ean"]), "name": r["name"]} for r in records]


def test_jsonl_with_alias_and_summary(cli, tmp_path, products):
    src = write_jsonl(tmp_path / "p.jsonl", products)
    out = tmp_path / "p.trnk"
    res = cli("build", src, "-o", out, "--key", "sku", "--alias", "ean")
    assert res.status == 0, res.err
    assert res.err == ""  # no progress when standard error is not a terminal
    summary = res.text
    assert summary.count("\n") == 1
    assert "40 records" in summary and "80 keys" in summary and "40 objects" in summary
    assert read_store(out) == expected(products)


@pytest.mark.parametrize("fmt", ["csv-bom", "tsv", "parquet", "jsonl.gz", "csv.zst", "stdin",
                                 "stdin.gz"])
def test_input_formats(cli, tmp_path, products, fmt):
    records = text_records(products)
    stdin = None
    if fmt == "csv-bom":
        src = tmp_path / "p.csv"
        src.write_bytes(b"\xef\xbb\xbf" + as_csv(records).encode())
    elif fmt == "tsv":
        src = tmp_path / "p.tsv"
        src.write_text(as_csv(records, "\t"))
    elif fmt == "parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq

        src = tmp_path / "p.parquet"
        pq.write_table(pa.Table.from_pylist(records), src, row_group_size=7)
    elif fmt == "jsonl.gz":
        src = tmp_path / "p.jsonl.gz"
        src.write_bytes(gzip.compress(write_jsonl(tmp_path / "x", records).read_bytes()))
    elif fmt == "csv.zst":
        from compression import zstd

        src = tmp_path / "p.csv.zst"
        src.write_bytes(zstd.compress(as_csv(records).encode()))
    else:
        src = "-"
        stdin = write_jsonl(tmp_path / "x", records).read_bytes()
        if fmt == "stdin.gz":
            stdin = gzip.compress(stdin)
    out = tmp_path / "p.trnk"
    res = cli("build", src, "-o", out, "--key", "sku", "--alias", "ean", "--quiet", stdin=stdin)
    assert res.status == 0, res.err
    assert res.out == b"" and res.err == ""
    assert read_store(out) == expected(records)


def test_value_field_and_several_inputs(cli, tmp_path, products):
    a = write_jsonl(tmp_path / "a.jsonl", products[:20])
    b = write_jsonl(tmp_path / "b.jsonl", products[20:])
    out = tmp_path / "p.trnk"
    assert cli("build", a, b, "-o", out, "--key", "sku", "--value", "name", "-q").status == 0
    assert read_store(out) == {p["sku"].encode(): p["name"] for p in products}


def test_key_text_forms_and_alias_lists(cli, tmp_path):
    records = [
        {"k": 42, "alt": ["x", "y", None, "x"]},
        {"k": 1.5, "alt": None},
        {"k": True, "alt": []},
        {"k": "s", "alt": "s"},  # an alias equal to the key adds nothing
    ]
    out = tmp_path / "k.trnk"
    res = cli("build", write_jsonl(tmp_path / "k.jsonl", records), "-o", out, "--key", "k",
              "--alias", "alt", "-q")
    assert res.status == 0, res.err
    assert sorted(read_store(out)) == [b"1.5", b"42", b"s", b"true", b"x", b"y"]


BAD_LINE_3 = [
    (b'{"id": "c", oops}\n', "bad JSON"),
    (b'{"name": "no id"}\n', "no key field 'id'"),
    (b'{"id": null}\n', "null"),
    (b'{"id": {"nested": 1}}\n', "an object"),
    (b'["id", "c"]\n', "not a JSON object"),
    (b'{"id": "a"}\n', "duplicate"),
]


@pytest.mark.parametrize("line, problem", BAD_LINE_3, ids=[p for _, p in BAD_LINE_3])
def test_bad_line_3_names_it_and_leaves_the_target(cli, tmp_path, line, problem):
    src = tmp_path / "in.jsonl"
    src.write_bytes(b'{"id": "a"}\n{"id": "b"}\n' + line + b'{"id": "d"}\n')
    out = tmp_path / "out.trnk"
    out.write_bytes(b"the old store")
    res = cli("build", src, "-o", out, "--key", "id")
    assert res.status == 2
    assert res.err.count("\n") == 1 and "Traceback" not in res.err
    assert f"{src}, line 3:" in res.err and problem in res.err
    assert out.read_bytes() == b"the old store"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl", "out.trnk"]


@pytest.mark.parametrize("content, where, problem", [
    ("id,name\na,1\nb,2,3\n", "line 3", "3 fields where the header row has 2"),
    ('id,name\na,1\n"b,2\n', "line 3", "bad CSV"),
    ("id,name\na,1\n,2\n", "line 3", "key field 'id' is empty"),
    ("name\nx\n", "line 1", "no key column 'id'"),
    ("", "line 1", "no header row"),
])
def test_bad_csv(cli, tmp_path, content, where, problem):
    src = tmp_path / "in.csv"
    src.write_text(content)
    res = cli("build", src, "-o", tmp_path / "o.trnk", "--key", "id")
    assert res.status == 2, res.err
    assert f"{src}, {where}: " in res.err and problem in res.err
    assert not (tmp_path / "o.trnk").exists()


@pytest.mark.parametrize("policy, status, value", [("error", 2, None), ("first", 0, 1), ("last", 0, 3)])
def test_duplicates_under_each_policy(cli, tmp_path, policy, status, value):
    src = write_jsonl(tmp_path / "d.jsonl",
                      [{"id": "a", "v": 1}, {"id": "b", "v": 2}, {"id": "a", "v": 3}])
    out = tmp_path / "d.trnk"
    res = cli("build", src, "-o", out, "--key", "id", "--value", "v", "--on-duplicate", policy, "-q")
    assert res.status == status, res.err
    if status:
        assert "line 3" in res.err and "duplicate" in res.err and "'a'" in res.err
        assert not out.exists()
    else:
        assert read_store(out) == {b"a": value, b"b": 2}


def test_duplicate_through_an_alias(cli, tmp_path):
    src = write_jsonl(tmp_path / "d.jsonl", [{"id": "a", "ean": "1"}, {"id": "b", "ean": "a"}])
    res = cli("build", src, "-o", tmp_path / "d.trnk", "--key", "id", "--alias", "ean")
    assert res.status == 2 and "line 2" in res.err and "duplicate" in res.err


def test_usage_and_io_errors_exit_2(cli, tmp_path):
    src = write_jsonl(tmp_path / "a.jsonl", [{"id": "a"}])
    cases = [
        ("build", src, "-o", tmp_path / "o.trnk"),  # --key missing
        ("build", tmp_path / "missing.jsonl", "-o", tmp_path / "o.trnk", "--key", "id"),
        ("build", src, "-o", tmp_path / "no-dir" / "o.trnk", "--key", "id"),
        ("build", src, "-o", tmp_path, "--key", "id"),
        ("build", tmp_path / "a.unknown", "-o", tmp_path / "o.trnk", "--key", "id"),
    ]
    (tmp_path / "a.unknown").write_text("id\n")
    for args in cases:
        res = cli(*args)
        assert res.status == 2, (args, res.err)
        assert res.err.count("\n") == 1 and "Traceback" not in res.err, res.err


ODD_RECORDS = [
    {"key": "plain", "value": {"n": 1, "f": 2.5, "s": "ünïcödé ✓", "l": [1, [2, {}]], "z": None}},
    {"key": "bytes", "value": {"$bytes": "AAEC/w=="}},
    {"key": "nested bytes", "value": {"blob": {"$bytes": "3q2+7w=="}, "t": True}},
    {"key": {"$bytes": "/wA="}, "value": "a key that is not UTF-8"},
    {"key": "", "value": "the empty key"},
    {"key": "big", "value": 2**63 + 5},
]


def test_round_trip_build_dump_build(cli, tmp_path, products):
    first = tmp_path / "first.trnk"
    write_jsonl(tmp_path / "odd.jsonl", ODD_RECORDS)
    assert cli("build", tmp_path / "odd.jsonl", "-o", first, "--key", "key", "--value", "value",
               "-q").status == 0
    stored = read_store(first)
    assert stored[b"\xff\x00"] == "a key that is not UTF-8"
    assert stored[b"bytes"] == b"\x00\x01\x02\xff"
    assert stored[b"nested bytes"]["blob"] == b"\xde\xad\xbe\xef"
    for fmt, extra in (("jsonl", ()), ("csv", ("--json-values",))):
        dump = cli("dump", first, "--format", fmt)
        assert dump.status == 0, dump.err
        again = tmp_path / f"again-{fmt}.trnk"
        res = cli("build", "-", "--format", fmt, "-o", again, "--key", "key", "--value", "value",
                  *extra, "-q", stdin=dump.out)
        assert res.status == 0, res.err
        assert read_store(again) == stored, fmt


def big_input(path, n, bad_at=None):
    """n lines over several read chunks, with blank lines, wrappers and number keys mixed in;
    line `bad_at` (1-based) is not JSON. Returns what the store should hold."""
    lines, want = [], {}
    for i in range(1, n + 1):
        if i == bad_at:
            lines.append('{"id": "broken", ')
        elif i % 997 == 0:
            lines.append("")
        elif i % 1009 == 0:
            lines.append(json.dumps({"id": f"k{i}", "v": {"$bytes": "AAE="}}))
            want[f"k{i}".encode()] = b"\x00\x01"
        elif i % 1013 == 0:
            lines.append(json.dumps({"id": i, "v": i}))
            want[str(i).encode()] = i
        else:
            lines.append(json.dumps({"id": f"k{i}", "v": "x" * (i % 50)}))
            want[f"k{i}".encode()] = "x" * (i % 50)
    path.write_text("\n".join(lines) + "\n")
    return want


def test_long_input_through_every_path(cli, tmp_path):
    want = big_input(tmp_path / "big.jsonl", 40000)
    assert (tmp_path / "big.jsonl").stat().st_size > 3 << 19  # several read chunks
    res = cli("build", tmp_path / "big.jsonl", "-o", tmp_path / "big.trnk", "--key", "id",
              "--value", "v", "-q")
    assert res.status == 0, res.err
    assert read_store(tmp_path / "big.trnk") == want


@pytest.mark.parametrize("bad_at", [1, 997 * 3 + 1, 39999])
def test_long_input_names_the_right_line(cli, tmp_path, bad_at):
    big_input(tmp_path / "big.jsonl", 40000, bad_at=bad_at)
    res = cli("build", tmp_path / "big.jsonl", "-o", tmp_path / "big.trnk", "--key", "id")
    assert res.status == 2
    assert f"big.jsonl, line {bad_at}: bad JSON" in res.err


def test_long_input_duplicate_in_a_later_chunk(cli, tmp_path):
    big_input(tmp_path / "big.jsonl", 40000)
    with open(tmp_path / "big.jsonl", "a") as f:
        f.write(json.dumps({"id": "k5", "v": "again"}) + "\n")
    res = cli("build", tmp_path / "big.jsonl", "-o", tmp_path / "big.trnk", "--key", "id")
    assert res.status == 2 and "line 40001: duplicate key 'k5'" in res.err


@pytest.mark.parametrize("policy", ["error", "first", "last"])
def test_memory_limit_spills_and_builds_the_same_file(cli, tmp_path, policy):
    records = [{"id": f"k{i * 7919 % 3000}", "v": i} for i in range(3000)]
    if policy != "error":
        records += [{"id": f"k{i}", "v": -i} for i in range(0, 3000, 13)]
    src = write_jsonl(tmp_path / "d.jsonl", records)
    res = cli("build", src, "-o", tmp_path / "plain.trnk", "--key", "id", "--on-duplicate", policy, "-q")
    assert res.status == 0, res.err
    res = cli("build", src, "-o", tmp_path / "small.trnk", "--key", "id", "--on-duplicate", policy,
              "--memory-limit", "16K")
    assert res.status == 0, res.err
    assert (tmp_path / "small.trnk").read_bytes() == (tmp_path / "plain.trnk").read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.jsonl", "plain.trnk", "small.trnk"]


def test_memory_limit_duplicate_found_at_the_build_names_both_lines(cli, tmp_path):
    src = write_jsonl(tmp_path / "d.jsonl", [{"id": f"k{i}"} for i in range(3000)] + [{"id": "k5"}])
    res = cli("build", src, "-o", tmp_path / "o.trnk", "--key", "id", "--memory-limit", "16K")
    assert res.status == 2
    assert (f"{src}, line 3001: duplicate key 'k5' (an earlier record has it: {src}, line 6;" in res.err)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.jsonl"]
    assert cli("build", src, "-o", tmp_path / "o.trnk", "--key", "id", "--memory-limit", "lots").status == 2
