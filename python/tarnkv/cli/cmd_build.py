"""``tarnkv build``: stream records from data files into a new store."""

from __future__ import annotations

import argparse
import os
import time
from dataclasses import dataclass
from typing import Any

import msgpack

import tarnkv
from tarnkv import _native
from tarnkv.cli import fields, jsonio, stores
from tarnkv.cli.errors import BadInput, CliError
from tarnkv.cli.inputs import open_source
from tarnkv.cli.progress import Progress, wanted
from tarnkv.cli.records import JsonLinesReader, RecordReader, open_reader


# The native JSON Lines loader (there when the package was built with yyjson).
_put_json_lines = getattr(_native, "_put_json_lines", None)


@dataclass
class Spec:
    key: str
    aliases: list[str]
    value: str | None
    json_values: bool

    def columns(self) -> list[str] | None:
        """The columns a build needs, when it needs fewer than all of them."""
        if self.value is None:
            return None
        return list(dict.fromkeys([self.key, *self.aliases, self.value]))


def _check_output(out: str) -> None:
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory")
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        raise CliError(f"{directory}: no such directory")


def _check_fields(reader: RecordReader, spec: Spec) -> None:
    have = reader.fields
    if have is None:
        return
    for role, name in [("key", spec.key), *(("alias", a) for a in spec.aliases),
                       *([("value", spec.value)] if spec.value else [])]:
        if name not in have:
            shown = ", ".join(repr(f) for f in have[:20]) + (", ..." if len(have) > 20 else "")
            raise BadInput(reader.where(1), f"no {role} column {name!r} (columns: {shown})")


class Loader:
    """Puts records into the writer (whose objects are MessagePack bytes made here).

    JSON Lines go through the native fast path when it is built; other formats through a
    Python loop. Both hand every record they can't take as it is to ``careful``, which repairs
    what it can (non-string keys, undecodable bytes, dates) and names what it can't.
    """

    def __init__(self, writer: Any, spec: Spec) -> None:
        self.writer = writer
        self.spec = spec
        self.records = 0
        self.pack = msgpack.Packer(use_bin_type=True).pack

    def load(self, reader: RecordReader, bar: Any) -> None:
        if _put_json_lines is not None and isinstance(reader, JsonLinesReader):
            self._load_lines(reader, bar)
        else:
            self._load_records(reader, bar)

    def _load_lines(self, reader: JsonLinesReader, bar: Any) -> None:
        spec = self.spec
        put = self.writer.put_raw
        put_lines = _put_json_lines
        key = spec.key.encode()
        aliases = tuple(a.encode() for a in spec.aliases)
        value = None if spec.value is None else spec.value.encode()
        for data, first in reader.chunks():
            pos = 0
            number = first  # the number of the line at `pos`
            while pos < len(data):
                stop, done = put_lines(put, data, pos, key, aliases, value)
                self.records += done
                if stop >= len(data):
                    break
                # The line at `stop` is the Python path's.
                number += data.count(b"\n", pos, stop)
                end = data.find(b"\n", stop) + 1 or len(data)
                rec = reader.parse_line(data[stop:end], number)
                if rec is not None:
                    self.careful(reader.where(number), rec, reader.null_text)
                    self.records += 1
                pos = end
                number += 1
            bar.update(reader.done(), self.records)

    def _load_records(self, reader: RecordReader, bar: Any) -> None:
        put = self.writer.put_raw
        pack = self.pack
        kf, af, vf = self.spec.key, self.spec.aliases, self.spec.value
        json_values = self.spec.json_values and vf is not None
        null_text = reader.null_text
        loads = jsonio.loads
        mark = jsonio.WRAPPER_MARK.decode()
        careful = self.careful
        for batch in reader.batches():
            records = batch.records
            for i, rec in enumerate(records):
                try:
                    key = rec[kf]
                    if type(key) is not str or not key:
                        raise LookupError
                    obj = rec if vf is None else rec[vf]
                    if json_values:
                        if mark in obj:
                            raise LookupError  # a wrapper to unwrap: the careful path does it
                        obj = loads(obj)
                    if af:
                        put(key, pack(obj), *fields.aliases(rec, af, key))
                    else:
                        put(key, pack(obj))
                except Exception:
                    careful(reader.where(batch.number(i)), rec, null_text)
            self.records += len(records)
            bar.update(reader.done(), self.records)

    def careful(self, where: str, rec: Any, null_text: str) -> None:
        spec = self.spec
        if type(rec) is not dict:
            raise BadInput(where, f"not a JSON object but {_kind(rec)}")
        try:
            if spec.key not in rec:
                raise ValueError(f"no key field {spec.key!r}")
            key = fields.key_text(rec[spec.key], spec.key)
            if key is None:
                raise ValueError(f"key field {spec.key!r} is {null_text}")
            key = fields.exact(key)
            if spec.value is None:
                obj = rec
            elif spec.value not in rec:
                raise ValueError(f"no value field {spec.value!r}")
            else:
                obj = rec[spec.value]
                if spec.json_values and type(obj) is str:
                    try:
                        obj = jsonio.unwrap(jsonio.loads(obj.encode("utf-8", "surrogateescape")))
                    except ValueError as exc:
                        raise ValueError(f"value field {spec.value!r}: bad JSON ({exc})") from None
            alias_keys = fields.aliases(rec, spec.aliases, key)
        except ValueError as exc:
            raise BadInput(where, str(exc)) from None
        self._put(where, key, obj, alias_keys)

    def _put(self, where: str, key: fields.Key, obj: Any, alias_keys: list[fields.Key]) -> None:
        try:
            raw = self.pack(obj)
        except (TypeError, ValueError, OverflowError):
            try:
                raw = self.pack(fields.storable(obj))
            except ValueError as why:  # also UnicodeEncodeError: text that was not UTF-8
                raise BadInput(where, _storable_text(why)) from None
            except (TypeError, OverflowError) as why:
                raise BadInput(where, _storable_text(why)) from None
        try:
            self.writer.put_raw(key, raw, *alias_keys)
        except tarnkv.DuplicateKeyError as exc:
            dup = exc.args[1] if len(exc.args) > 1 else key
            raise BadInput(where, f"duplicate key {_show(dup)} (an earlier record has it; "
                                  "--on-duplicate first or last keeps one)") from None
        except (tarnkv.TarnError, ValueError, TypeError) as exc:
            raise BadInput(where, str(exc)) from None


