"""``tarnkv get``, ``keys``, ``prefix`` and ``dump``: reading a store's entries out."""

from __future__ import annotations

import argparse
import csv
import io
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from itertools import islice
from typing import Any, BinaryIO

from tarnkv import records
from tarnkv.cli import jsonio, stores
from tarnkv.cli.errors import NO, CliError
from tarnkv.cli.output import OutputFile, arg_bytes, stdout


LINES_PER_WRITE = 4096


def _decoded(name: str, key: str | bytes, raw: bytes) -> Any:
    """The stored object, or the command's end when it is not MessagePack that reads back."""
    try:
        return stores.decode(raw)
    except (ValueError, TypeError) as exc:  # msgpack's: malformed, too deep, text not UTF-8, ...
        why = str(exc) or type(exc).__name__
        shown = jsonio.dumps_key(key).decode("utf-8", "replace")
        raise CliError(f"{name}: key {shown}: the object can't be read as MessagePack ({why})") from None


def get(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store)
    out = stdout()
    missing = []
    found: list[bytes] = []  # written once every key has been read: all or nothing
    with stores.StoreErrors(args.store):
        for text in args.keys:
            key = arg_bytes(text)
            raw = reader.get_raw(key)
            if raw is None:
                missing.append(text)
            elif args.raw:
                found.append(raw)
            else:
                found.append(jsonio.dumps_line(_decoded(args.store, key, raw)))
    out.write(b"".join(found))
    if missing:
        out.flush()
        shown = ", ".join(jsonio.dumps_key(k).decode("utf-8", "replace") for k in missing)
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


def _write_entries(out: BinaryIO, reader: Any, name: str, prefix: bytes = b"", limit: int | None = None) -> None:
    """``{"key": ..., "value": ...}`` lines for the entries under ``prefix`` (all by default):
    through the native dump, which hands back the entries it leaves (keys that are not UTF-8
    in its sense, extension types, ...), or a few thousand at a time through Python."""
    def line(key: str | bytes, raw: bytes) -> bytes:
        return jsonio.entry_line(key, _decoded(name, key, raw))

    left = limit if limit is not None else sys.maxsize
    if not records.JSON_LINES_CONVERTER or not stores.is_native_reader(reader):
        entries = stores.raw_items(reader, prefix)
        while left > 0 and (chunk := list(islice(entries, min(left, LINES_PER_WRITE)))):
            out.write(b"".join([line(k, v) for k, v in chunk]))
            left -= len(chunk)
        return
    skip = 0
    while left > 0:
        text, done, pending = records.dump_json_lines(reader, prefix, skip, min(left, LINES_PER_WRITE))
        if not done:
            return
        out.write(text)
        if pending is not None:
            out.write(line(*pending))
        skip += done
        left -= done


@contextmanager
def _marked_if_cut(out: BinaryIO | None, csv_output: bool = False) -> Iterator[None]:
    """A stream that ends in a failure ends with a line saying so (``jsonio.FAILURE_MARK``):
    what was written is not the whole, and `tarnkv build -` reading it refuses it. Nothing is
    added when the reader of the stream went away, or for a file (``out`` None), which never
    appears unfinished."""
    try:
        yield
    except BrokenPipeError:
        raise
    except BaseException as exc:
        if out is not None:
            if isinstance(exc, CliError):
                text = exc.message
            else:
                text = "interrupted" if isinstance(exc, KeyboardInterrupt) else (str(exc) or type(exc).__name__)
            line = jsonio.failure_line(text)
            if csv_output:  # one quoted field, whatever the message holds
                line = b'"' + line[:-1].replace(b'"', b'""') + b'"\n'
            try:
                out.write(line)
                out.flush()
            except (OSError, ValueError):
                pass
        raise


def prefix(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store)
    out = stdout()
    with _marked_if_cut(out), stores.StoreErrors(args.store):
        _write_entries(out, reader, args.store, arg_bytes(args.prefix), args.limit)
    return 0


def _write_csv(out: BinaryIO, entries: Any, name: str) -> None:
    # Keys that are not UTF-8 come with surrogate escapes and are written as their own bytes,
    # which the CSV reader of `build` turns back into the same bytes.
    text = io.TextIOWrapper(out, encoding="utf-8", errors="surrogateescape", newline="",
                            write_through=False)
    try:
        # Every field quoted: an empty key is "" there, as an empty cell reads back as null.
        writer = csv.writer(text, lineterminator="\n", quoting=csv.QUOTE_NOTNULL)
        writer.writerow(("key", "value"))
        dumps = jsonio.dumps
        while chunk := list(islice(entries, LINES_PER_WRITE)):
            writer.writerows([(k, dumps(_decoded(name, k, v)).decode("utf-8")) for k, v in chunk])
        text.flush()
    finally:
        text.detach()


def dump(args: argparse.Namespace) -> int:
    fmt = args.format
    if fmt is None:
        name = args.output.lower().removesuffix(".gz").removesuffix(".zst")
        fmt = "csv" if name.endswith(".csv") else "jsonl"
    reader = stores.open_store(args.store)
    with OutputFile(args.output, inputs=[args.store]) as out, \
            _marked_if_cut(out if args.output == "-" else None, fmt == "csv"), stores.StoreErrors(args.store):
        if fmt == "csv":
            _write_csv(out, stores.raw_items(reader), args.store)
        else:
            _write_entries(out, reader, args.store)
    return 0
