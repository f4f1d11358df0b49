"""Putting records into the writer: the native JSON Lines path, the Python loop for the other
formats, and the careful path that every record either leaves to."""

from __future__ import annotations

import queue
import threading
from bisect import bisect_right
from dataclasses import dataclass
from typing import Any

import msgpack

import tarnkv
from tarnkv import _native, forms
from tarnkv.cli import fields, jsonio
from tarnkv.cli.errors import BadInput
from tarnkv.cli.records import JsonLinesReader, RecordReader

# The native JSON Lines converter (there when the package was built with yyjson).
_transcode: Any = getattr(_native, "_transcode_json_lines", None)
_put_batch: Any = getattr(_native, "_put_json_batch", None)
# Converted batches waiting for the writer: about a megabyte of input each.
QUEUED_BATCHES = 4


@dataclass
class FieldRoles:
    """Which fields of a record are its key, its alias keys and its object."""

    key: str
    aliases: list[str]
    value: str | None
    json_values: bool
    big_ints: forms.BigInts = "error"  # what a value's integer beyond 64 bits does

    def columns(self) -> list[str] | None:
        """The columns a build needs, when it needs fewer than all of them."""
        if self.value is None:
            return None
        return list(dict.fromkeys([self.key, *self.aliases, self.value]))


class RecordLines:
    """Where the records put so far came from, by object ID, for a message about an earlier
    record: runs of records on consecutive lines, so a few entries per input."""

    def __init__(self) -> None:
        self._starts: list[int] = []  # the first object ID of each run
        self._runs: list[tuple[RecordReader, int]] = []  # its reader and line (or row)

    def note(self, object_id: int, reader: RecordReader, number: int) -> None:
        """Object ``object_id`` is the record at line ``number`` of ``reader``."""
        if self._runs:
            last, line = self._runs[-1]
            if last is reader and line + object_id - self._starts[-1] == number:
                return
        self._starts.append(object_id)
        self._runs.append((reader, number))

    def where(self, object_id: int) -> str | None:
        i = bisect_right(self._starts, object_id) - 1
        if i < 0:
            return None
        reader, line = self._runs[i]
        return reader.where(line + object_id - self._starts[i])