def _show(key: Any) -> str:
    if isinstance(key, bytes):
        key = key.decode("utf-8", "backslashreplace")
    return repr(key)


def _storable_text(exc: BaseException) -> str:
    if isinstance(exc, UnicodeEncodeError):
        return "a value holds bytes that are not UTF-8 text"
    text = str(exc)
    return text if text.startswith("a value") else f"can't store the value: {text}"


def _kind(value: Any) -> str:
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    return "a number" if isinstance(value, (int, float)) else type(value).__name__


def _size_text(n: float) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:,.0f} {unit}" if unit == "bytes" else f"{n:,.1f} {unit}"
        n /= 1024
    return f"{n:,.1f} TiB"


def run(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    out = args.output
    if args.inputs.count("-") > 1:
        raise CliError('standard input ("-") can be read only once')
    _check_output(out)
    spec = Spec(args.key, args.alias, args.value, args.json_values)
    writer = stores.new_writer(args.on_duplicate)
    loader = Loader(writer, spec)
    with Progress(wanted(args.quiet)) as progress:
        for path in args.inputs:
            source = open_source(path, args.format)
            try:
                reader = open_reader(source, spec.columns())
                _check_fields(reader, spec)
                bar = progress.bar(f"reading {source.name}", source.size, records=True)
                loader.load(reader, bar)
                progress.done(bar)
            finally:
                source.close()
        bar = progress.bar(f"writing {out}", None)
        result = stores.build(writer, out, progress.callback(bar))
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"{out}: {loader.records:,} records, {result.num_keys:,} keys, "
              f"{result.num_objects:,} objects, {_size_text(result.file_size)}, {seconds:.2f} s",
              flush=True)
    return 0
