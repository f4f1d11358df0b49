"""Putting records into the writer: the native JSON Lines path, the Python loop for the other
formats, and the careful path that every record either leaves to."""

from __future__ import annotations

import queue
import threading
from bisect import bisect_right
from collections import deque
from collections.abc import Iterator
from typing import Any

import msgpack

import tarnkv
from tarnkv import records as rules
from tarnkv.cli import jsonio
from tarnkv.cli.errors import BadInput
from tarnkv.cli.records import JsonLinesReader, RecordReader

# Converted batches waiting for the writer: about a megabyte of input each.
QUEUED_BATCHES = 4


def check_fields(reader: RecordReader, roles: rules.RecordRoles) -> None:
    """A reader whose input names its fields (a CSV header, a Parquet schema) has each one the
    roles name, or the build stops before reading a record."""
    have = reader.fields
    if have is None:
        return
    key, alias_fields, value = roles.names()
    for role, name in [("key", key), *(("alias", a) for a in alias_fields), *([("value", value)] if value else [])]:
        if name not in have:
            shown = ", ".join(repr(f) for f in have[:20]) + (", ..." if len(have) > 20 else "")
            raise BadInput(reader.where(1), f"no {role} column {name!r} (columns: {shown})")



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


class Sink:
    """Where the loader puts records: a writer (:class:`WriterSink`) or a set build's run file
    (:class:`RunFileSink`). ``threaded``: whether JSON Lines are converted by a second thread
    while this one puts."""

    threaded = False

    def begin(self, reader: RecordReader, number: int) -> None:
        """The record at line (or row) ``number`` of ``reader`` is put next; those put after it
        follow it, line by line, until the next call."""

    def put(self, key: rules.Key, raw: bytes, *aliases: rules.Key) -> None:
        raise NotImplementedError

    def put_batch(self, batch: bytes, number: int, skip: int) -> int:
        """Puts the records of a converted batch (the first on line ``number``) from the
        ``skip``-th on; returns the index of the first it could not put (``len`` when all)."""
        raise NotImplementedError

    def earlier(self, object_id: int) -> str | None:
        """Where the record whose object is ``object_id`` came from, when known."""
        return None


class WriterSink(Sink):
    """Puts into a writer (whose objects are the MessagePack bytes the loader made)."""

    threaded = True

    def __init__(self, writer: Any) -> None:
        self.writer = writer
        self.put = writer.put_raw  # type: ignore[method-assign]
        # A batch goes into the writer in one call that holds no interpreter lock; a writer
        # without that call takes the records one put_raw at a time.
        put_many = getattr(writer, "put_many_raw", None)
        if put_many is None:
            put = writer.put_raw
            put_many = lambda batch, skip: rules.put_json_batch(put, batch, skip)  # noqa: E731
        self._put_many = put_many
        # Under "error" every record put is one object, numbered in order: a duplicate's
        # message names the line of the record whose object has the key.
        self.lines = RecordLines() if getattr(writer, "on_duplicate", None) == "error" else None

    def begin(self, reader: RecordReader, number: int) -> None:
        if self.lines is not None:
            self.lines.note(self.writer.num_objects, reader, number)

    def put_batch(self, batch: bytes, number: int, skip: int) -> int:
        return int(self._put_many(batch, skip))

    def earlier(self, object_id: int) -> str | None:
        return self.lines.where(object_id) if self.lines is not None else None


class RunFileSink(Sink):
    """Puts into a set build's run file, each record under its line (or row) number: what
    orders records with one key, and names them in a duplicate's message."""

    def __init__(self, run: Any) -> None:
        self.run = run
        self.seq = 0

    def begin(self, reader: RecordReader, number: int) -> None:
        self.seq = number

    def put(self, key: rules.Key, raw: bytes, *aliases: rules.Key) -> None:
        self.run.add(self.seq, key, raw, *aliases)
        self.seq += 1

    def put_batch(self, batch: bytes, number: int, skip: int) -> int:
        return int(self.run.add_json_batch(batch, number, skip))