class Loader:
    """Puts records into the writer (whose objects are MessagePack bytes made here).

    JSON Lines go through the native fast path when it is built; other formats through a
    Python loop. Both hand every record they can't take as it is to ``careful``, which repairs
    what it can (non-string keys, undecodable bytes, dates) and names what it can't.
    """

    def __init__(self, writer: Any, roles: FieldRoles) -> None:
        self.writer = writer
        self.roles = roles
        self.records = 0
        self.pack = msgpack.Packer(use_bin_type=True).pack
        # Under "error" every record put is one object, numbered in order: a duplicate's
        # message names the line of the record whose object has the key.
        self.lines = RecordLines() if getattr(writer, "on_duplicate", None) == "error" else None

    def load(self, reader: RecordReader, bar: Any) -> None:
        if _transcode is not None and isinstance(reader, JsonLinesReader):
            self._load_lines(reader, bar)
        else:
            self._load_records(reader, bar)

    def _load_lines(self, reader: JsonLinesReader, bar: Any) -> None:
        """JSON Lines through the native path: a thread reads and converts the input (without
        the interpreter lock) while this one puts the batches it made into the writer."""
        roles = self.roles
        put = self.writer.put_raw
        # A batch goes into the writer in one call that holds no interpreter lock, while the
        # reading thread converts the next one; a writer without that call takes the records
        # one put_raw at a time.
        put_many = getattr(self.writer, "_put_many_raw", None)
        if put_many is None:
            put_many = lambda batch, skip: _put_batch(put, batch, skip)  # noqa: E731
        fields_ = (roles.key.encode(), tuple(a.encode() for a in roles.aliases),
                   None if roles.value is None else roles.value.encode())
        batches: queue.Queue[Any] = queue.Queue(maxsize=QUEUED_BATCHES)
        cancel = threading.Event()
        thread = threading.Thread(target=_produce, args=(reader, fields_, batches, cancel),
                                  name="tarnkv-build-reader", daemon=True)
        thread.start()
        try:
            while (item := batches.get()) is not None:
                if isinstance(item, BaseException):
                    raise item
                data, pos, number, batch, count, stop = item
                if self.lines is not None:
                    self.lines.note(self.writer.num_objects, reader, number)
                done = put_many(batch, 0)
                while done < count:
                    # That record's put would raise: the Python path says why (or stores it).
                    start = pos
                    for _ in range(done):
                        start = data.index(b"\n", start) + 1
                    self._careful_line(reader, data, start, number + done)
                    done = put_many(batch, done + 1)
                self.records += count
                if stop < len(data):
                    self._careful_line(reader, data, stop, number + count)
                bar.update(reader.done(), self.records)
        finally:
            cancel.set()
            thread.join(timeout=1.0)  # a thread stuck reading a pipe ends with the process

    def _careful_line(self, reader: JsonLinesReader, data: bytes, start: int, number: int) -> None:
        end = data.find(b"\n", start) + 1 or len(data)
        rec = reader.parse_line(data[start:end], number)
        if rec is not None:
            if self.lines is not None:
                self.lines.note(self.writer.num_objects, reader, number)
            self.careful(reader.where(number), rec, reader.null_text)
            self.records += 1

    def _load_records(self, reader: RecordReader, bar: Any) -> None:
        put = self.writer.put_raw
        pack = self.pack
        kf, af, vf = self.roles.key, self.roles.aliases, self.roles.value
        json_values = self.roles.json_values and vf is not None
        null_text = reader.null_text
        loads = jsonio.loads
        marks = tuple(m.decode() for m in jsonio.WRAPPER_MARKS)
        careful = self.careful
        lines = self.lines
        for batch in reader.batches():
            records = batch.records
            if lines is not None:
                first = self.writer.num_objects
                numbers = batch.numbers
                if numbers is None or numbers[-1] - numbers[0] == len(numbers) - 1:
                    lines.note(first, reader, batch.number(0))
                else:
                    for i, number in enumerate(numbers):
                        lines.note(first + i, reader, number)
            for i, rec in enumerate(records):
                try:
                    key = rec[kf]
                    if type(key) is not str or not key:
                        raise LookupError
                    obj = rec if vf is None else rec[vf]
                    if json_values:
                        if any(m in obj for m in marks) or jsonio.has_long_digits(obj):
                            raise LookupError  # a wrapper to unwrap, or long digits: the careful path
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
        roles = self.roles
        if type(rec) is not dict:
            raise BadInput(where, f"not a JSON object but {_kind(rec)}")
        try:
            if roles.key not in rec:
                raise ValueError(f"no key field {roles.key!r}{fields.found_fields(rec)}")
            key = fields.key_text(rec[roles.key], roles.key)
            if key is None:
                raise ValueError(f"key field {roles.key!r} is {null_text}")
            key = fields.exact(key)
            if roles.value is None:
                obj = rec
            elif roles.value not in rec:
                raise ValueError(f"no value field {roles.value!r}{fields.found_fields(rec)}")
            else:
                obj = rec[roles.value]
                if roles.json_values and type(obj) is str:
                    try:
                        obj = jsonio.unwrap(jsonio.loads_exact(obj.encode("utf-8", "surrogateescape")))
                    except ValueError as exc:
                        raise ValueError(f"value field {roles.value!r}: bad JSON ({exc})") from None
            alias_keys = fields.aliases(rec, roles.aliases, key)
        except ValueError as exc:
            raise BadInput(where, str(exc)) from None
        self._put(where, key, obj, alias_keys)

    def _put(self, where: str, key: fields.Key, obj: Any, alias_keys: list[fields.Key]) -> None:
        try:
            raw = self.pack(obj)
        except (TypeError, ValueError, OverflowError):
            try:
                raw = self.pack(fields.storable(obj, self.roles.big_ints, self.roles.value or ""))
            except ValueError as why:  # also UnicodeEncodeError: text that was not UTF-8
                raise BadInput(where, _storable_text(why)) from None
            except (TypeError, OverflowError) as why:
                raise BadInput(where, _storable_text(why)) from None
        try:
            self.writer.put_raw(key, raw, *alias_keys)
        except tarnkv.DuplicateKeyError as exc:
            # The key that collides (an alias, maybe) and the record that has it already.
            earlier = self.lines.where(exc.existing_id) if self.lines is not None else None
            has_it = f"an earlier record has it: {earlier}" if earlier else "an earlier record has it"
            raise BadInput(where, f"duplicate key {_show(exc.key)} ({has_it}; "
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


def _offer(batches: queue.Queue[Any], item: Any, cancel: threading.Event) -> bool:
    while not cancel.is_set():
        try:
            batches.put(item, timeout=0.1)
            return True
        except queue.Full:
            pass
    return False


def _produce(reader: JsonLinesReader, fields_: tuple[bytes, tuple[bytes, ...], bytes | None],
             batches: queue.Queue[Any], cancel: threading.Event) -> None:
    """The reading thread: converts whole chunks of lines and queues (data, offset, number of
    the line there, batch, records, offset of the line the Python path must take)."""
    key, aliases, value = fields_
    try:
        for data, first in reader.chunks():
            pos, number = 0, first
            while pos < len(data):
                batch, stop, count = _transcode(data, pos, key, aliases, value)
                if not _offer(batches, (data, pos, number, batch, count, stop), cancel):
                    return
                if stop >= len(data):
                    break
                # Each record of a batch is one line: the line at `stop` follows them.
                number += count + 1
                pos = data.find(b"\n", stop) + 1 or len(data)
        _offer(batches, None, cancel)
    except BaseException as exc:  # handed to the putting thread, which raises it
        _offer(batches, exc, cancel)
