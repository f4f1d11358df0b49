"""Values and messages kept exact: duplicates named by the key that collides and the earlier
record's line, integers beyond 64 bits, Parquet's nanoseconds and durations, dumps of every
value a store holds that build back into the same store, output cut by a failure, the memory
one large record takes."""

from __future__ import annotations

import gzip
import json
import math
import os
import pty
import select
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest
from cli.cli_helpers import child_env, read_store, run_cli, write_jsonl
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnkv

BIG = 12345678901234567890123


def raw_objects(path: Path) -> dict[bytes, bytes]:
    """Every key's stored bytes: equal stores hold equal bytes (NaN included)."""
    with tarnkv.open(path) as r:
        return {k.encode("utf-8", "surrogateescape"): v for k, v in r.items_raw()}


def nested(depth: int) -> object:
    value: object = "bottom"
    for _ in range(depth):
        value = [value]
    return value


def make_store(path: Path, entries: dict) -> Path:
    with tarnkv.TarnWriter.create(path) as w:
        for k, v in entries.items():
            w.put(k, v)
    return path


def pipeline(command: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(["/bin/bash", "-c", f"set -o pipefail; {command}"], capture_output=True,
                          env=child_env(), timeout=120)


TARNKV = f'"{sys.executable}" -m tarnkv'


# --- Duplicates -------------------------------------------------------------------------------

@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_a_duplicate_names_the_key_shared_and_the_earlier_records_line(cli, tmp_path, fmt):
    a = [{"name": "a", "alias": "x"}, {"name": "apache2-suexec-custom", "alias": "apache2-suexec"}]
    b = [{"name": "b", "alias": "y"}, {"name": "apache2-suexec-pristine", "alias": "apache2-suexec"}]
    paths = []
    for name, records in (("a", a), ("b", b)):
        path = tmp_path / f"{name}.{fmt}"
        if fmt == "jsonl":
            # A blank line first: line numbers are not record numbers.
            path.write_text("\n" + "".join(json.dumps(r) + "\n" for r in records))
        else:
            path.write_text("name,alias\n" + "".join(f"{r['name']},{r['alias']}\n" for r in records))
        paths.append(path)
    res = cli("build", *paths, "-o", tmp_path / "o.trnk", "--key", "name", "--alias", "alias")
    assert res.status == 2, res.err
    # Line 3 either way: after a blank line, or after the header row.
    assert (f"{paths[1]}, line 3: duplicate key 'apache2-suexec' (an earlier record has it: "
            f"{paths[0]}, line 3;") in res.err, res.err


def test_an_earlier_record_is_found_across_chunks_and_blank_lines(cli, tmp_path):
    lines = [json.dumps({"id": f"k{i}", "pad": "x" * 100}) if i % 1000 else "" for i in range(1, 30001)]
    lines.append(json.dumps({"id": "k29999"}))
    (tmp_path / "big.jsonl").write_text("\n".join(lines) + "\n")
    res = cli("build", tmp_path / "big.jsonl", "-o", tmp_path / "o.trnk", "--key", "id")
    assert res.status == 2
    assert "line 30001: duplicate key 'k29999' (an earlier record has it: " in res.err
    assert f"{tmp_path / 'big.jsonl'}, line 29999;" in res.err, res.err


@pytest.mark.parametrize("policy, told", [
    ("first", "3 keys given again kept the first record's object; 1 record stored nothing"),
    ("last", "3 keys re-pointed to a later record; 1 earlier object dropped"),
])
def test_first_and_last_say_what_they_dropped(cli, tmp_path, policy, told):
    src = write_jsonl(tmp_path / "d.jsonl", [{"id": "a", "alt": "b"}, {"id": "c", "alt": "b"},
                                            {"id": "a", "alt": "b"}, {"id": "d", "alt": None}])
    res = cli("build", src, "-o", tmp_path / "d.trnk", "--key", "id", "--alias", "alt",
              "--on-duplicate", policy)
    assert res.status == 0, res.err
    summary, detail = res.lines()
    assert "4 records" in summary
    assert detail == f"{tmp_path / 'd.trnk'}: --on-duplicate {policy}: {told}" + (
        " (every key taken)" if policy == "first" else " (no key left)")


# --- Integers beyond 64 bits ----------------------------------------------------------------------

def test_long_integer_keys_keep_their_digits(cli, tmp_path):
    records = [{"id": BIG, "v": 1}, {"id": BIG + 1, "v": 2}, {"id": -(2**63) - 1, "v": 3},
               {"id": 2**64 - 1, "v": 4}]
    for path in (write_jsonl(tmp_path / "k.jsonl", records), tmp_path / "k.csv"):
        if path.suffix == ".csv":
            path.write_text("id,v\n" + "".join(f"{r['id']},{r['v']}\n" for r in records))
        res = cli("build", path, "-o", tmp_path / "k.trnk", "--key", "id", "--value", "v", "-q")
        assert res.status == 0, res.err
        stored = read_store(tmp_path / "k.trnk")
        assert {k: int(v) for k, v in stored.items()} == {str(r["id"]).encode(): r["v"] for r in records}


@pytest.mark.parametrize("line, field", [
    ({"id": "a", "n": BIG}, "n"),
    ({"id": "a", "deep": {"list": [1, -BIG]}}, "deep.list[1]"),
])
def test_a_long_integer_value_is_bad_input_unless_stored_as_text(cli, tmp_path, line, field):
    src = tmp_path / "v.jsonl"
    src.write_text('{"id": "first"}\n' + json.dumps(line) + "\n")
    out = tmp_path / "v.trnk"
    res = cli("build", src, "-o", out, "--key", "id")
    assert res.status == 2 and not out.exists()
    assert f"{src}, line 2: " in res.err and f"field {field!r}" in res.err and str(BIG) in res.err, res.err
    res = cli("build", src, "-o", out, "--key", "id", "--big-ints", "text", "-q")
    assert res.status == 0, res.err
    text = json.dumps(read_store(out)[b"a"])
    assert str(BIG) in text and "e+22" not in text


def test_a_long_integer_in_a_json_csv_column(cli, tmp_path):
    src = tmp_path / "v.csv"
    src.write_text(f'key,value\na,"{{""n"": {BIG}}}"\n')
    res = cli("build", src, "-o", tmp_path / "v.trnk", "--key", "key", "--value", "value", "--json-values")
    assert res.status == 2 and f"{src}, line 2: " in res.err and "field 'value.n'" in res.err, res.err


def test_the_python_reader_keeps_long_integers_too(tmp_path, monkeypatch, capsys):
    """Without the native converter JSON Lines go through the Python reader's batches."""
    from tarnkv import records
    from tarnkv.cli import main

    monkeypatch.setattr(records, "JSON_LINES_CONVERTER", False)
    src = tmp_path / "k.jsonl"
    src.write_text(json.dumps({"id": BIG, "v": {"$float": "NaN"}}) + "\n" + json.dumps({"id": BIG + 1, "v": 1}) + "\n")
    out = tmp_path / "k.trnk"
    assert main(["build", str(src), "-o", str(out), "--key", "id", "--value", "v", "-q"]) == 0
    stored = read_store(out)
    assert sorted(stored) == [str(BIG).encode(), str(BIG + 1).encode()] and math.isnan(stored[str(BIG).encode()])
    src.write_text(json.dumps({"id": "a", "n": BIG}) + "\n")
    assert main(["build", str(src), "-o", str(out), "--key", "id"]) == 2
    assert f"{src}, line 1: " in capsys.readouterr().err


# --- Messages -----------------------------------------------------------------------------------

def test_a_file_that_is_no_store_is_called_so(cli, tmp_path):
    (tmp_path / "data.json").write_text('[{"id": 1}]\n' * 10)
    (tmp_path / "short").write_bytes(b"TRNK")
    res = cli("get", tmp_path / "data.json", "k")
    assert res.status == 1 and "bad magic" not in res.err
    assert f"{tmp_path / 'data.json'}: not a tarnkv store (it begins with b'[{{\"i'" in res.err, res.err
    with pytest.raises(tarnkv.CorruptStoreError, match="not a tarnkv store"):
        tarnkv.open(tmp_path / "data.json")
    with pytest.raises(tarnkv.CorruptStoreError, match="not a tarnkv store, or a truncated one"):
        tarnkv.open(tmp_path / "short")


@pytest.mark.parametrize("content, where, problem", [
    # A pretty-printed document: its first line is not a whole value.
    (b'[\n  {"id": 1},\n  {"id": 2}\n]\n', "line 1", "bad JSON at column 2: unexpected end of data "
                                                     "(JSON Lines hold one whole JSON value per line)"),
    # A line cut after its 40th character (in a string, or between values).
    (b'{"id": "a"}\n{"id": "b", "text": "' + b"x" * 19 + b"\n", "line 2", "bad JSON at column 41"),
    (b'{"id": "a"}\n{"id": "b", "list": [10, 20, 3, 4, 5, 6,\n', "line 2",
     "bad JSON at column 41: unexpected end of data"),
    (b'{"id": "a"}\n  },\n', "line 2", "bad JSON at column 3: unexpected character"),
])
def test_bad_json_says_where_and_why(cli, tmp_path, content, where, problem):
    src = tmp_path / "in.json"
    src.write_bytes(content)
    res = cli("build", src, "-o", tmp_path / "o.trnk", "--key", "id")
    assert res.status == 2 and f"{src}, {where}: {problem}" in res.err, res.err


def test_a_truncated_gzip_names_the_last_whole_line(cli, tmp_path):
    lines = b"".join(b'{"id": "%d", "pad": "%s"}\n' % (i, b"%x" % (i * 7919) * 20) for i in range(1, 60001))
    packed = gzip.compress(lines)
    src = tmp_path / "in.jsonl.gz"
    src.write_bytes(packed[: len(packed) // 2])
    res = cli("build", src, "-o", tmp_path / "o.trnk", "--key", "id")
    assert res.status == 2 and "corrupt gzip data" in res.err, res.err
    told = int(res.err.split(", after line ")[1].split(":")[0])
    whole = gzip.GzipFile(fileobj=__import__("io").BytesIO(packed[: len(packed) // 2]))
    got = b""
    try:
        while chunk := whole.read1(1 << 16):
            got += chunk
    except EOFError:
        pass
    assert told == got.count(b"\n") > 1000


def test_a_missing_field_lists_the_fields_found(cli, tmp_path):
    src = write_jsonl(tmp_path / "in.jsonl", [{"name": "a", "alias": "b"}])
    res = cli("build", src, "-o", tmp_path / "o.trnk", "--key", "id")
    assert res.status == 2 and "no key field 'id' (fields: 'name', 'alias')" in res.err, res.err
    res = cli("build", src, "-o", tmp_path / "o.trnk", "--key", "name", "--value", "v")
    assert res.status == 2 and "no value field 'v' (fields: 'name', 'alias')" in res.err, res.err


def test_get_help_tells_it_skips_the_whole_file_check(cli):
    text = cli("get", "--help").text
    assert "without checking the whole file's CRC-32" in text and "tarnkv verify" in text


def test_a_bar_of_shards_counts_shards_not_bytes(monkeypatch):
    pytest.importorskip("rich")
    from tarnkv.cli.progress import Progress

    master, slave = pty.openpty()
    term = os.fdopen(slave, "w", encoding="utf-8")
    monkeypatch.setattr(sys, "stderr", term)
    monkeypatch.setenv("COLUMNS", "120")
    with Progress(True) as progress:
        bar = progress.bar("writing out.set", 4, unit="shards")
        bar.update(3, force=True)
        progress.done(bar)
    term.flush()
    shown = ""
    while select.select([master], [], [], 2)[0]:
        shown += os.read(master, 1 << 16).decode("utf-8", "replace")
    term.close()
    os.close(master)
    assert "3/4 shards" in shown and "bytes" not in shown, shown


# --- Dumps of whatever a store holds --------------------------------------------------------------

ODD = {
    "nan": math.nan, "inf": math.inf, "-inf": -math.inf,
    "int and text keys": {1: "a", "1": "b"},
    "bytes key": {b"k": 1, "k": 2},
    "other keys": {1.5: 2, None: 3, True: 4, -7: [b"\x00"]},
    "wrapper look-alikes": [{"$bytes": "aGk="}, {"$map": 5}, {"$float": "NaN"}, {"$ext": 1, "$bytes": "AA=="}],
    "timestamp": msgpack.Timestamp(1, 5), "extension": msgpack.ExtType(5, b"xy"),
    "deep": nested(300), "deepest build reads": nested(1022),
    "plain": {"a": [1.5, None, {"b": b"\x00", "c": "ü"}], "n": 2**64 - 1},
}


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_dump_then_build_gives_back_every_value(tmp_path, fmt):
    store = make_store(tmp_path / "odd.trnk", ODD)
    again = tmp_path / "again.trnk"
    extra = "--format csv --json-values" if fmt == "csv" else ""
    res = pipeline(f'{TARNKV} dump "{store}" --format {fmt} | {TARNKV} build - -o "{again}" --key key '
                   f"--value value {extra} -q")
    assert res.returncode == 0 and res.stderr == b"", res.stderr
    assert raw_objects(again) == raw_objects(store)


def test_get_and_dump_write_deep_values_and_maps_with_bytes_keys(cli, tmp_path):
    store = make_store(tmp_path / "odd.trnk", {"deep": nested(1000), "bytes key": {b"k": 1}})
    res = cli("get", store, "deep", "bytes key")
    assert res.status == 0, res.err
    deep, keyed = res.out.splitlines()
    assert json.loads(deep) == nested(1000)
    assert json.loads(keyed) == {"$map": [[{"$bytes": "aw=="}, 1]]}
    res = cli("dump", store)
    assert res.status == 0 and len(res.lines()) == 2, res.err


def test_a_set_dumps_what_its_single_store_dumps(cli, tmp_path):
    """Sets dump through the Python path, single stores mostly through the native one."""
    store = make_store(tmp_path / "odd.trnk", ODD)
    assert cli("merge", store, "-o", tmp_path / "odd.set", "--shards", "2", "-q").status == 0
    one, many = cli("dump", store), cli("dump", tmp_path / "odd.set")
    assert one.status == many.status == 0
    assert one.out == many.out


@pytest.fixture
def unreadable(tmp_path) -> Path:
    """A store (built without a codec) whose second object is not MessagePack."""
    path = tmp_path / "bad.trnk"
    w = tarnkv.TarnWriter(codec=None)
    for key, data in (("a", msgpack.packb(1)), ("b", b"\xc1"), ("c", msgpack.packb(3))):
        w.put(key, data)
    w.build(path)
    return path


def test_an_unreadable_object_stops_get_before_it_prints(cli, unreadable):
    res = cli("get", unreadable, "a", "b")
    assert res.status == 2 and res.out == b""
    assert res.err.count("\n") == 1 and 'key "b"' in res.err and "Traceback" not in res.err


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_a_dump_cut_by_a_failure_never_builds_as_a_whole(cli, tmp_path, unreadable, fmt):
    res = cli("dump", unreadable, "--format", fmt)
    assert res.status == 2 and res.err.count("\n") == 1 and "Traceback" not in res.err
    assert res.out.splitlines()[-1].lstrip(b'"').startswith(b"!tarnkv: incomplete output: ")
    copy = tmp_path / "copy.trnk"
    extra = "--format csv --json-values" if fmt == "csv" else ""
    piped = pipeline(f'{TARNKV} dump "{unreadable}" --format {fmt} | {TARNKV} build - -o "{copy}" '
                     f"--key key --value value {extra}")
    assert piped.returncode == 2 and not copy.exists()
    assert b"the input is incomplete" in piped.stderr, piped.stderr
    # Into a file: nothing at all.
    assert cli("dump", unreadable, "-o", tmp_path / "d.jsonl").status == 2
    assert not (tmp_path / "d.jsonl").exists()


# NaN is one value here: its payload and sign do not survive JSON (nor matter to anyone).
stored_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False) | st.just(math.nan)
    | st.text(max_size=8)
    | st.binary(max_size=8) | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=4))
    | st.builds(msgpack.Timestamp, st.integers(0, 2**34), st.integers(0, 999_999_999)),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text(max_size=6) | st.sampled_from(["$bytes", "$map", "$float", "$ext"]), inner, max_size=4)
    | st.dictionaries(st.integers(-3, 3) | st.binary(max_size=3) | st.none() | st.booleans()
                      | st.floats(allow_nan=False), inner, max_size=4),
    max_leaves=12)


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(st.binary(max_size=6), stored_values, min_size=1, max_size=25))
def test_dump_then_build_round_trips_any_store(tmp_path, entries):
    store = make_store(tmp_path / "s.trnk", entries)
    again = tmp_path / "again.trnk"
    res = pipeline(f'{TARNKV} dump "{store}" | {TARNKV} build - -o "{again}" --key key --value value -q')
    assert res.returncode == 0, res.stderr
    assert raw_objects(again) == raw_objects(store)


