"""``tarnkv get``, ``keys``, ``prefix`` and ``dump``: reading a store's entries out."""

from __future__ import annotations

import argparse
import csv
import io
import sys
from itertools import islice
from typing import Any, BinaryIO

from tarnkv import _native
from tarnkv.cli import jsonio, stores
from tarnkv.cli.errors import NO
from tarnkv.cli.output import OutputFile, arg_bytes, stdout


# The native dump (there when the package was built with yyjson).
_dump_json_lines: Any = getattr(_native, "_dump_json_lines", None)

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


def _python_line(key: str | bytes, raw: bytes) -> bytes:
    return jsonio.dumps_line({"key": jsonio.key_json(key), "value": stores.decode(raw)})


def _write_entries(out: BinaryIO, reader: Any, prefix: bytes = b"", limit: int | None = None) -> None:
    """``{"key": ..., "value": ...}`` lines for the entries under ``prefix`` (all by default):
    through the native dump, which hands back the entries it leaves (keys that are not UTF-8
    in its sense, extension types, ...), or a few thousand at a time through Python."""
    left = limit if limit is not None else sys.maxsize
    if _dump_json_lines is None or not stores.is_native_reader(reader):
        entries = stores.raw_items(reader, prefix)
        while left > 0 and (chunk := list(islice(entries, min(left, LINES_PER_WRITE)))):
            out.write(b"".join([_python_line(k, v) for k, v in chunk]))
            left -= len(chunk)
        return
    skip = 0
    while left > 0:
        text, done, pending = _dump_json_lines(reader, prefix, skip, min(left, LINES_PER_WRITE))
        if not done:
            return
        out.write(text)
        if pending is not None:
            out.write(_python_line(*pending))
        skip += done
        left -= done


def prefix(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store)
    with stores.StoreErrors(args.store):
        _write_entries(stdout(), reader, arg_bytes(args.prefix), args.limit)
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
    with OutputFile(args.output, inputs=[args.store]) as out, stores.StoreErrors(args.store):
        if fmt == "csv":
            _write_csv(out, stores.raw_items(reader))
        else:
            _write_entries(out, reader)
    return 0