class Loader:
    """Puts records into a sink, as MessagePack bytes made here.

    JSON Lines go through the native fast path when it is built; other formats through a
    Python loop. Both hand every record they can't take as it is to ``careful``, which repairs
    what it can (non-string keys, undecodable bytes, dates) and names what it can't.
    """

    def __init__(self, sink: Sink, roles: rules.RecordRoles) -> None:
        self.sink = sink
        self.roles = roles
        self.key, self.alias_fields, self.value = roles.names()
        self.records = 0
        self.pack = msgpack.Packer(use_bin_type=True).pack

    def load(self, reader: RecordReader, bar: Any) -> None:
        if rules.JSON_LINES_CONVERTER and isinstance(reader, JsonLinesReader):
            self._load_lines(reader, bar)
        else:
            self._load_records(reader, bar)

    def _load_lines(self, reader: JsonLinesReader, bar: Any) -> None:
        """JSON Lines through the native converter: whole batches of lines into the sink, and
        the line that stops a batch (or a record the sink refuses) through ``careful``."""
        sink = self.sink
        for data, pos, number, batch, count, stop, end in _converted(reader, self.roles, sink.threaded):
            sink.begin(reader, number)
            done = sink.put_batch(batch, number, 0)
            while done < count:
                # That record's put would raise: the Python path says why (or stores it).
                start = pos
                for _ in range(done):
                    start = data.index(b"\n", start) + 1
                self._careful_line(reader, data, start, number + done)
                done = sink.put_batch(batch, number, done + 1)
            self.records += count
            if stop < end:
                self._careful_line(reader, data, stop, number + count)
            bar.update(reader.done(), self.records)

    def _careful_line(self, reader: JsonLinesReader, data: bytes, start: int, number: int) -> None:
        end = data.find(b"\n", start) + 1 or len(data)
        rec = reader.parse_line(data[start:end], number)
        if rec is not None:
            self.sink.begin(reader, number)
            self.careful(reader.where(number), rec, reader.null_text)
            self.records += 1

    def _load_records(self, reader: RecordReader, bar: Any) -> None:
        put = self.sink.put
        begin = self.sink.begin
        pack = self.pack
        kf, af, vf = self.key, self.alias_fields, self.value
        json_values = self.roles.json_values and vf is not None
        null_text = reader.null_text
        loads = jsonio.loads
        marks = tuple(m.decode() for m in jsonio.WRAPPER_MARKS)
        careful = self.careful
        for batch in reader.batches():
            records = batch.records
            numbers = batch.numbers
            consecutive = numbers is None or numbers[-1] - numbers[0] == len(numbers) - 1
            if consecutive and records:
                begin(reader, batch.number(0))
            for i, rec in enumerate(records):
                if not consecutive:
                    begin(reader, batch.number(i))
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
                        put(key, pack(obj), *rules.aliases(rec, af, key))
                    else:
                        put(key, pack(obj))
                except Exception:
                    careful(reader.where(batch.number(i)), rec, null_text)
            self.records += len(records)
            bar.update(reader.done(), self.records)

    def careful(self, where: str, rec: Any, null_text: str) -> None:
        key_field, value_field = self.key, self.value
        if type(rec) is not dict:
            raise BadInput(where, f"not a JSON object but {_kind(rec)}")
        try:
            if key_field not in rec:
                raise ValueError(f"no key field {key_field!r}{rules.found_fields(rec)}")
            key = rules.field_key(rec[key_field], key_field)
            if key is None:
                raise ValueError(f"key field {key_field!r} is {null_text}")
            key = rules.exact(key)
            if value_field is None:
                obj = rec
            elif value_field not in rec:
                raise ValueError(f"no value field {value_field!r}{rules.found_fields(rec)}")
            else:
                obj = rec[value_field]
                if self.roles.json_values and type(obj) is str:
                    try:
                        obj = jsonio.unwrap(jsonio.loads_exact(obj.encode("utf-8", "surrogateescape")))
                    except ValueError as exc:
                        raise ValueError(f"value field {value_field!r}: bad JSON ({exc})") from None
            alias_keys = rules.aliases(rec, self.alias_fields, key)
        except ValueError as exc:
            raise BadInput(where, str(exc)) from None
        self._put(where, key, obj, alias_keys)

    def _put(self, where: str, key: rules.Key, obj: Any, alias_keys: list[rules.Key]) -> None:
        try:
            raw = self.pack(obj)
        except (TypeError, ValueError, OverflowError):
            try:
                raw = self.pack(rules.storable(obj, self.roles.big_ints, self.value or ""))
            except ValueError as why:  # also UnicodeEncodeError: text that was not UTF-8
                raise BadInput(where, _storable_text(why)) from None
            except (TypeError, OverflowError) as why:
                raise BadInput(where, _storable_text(why)) from None
        try:
            self.sink.put(key, raw, *alias_keys)
        except tarnkv.DuplicateKeyError as exc:
            raise self.duplicate(exc, where) from None
        except (tarnkv.TarnError, ValueError, TypeError) as exc:
            raise BadInput(where, str(exc)) from None

    def duplicate(self, exc: tarnkv.DuplicateKeyError, where: str | None = None) -> BadInput:
        """The error for a key that collides (an alias, maybe): at ``where``, or at the record
        whose object the key was given to (a writer that spilled finds it when it builds)."""
        earlier = self.sink.earlier(exc.existing_id)
        has_it = f"an earlier record has it: {earlier}" if earlier else "an earlier record has it"
        return BadInput(where or self.sink.earlier(exc.new_id) or "input",
                        f"duplicate key {_show(exc.key)} ({has_it}; --on-duplicate first or last keeps one)")


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


