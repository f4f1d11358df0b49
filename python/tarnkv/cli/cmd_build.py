"""``tarnkv build``: stream records from data files into a new store."""

from __future__ import annotations

import argparse
import os
import time
from array import array
from dataclasses import dataclass
from typing import Any

import tarnkv
from tarnkv.cli import fields, jsonio, stores
from tarnkv.cli.errors import BadInput, CliError
from tarnkv.cli.inputs import open_source
from tarnkv.cli.progress import Progress, wanted
from tarnkv.cli.records import Batch, RecordReader, open_reader


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


class Origins:
    """Where each object came from (input, line), kept to name the first sighting of a
    duplicate key: 8 bytes per object."""

    def __init__(self) -> None:
        self.names: list[str] = []
        self.inputs = array("H")
        self.lines = array("Q")

    def where(self, obj_id: int) -> str | None:
        if 0 <= obj_id < len(self.lines):
            return f"{self.names[self.inputs[obj_id]]}, line {self.lines[obj_id]}"
        return None


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
    """Puts records into the writer: a fast path for the common record, and a careful one that
    repairs what it can (non-string keys, undecodable bytes, dates) and names what it can't."""

    def __init__(self, writer: Any, spec: Spec) -> None:
        self.writer = writer
        self.spec = spec
        self.records = 0

    def load(self, reader: RecordReader, bar: Any) -> None:
        put = self.writer.put
        kf, af, vf = self.spec.key, self.spec.aliases, self.spec.value
        json_values = self.spec.json_values and vf is not None
        null_empty = reader.empty_is_null
        loads = jsonio.loads
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
                        if '"$' in obj:
                            raise LookupError  # a wrapper to unwrap: the careful path does it
                        obj = loads(obj)
                    if af:
                        put(key, obj, *fields.aliases(rec, af, key, null_empty))
                    else:
                        put(key, obj)
                except Exception:
                    careful(reader, batch, i)
            self.records += len(records)
            bar.update(reader.done(), self.records)

    def careful(self, reader: RecordReader, batch: Batch, i: int) -> None:
        rec = batch.records[i]
        spec = self.spec
        where = reader.where(batch.number(i))
        if type(rec) is not dict:
            raise BadInput(where, f"not a JSON object but {_kind(rec)}")
        try:
            if spec.key not in rec:
                raise ValueError(f"no key field {spec.key!r}")
            key = fields.key_text(rec[spec.key], spec.key, reader.empty_is_null)
            if key is None:
                raise ValueError(f"key field {spec.key!r} is "
                                 + ("empty" if rec[spec.key] == "" else "null"))
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
            alias_keys = fields.aliases(rec, spec.aliases, key, reader.empty_is_null)
        except ValueError as exc:
            raise BadInput(where, str(exc)) from None
        self._put(where, key, obj, alias_keys)

    def _put(self, where: str, key: fields.Key, obj: Any, alias_keys: list[fields.Key]) -> None:
        for attempt in range(2):
            try:
                self.writer.put(key, obj, *alias_keys)
                return
            except tarnkv.DuplicateKeyError as exc:
                raise BadInput(where, _duplicate_text(exc)) from None
            except (TypeError, UnicodeEncodeError) as exc:
                if attempt:
                    raise BadInput(where, _storable_text(exc)) from None
                try:
                    obj = fields.storable(obj)
                except ValueError as why:
                    raise BadInput(where, str(why)) from None
            except (tarnkv.TarnError, ValueError) as exc:
                raise BadInput(where, str(exc)) from None


def _duplicate_text(exc: BaseException) -> str:
    text = str(exc)
    return text if "duplicate" in text.lower() else f"duplicate key: {text}"


def _storable_text(exc: BaseException) -> str:
    if isinstance(exc, UnicodeEncodeError):
        return "a value holds bytes that are not UTF-8 text"
    return f"can't store the value: {exc}"


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
        size = os.path.getsize(out)
        print(f"{out}: {loader.records:,} records, {result['num_keys']:,} keys, "
              f"{result['num_objects']:,} objects, {_size_text(size)}, {seconds:.2f} s", flush=True)
    return 0