# --- Parquet ------------------------------------------------------------------------------------------

def test_parquet_keeps_nanoseconds_and_durations(cli, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    table = pa.table({
        "t": pa.array([1, 2, 1_500_000_123], pa.time64("ns")),
        "d": pa.array([1_500_000_123, 999, -5], pa.duration("ns")),
        "s": pa.array([3, 4, 5], pa.duration("s")),
        "ts": pa.array([1, 1_000, 1_700_000_000_123_456_789], pa.timestamp("ns", tz="+01:00")),
        "us": pa.array([1, 2, 3], pa.timestamp("us")),
    })
    pq.write_table(table, tmp_path / "t.parquet")
    res = cli("build", tmp_path / "t.parquet", "-o", tmp_path / "t.trnk", "--key", "t", "-q")
    assert res.status == 0, res.err
    stored = read_store(tmp_path / "t.trnk")
    assert sorted(stored) == [b"00:00:00.000000001", b"00:00:00.000000002", b"00:00:01.500000123"]
    last = stored[b"00:00:01.500000123"]
    assert (last["d"], last["s"]) == (-5, 5_000_000_000)
    assert last["ts"] == "2023-11-14T23:13:20.123456789+01:00"
    assert stored[b"00:00:00.000000001"]["d"] == 1_500_000_123
    assert stored[b"00:00:00.000000002"]["ts"] == "1970-01-01T01:00:00.000001+01:00"
    assert last["us"] == "1970-01-01T00:00:00.000003"


def test_parquet_value_out_of_range_names_row_and_column(cli, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"id": ["a", "b", "c"], "when": pa.array([0, 1, -(2**62)], pa.timestamp("us"))}),
                   tmp_path / "t.parquet")
    res = cli("build", tmp_path / "t.parquet", "-o", tmp_path / "t.trnk", "--key", "id")
    assert res.status == 2 and res.err.count("\n") == 1 and "Traceback" not in res.err
    assert f"{tmp_path / 't.parquet'}, row 3: column 'when'" in res.err and str(-(2**62)) in res.err, res.err