def _convert(data: bytes, start: int, end: int, first: int, roles: rules.RecordRoles) -> tuple[list[Any], int]:
    """The lines ``data[start:end]`` (the first numbered ``first``) converted: the items (data,
    offset, number of the line there, batch, records, offset of the line the Python path must
    take, end of the lines), and how many lines there were."""
    items = []
    pos, number = start, first
    while pos < end:
        batch, stop, count = rules.convert_json_lines(data, pos, roles, end)
        items.append((data, pos, number, batch, count, stop, end))
        # Each record of a batch is one line: the line at `stop` follows them.
        number += count
        if stop >= end:
            break
        number += 1
        pos = data.find(b"\n", stop, end) + 1 or end
    return items, number - first


def _batches(reader: JsonLinesReader, roles: rules.RecordRoles) -> Iterator[Any]:
    """The input's lines converted a read at a time (the items of :func:`_convert`)."""
    for data, start, end, first in reader.chunks():
        items, lines = _convert(data, start, end, first, roles)
        reader.lines(lines)
        yield from items


class _Piece:
    """A read's lines on their way to the putting thread: converted by whichever thread claims
    them first (the reading thread when it is ahead, else the putting thread)."""

    __slots__ = ("lines", "items", "error", "claimed", "ready")

    def __init__(self, lines: tuple[bytes, int, int, int]) -> None:
        self.lines = lines  # (data, start, end, number of the line at start)
        self.items: list[Any] = []
        self.error: BaseException | None = None
        self.claimed = False
        self.ready = threading.Event()

    def claim(self, claims: threading.Lock) -> bool:
        with claims:
            if self.claimed:
                return False
            self.claimed = True
            return True

    def convert(self, roles: rules.RecordRoles) -> None:
        try:
            self.items, _ = _convert(*self.lines, roles)
        except BaseException as exc:  # the putting thread raises it
            self.error = exc
        finally:
            self.ready.set()


def _converted(reader: JsonLinesReader, roles: rules.RecordRoles, threaded: bool) -> Iterator[Any]:
    """:func:`_batches`, read by a second thread and converted by both (without the
    interpreter lock) while the caller puts, when ``threaded``. A set build's partition task
    has a core to itself (the workers are the parallelism): a second thread there would only
    take turns with the first."""
    if not threaded:
        yield from _batches(reader, roles)
        return
    pieces: queue.Queue[Any] = queue.Queue(maxsize=QUEUED_BATCHES)
    claims = threading.Lock()
    cancel = threading.Event()
    thread = threading.Thread(target=_produce, args=(reader, roles, pieces, claims, cancel),
                              name="tarnkv-build-reader", daemon=True)
    thread.start()
    try:
        while (piece := pieces.get()) is not None:
            if isinstance(piece, BaseException):
                raise piece
            if piece.claim(claims):
                piece.convert(roles)
            else:
                piece.ready.wait()
            if piece.error is not None:
                raise piece.error
            yield from piece.items
            del piece
    finally:
        cancel.set()
        thread.join(timeout=1.0)  # a thread stuck reading a pipe ends with the process


def _produce(reader: JsonLinesReader, roles: rules.RecordRoles, pieces: queue.Queue[Any],
             claims: threading.Lock, cancel: threading.Event) -> None:
    """The reading thread: queues each read's lines as a :class:`_Piece`, then None (or what
    went wrong). Whatever time reading leaves it, it converts pieces: the one in hand while
    the queue is full, then, until there is room, the newest queued one nobody has claimed.
    The putting thread converts the pieces it finds unclaimed. So whichever side is slower,
    reading and converting or putting, the other takes over conversions from it."""
    queued: deque[_Piece] = deque()  # pieces this thread queued, from the oldest unclaimed on
    try:
        for lines in reader.chunks():
            piece = _Piece(lines)
            del lines
            if pieces.full() and piece.claim(claims):
                piece.convert(roles)
            while True:
                try:
                    pieces.put_nowait(piece)
                    break
                except queue.Full:
                    pass
                spare = next((p for p in reversed(queued) if not p.claimed), None)
                if spare is not None and spare.claim(claims):
                    spare.convert(roles)
                    continue
                if _offer(pieces, piece, cancel):
                    break
                return
            if not piece.claimed:
                queued.append(piece)
            del piece
            while queued and queued[0].claimed:
                queued.popleft()
        _offer(pieces, None, cancel)
    except BaseException as exc:  # handed to the putting thread, which raises it
        _offer(pieces, exc, cancel)
