"""``tarnkv get``, ``keys``, ``prefix`` and ``dump``: reading a store's entries out."""

from __future__ import annotations

import argparse
import csv
import io
import sys
from itertools import islice
from typing import Any, BinaryIO

from tarnkv.cli import jsonio, stores
from tarnkv.cli.errors import NO
from tarnkv.cli.output import OutputFile, arg_bytes, stdout

try:
    from tarnkv.cli import _jsonl  # the native JSON Lines path (built when yyjson is there)
except ImportError:  # pragma: no cover
    _jsonl = None  # type: ignore[assignment]

LINES_PER_WRITE = 4096


def get(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store)
    out = stdout()
    missing = []
    with stores.StoreErrors(args.store):
        for text in args.keys:
            raw = reader.get_raw(arg_bytes(text))
            if raw is None:
                missing.append(text)
            elif args.raw:
                out.write(raw)
            else:
                out.write(jsonio.dumps_line(stores.decode(raw)))
    if missing:
        out.flush()
        shown = ", ".join(jsonio.dumps(k).decode("utf-8", "replace") for k in missing)
        sys.stderr.write(f"tarnkv: {args.store}: no such key: {shown}\n")
        return NO
    return 0


def keys(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store)
    out = stdout()
    end = b"\0" if args.null else b"\n"
    with stores.StoreErrors(args.store):
        found = stores.raw_keys(reader, arg_bytes(args.prefix))
        if args.limit is not None:
            found = islice(found, args.limit)
        while chunk := list(islice(found, LINES_PER_WRITE)):
            out.write(end.join(chunk) + end)
    return 0


def _write_entries(out: BinaryIO, entries: Any) -> None:
    """``{"key": ..., "value": ...}`` lines, a few thousand at a time: through the native path,
    which hands back the pairs it leaves (keys that are not UTF-8, extension types, ...)."""
    dumps_line = jsonio.dumps_line
    key_json = jsonio.key_json
    decode = stores.decode
    dump_lines = _jsonl.dump_lines if _jsonl is not None else None
    while chunk := list(islice(entries, LINES_PER_WRITE)):
        if dump_lines is None:
            out.write(b"".join([dumps_line({"key": key_json(k), "value": decode(v)}) for k, v in chunk]))
            continue
        start = 0
        while start < len(chunk):
            text, start = dump_lines(chunk, start)
            out.write(text)
            if start < len(chunk):
                k, v = chunk[start]
                out.write(dumps_line({"key": key_json(k), "value": decode(v)}))
                start += 1


def prefix(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store)
    with stores.StoreErrors(args.store):
        entries = stores.raw_items(reader, arg_bytes(args.prefix))
        if args.limit is not None:
            entries = islice(entries, args.limit)
        _write_entries(stdout(), entries)
    return 0


def _write_csv(out: BinaryIO, entries: Any) -> None:
    # Keys that are not UTF-8 come with surrogate escapes and are written as their own bytes,
    # which the CSV reader of `build` turns back into the same bytes.
    text = io.TextIOWrapper(out, encoding="utf-8", errors="surrogateescape", newline="",
                            write_through=False)
    try:
        # Every field quoted: an empty key is "" there, as an empty cell reads back as null.
        writer = csv.writer(text, lineterminator="\n", quoting=csv.QUOTE_NOTNULL)
        writer.writerow(("key", "value"))
        dumps = jsonio.dumps
        decode = stores.decode
        while chunk := list(islice(entries, LINES_PER_WRITE)):
            writer.writerows([(k, dumps(decode(v)).decode("utf-8")) for k, v in chunk])
        text.flush()
    finally:
        text.detach()


def dump(args: argparse.Namespace) -> int:
    fmt = args.format
    if fmt is None:
        name = args.output.lower().removesuffix(".gz").removesuffix(".zst")
        fmt = "csv" if name.endswith(".csv") else "jsonl"
    reader = stores.open_store(args.store)
    with OutputFile(args.output) as out, stores.StoreErrors(args.store):
        entries = stores.raw_items(reader)
        if fmt == "csv":
            _write_csv(out, entries)
        else:
            _write_entries(out, entries)
    return 0