# --- One large record ---------------------------------------------------------------------------------

# The command run in a child that reports its own peak resident size at the end: the child's
# ru_maxrss would start from its parent's size at fork, this process's, which holds the input.
PEAK = """
import sys
from tarnkv.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as f:
    print(next(line.split()[1] for line in f if line.startswith("VmHWM:")), file=sys.stderr)
sys.exit(status)
"""


def peak_rss(*args: object) -> int:
    """The peak resident size of `tarnkv ARGS` in bytes."""
    proc = subprocess.run([sys.executable, "-c", PEAK, *map(str, args)], env=child_env(),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return int(proc.stderr.split()[-1]) * 1024


@pytest.mark.parametrize("suffix", ["jsonl", "jsonl.gz"])
def test_one_large_record_costs_a_few_times_its_size(tmp_path, suffix):
    size = 48 << 20
    line = b'{"id": "big", "text": "' + b"abcdefgh" * (size // 8) + b'"}\n'
    small = b'{"id": "small", "text": "x"}\n'
    for name, content in (("big", line), ("small", small)):
        data = gzip.compress(content, 1) if suffix.endswith(".gz") else content
        (tmp_path / f"{name}.{suffix}").write_bytes(data)
    base = peak_rss("build", tmp_path / f"small.{suffix}", "-o", tmp_path / "small.trnk", "--key", "id", "-q")
    peak = peak_rss("build", tmp_path / f"big.{suffix}", "-o", tmp_path / "big.trnk", "--key", "id", "-q")
    assert read_store(tmp_path / "big.trnk")[b"big"]["text"].startswith("abcdefgh")
    # The line, its converted form and the writer's copy: about three times the record.
    assert peak - base < 4 * size, f"{(peak - base) / size:.1f} times the record"
