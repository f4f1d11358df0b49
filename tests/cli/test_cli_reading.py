"""Reading JSON Lines for a build: each read's lines handed out in place (and the line two
reads share joined on its own), numbered right whether or not the caller counts them, and
converted by whichever of the build's two threads gets to them first, in order."""

from __future__ import annotations

import io
import json
import random
import threading

import pytest
from cli.cli_helpers import read_store

from tarnkv import _native
from tarnkv import records as rules
from tarnkv.cli import loader
from tarnkv.cli import main as cli_main
from tarnkv.cli import records
from tarnkv.cli.errors import BadInput
from tarnkv.cli.inputs import Source


def source(data: bytes, stream=None) -> Source:
    raw = io.BytesIO(data)
    return Source("in.jsonl", stream or raw, raw, len(data), None, "jsonl")


def random_lines(rng: random.Random, n: int, chunk: int) -> bytes:
    """Lines of every length around the read size: empty, short, exactly a read, longer than
    several reads; some ending in CRLF, and no newline after the last one now and then."""
    lines = []
    for _ in range(n):
        size = rng.choice([0, 1, 5, chunk - 1, chunk, chunk + 1, 3 * chunk + 7, rng.randint(0, 2 * chunk)])
        lines.append(b"x" * size + (b"\r" if rng.random() < 0.1 else b""))
    data = b"\n".join(lines)
    return data if rng.random() < 0.3 else data + b"\n"


@pytest.mark.parametrize("told", [False, True])
def test_pieces_are_whole_lines_in_order_and_numbered(monkeypatch, told):
    monkeypatch.setattr(records, "CHUNK", 64)
    rng = random.Random(7)
    for _ in range(200):
        data = random_lines(rng, rng.randint(0, 30), 64)
        if rng.random() < 0.2:
            data = b"\xef\xbb\xbf" + data
        reader = records.JsonLinesReader(source(data))
        got, line = b"", 1
        pieces = []
        for piece, start, end, first in reader.chunks():
            lines = piece[start:end]
            assert first == line, (data, got)
            assert lines.endswith(b"\n") or got + lines == data.removeprefix(b"\xef\xbb\xbf")
            got += lines
            line += lines.count(b"\n")
            if told:
                reader.lines(lines.count(b"\n"))
            pieces.append(lines)
        assert got == data.removeprefix(b"\xef\xbb\xbf")
        assert all(pieces)  # nothing handed out empty


class FailingStream(io.RawIOBase):
    """Gives `data` a few bytes at a time, then fails."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def readable(self) -> bool:
        return True

    def read1(self, n: int = -1) -> bytes:
        if not self.data:
            raise OSError(5, "Input/output error")
        piece, self.data = self.data[:7], self.data[7:]
        return piece

    read = read1


def test_a_failed_read_comes_after_the_whole_lines_and_names_the_next():
    data = b"".join(b'{"id": "k%d"}\n' % i for i in range(1, 11)) + b'{"id": "cut'
    reader = records.JsonLinesReader(source(data, FailingStream(data)))
    got = b""
    with pytest.raises(BadInput) as failed:
        for piece, start, end, _ in reader.chunks():
            got += piece[start:end]
    assert got == data[:data.rindex(b"\n") + 1]
    assert "after line 10: read error: Input/output error" in str(failed.value)


def test_converter_and_newline_count_stay_inside_their_range():
    data = b'{"id": "a"}\n{"id": "b"}\n{"id": "c"}\n'
    roles = rules.RecordRoles("id", (), None)
    second = data.index(b"\n") + 1
    third = data.index(b"\n", second) + 1
    batch, stop, count = rules.convert_json_lines(data, second, roles, third)
    assert (stop, count) == (third, 1)
    got = []
    rules.put_json_batch(lambda *a: got.append(a[0]), batch)
    assert got == [b"b"]
    assert rules.convert_json_lines(data, 0, roles, 0)[1:] == (0, 0)
    with pytest.raises(ValueError):
        _native.transcode_json_lines(data, 0, b"id", (), None, len(data) + 1)
    with pytest.raises(ValueError):
        _native.transcode_json_lines(data, third, b"id", (), None, second)  # start past the end
    text = bytes(random.Random(3).choice(b"\n\nab\x0a\x8a\x00") for _ in range(100_000))
    for start, end in [(0, len(text)), (1, 17), (5, 5), (33, 70_001)]:
        assert _native.count_newlines(text, start, end) == text.count(b"\n", start, end)
    for start, end in [(-1, 3), (3, 2), (0, len(text) + 1)]:
        with pytest.raises(ValueError):
            _native.count_newlines(text, start, end)


@pytest.mark.parametrize("queued", [1, 4])
def test_both_threads_convert_and_the_records_keep_their_lines(monkeypatch, tmp_path, queued, capsys):
    # Small reads and a short queue: many pieces, some converted by each thread.
    monkeypatch.setattr(records, "CHUNK", 4096)
    monkeypatch.setattr(loader, "QUEUED_BATCHES", queued)
    converted_by: set[str] = set()
    convert = loader._convert

    def watched(*args):
        converted_by.add(threading.current_thread().name)
        return convert(*args)

    monkeypatch.setattr(loader, "_convert", watched)
    rng = random.Random(11)
    lines, want = [], {}
    for i in range(1, 6001):
        if i % 701 == 0:
            lines.append("")  # the Python path takes blank lines
            continue
        value = "y" * rng.randint(0, 300)
        lines.append(json.dumps({"id": f"k{i}", "v": value}))
        want[f"k{i}".encode()] = {"id": f"k{i}", "v": value}
    src = tmp_path / "in.jsonl"
    src.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out.trnk"
    assert cli_main(["build", str(src), "-o", str(out), "--key", "id", "-q"]) == 0
    assert read_store(out) == want
    assert converted_by == {"MainThread", "tarnkv-build-reader"}

    # A repeat near the end names both lines, wherever each was converted.
    with open(src, "a") as f:
        f.write(json.dumps({"id": "k3"}) + "\n")
    assert cli_main(["build", str(src), "-o", str(out), "--key", "id", "-q"]) == 2
    err = capsys.readouterr().err
    assert f"line 6001: duplicate key 'k3' (an earlier record has it: {src}, line 3;" in err, err
