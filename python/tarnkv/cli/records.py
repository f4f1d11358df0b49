"""Record readers for the input formats: each yields batches of records with their line numbers.

Readers hand out batches rather than single records so that parsing runs in tight loops and the
progress display is touched once per batch, not once per record.
"""

from __future__ import annotations

import csv
import io
import shutil
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from tarnkv.cli import jsonio
from tarnkv.records import newlines
from tarnkv.cli.errors import BadInput, CliError
from tarnkv.cli.inputs import Source

CHUNK = 1 << 20
CSV_BATCH = 4096
PARQUET_BATCH = 65536


@dataclass(slots=True)
class Batch:
    records: list[Any]
    first: int  # number of the first record's line (or row)
    numbers: list[int] | None = None  # each record's number, when they are not consecutive

    def number(self, i: int) -> int:
        return self.numbers[i] if self.numbers is not None else self.first + i


class RecordReader:
    """Base: ``unit`` names what numbers count, ``fields`` the columns when known up front."""

    unit = "line"
    null_text = "null"  # what a missing value is called in messages
    fields: list[str] | None = None

    def __init__(self, source: Source) -> None:
        self.source = source
        self.read_bytes = 0  # decompressed bytes consumed, for pipes whose position is unknown

    def where(self, number: int) -> str:
        return f"{self.source.name}, {self.unit} {number}"

    def done(self) -> int:
        """Bytes of the input consumed so far, on the scale of ``source.size``."""
        pos = self.source.position()
        return self.read_bytes if pos is None else pos

    def batches(self) -> Iterator[Batch]:
        raise NotImplementedError

    def _read_error(self, exc: BaseException, number: int) -> BadInput:
        what = f"corrupt {self.source.compression} data" if self.source.compression else "read error"
        detail = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        # `number` is the first line the failure leaves incomplete.
        where = f"after {self.unit} {number - 1}" if number > 1 else f"{self.unit} 1"
        return BadInput(f"{self.source.name}, {where}", f"{what}: {detail}")


def _json_problem(exc: ValueError, line: bytes) -> str:
    msg = getattr(exc, "msg", None)
    col = getattr(exc, "colno", None)
    if line.startswith(jsonio.FAILURE_MARK.encode()):
        # The last line of an output that its producer could not finish (`tarnkv dump`).
        told = line[len(jsonio.FAILURE_MARK):].decode("utf-8", "replace").strip()
        return f"the input is incomplete: whatever wrote it failed ({told})"
    if isinstance(exc, UnicodeDecodeError):
        return "bad JSON: not UTF-8 text"
    problem = f"bad JSON at column {col}: {msg}" if msg is not None and col is not None else f"bad JSON: {exc}"
    # A line that ends before its value does, or that starts with what ends one: the usual
    # cause is a JSON document written over several lines.
    body = line.lstrip()
    cut_short = (msg or "").startswith("unexpected end of data")
    closes = body[:1] in (b"]", b"}", b",") and col == 1 + len(line) - len(body)
    if cut_short or closes:
        problem += " (JSON Lines hold one whole JSON value per line)"
    return problem


class JsonLinesReader(RecordReader):
    def __init__(self, source: Source) -> None:
        super().__init__(source)
        self._told: int | None = None

    def lines(self, n: int) -> None:
        """The caller tells how many lines the piece :meth:`chunks` just handed out held (it
        met each of them converting them), so that the reader need not count them again."""
        self._told = n

    def _after(self, data: bytes, start: int, end: int, first: int) -> int:
        """The number of the line after ``data[start:end]``, whose first line is ``first``."""
        told, self._told = self._told, None
        return first + (told if told is not None else newlines(data, start, end))

    def chunks(self) -> Iterator[tuple[bytes, int, int, int]]:
        """(data, start, end, number of the line at start): whole lines ``data[start:end]``,
        each ending in a newline except perhaps the file's last; a byte-order mark at the start
        is dropped.

        A read's lines are handed out in place, never copied out of it: only the line that
        two reads share is joined into a piece of its own. A line longer than a read is
        gathered in one growing buffer and copied out once, and nothing here holds on to a
        joined line while the caller works on it, so that one huge line costs about twice
        its size here. A read that fails (a truncated compressed file) fails after the lines
        before it, and names the last whole line."""
        stream = self.source.stream
        read = getattr(stream, "read1", None) or stream.read
        # The start of a line no read has ended yet: a list of pieces, or once it is longer
        # than a chunk, one buffer (pieces of a long line would be freed as scattered blocks
        # that the allocator keeps).
        rest: list[bytes] | bytearray = []
        first = 1
        start = True
        while True:
            pieces: list[bytes] = []
            size = 0
            failure: BaseException | None = None
            while size < CHUNK:
                try:
                    piece = read(CHUNK - size)
                except Exception as exc:  # decompressors raise their own types (zlib.error, ZstdError)
                    failure = exc
                    break
                if not piece:
                    break
                pieces.append(piece)
                size += len(piece)
            self.read_bytes += size
            chunk = pieces[0] if len(pieces) == 1 else b"".join(pieces)
            del pieces
            if start and chunk:
                start = False
                if chunk.startswith(b"\xef\xbb\xbf"):
                    chunk = chunk[3:]
            begin = 0  # where this read's own lines start
            if rest and chunk:
                # The line an earlier read began ends at this read's first newline.
                begin = chunk.find(b"\n") + 1
                if begin:
                    if isinstance(rest, bytearray):
                        rest += chunk[:begin]
                        joined = bytes(rest)
                    else:
                        rest.append(chunk[:begin])
                        joined = b"".join(rest)
                    rest = []
                    yield joined, 0, len(joined), first
                    first = self._after(joined, 0, len(joined), first)
                    del joined
            if rest and chunk:  # no newline in this read: the line goes on
                if isinstance(rest, bytearray):
                    rest += chunk
                else:
                    rest.append(chunk)
                    if len(rest) > 1 and sum(map(len, rest)) > CHUNK:
                        rest = bytearray().join(rest)
            else:
                cut = chunk.rfind(b"\n", begin) + 1
                if cut:
                    yield chunk, begin, cut, first
                    first = self._after(chunk, begin, cut, first)
                else:
                    cut = begin
                if cut < len(chunk):  # this read is not empty, so nothing was left before it
                    rest = [chunk[cut:]]
            del chunk
            if failure is not None:
                raise self._read_error(failure, first)
            if not size:
                if rest:
                    last = bytes(rest) if isinstance(rest, bytearray) else b"".join(rest)
                    yield last, 0, len(last), first
                return

    def batches(self) -> Iterator[Batch]:
        loads = jsonio.loads
        for data, start, end, first in self.chunks():
            if start or end < len(data):
                data = data[start:end]
            lines = data.split(b"\n")
            if not lines[-1]:
                lines.pop()
            self.lines(len(lines))
            try:
                if jsonio.has_long_digits(data):
                    batch = Batch([jsonio.loads_exact(line) for line in lines], first)
                else:
                    batch = Batch([loads(line) for line in lines], first)
            except ValueError:
                batch = self._parse_slowly(lines, first)
            if jsonio.might_wrap(data):
                records = batch.records
                for i, rec in enumerate(records):
                    try:
                        records[i] = jsonio.unwrap(rec)
                    except ValueError as exc:
                        raise BadInput(self.where(batch.number(i)), str(exc)) from None
            yield batch

    def parse_line(self, line: bytes, number: int) -> Any:
        """One line's record, with its wrappers unwrapped; None for a blank line."""
        if not line.strip():
            return None
        line = line.rstrip(b"\r\n")  # so that columns count from this line's start
        try:
            rec = jsonio.loads_exact(line)
        except ValueError as exc:
            raise BadInput(self.where(number), _json_problem(exc, line)) from None
        if jsonio.might_wrap(line):
            try:
                rec = jsonio.unwrap(rec)
            except ValueError as exc:
                raise BadInput(self.where(number), str(exc)) from None
        return rec

    def _parse_slowly(self, lines: list[bytes], first: int) -> Batch:
        """Skips blank lines and names the first line that is not JSON."""
        records: list[Any] = []
        numbers: list[int] = []
        for i, line in enumerate(lines):
            rec = self.parse_line(line, first + i)
            if rec is not None or line.strip():
                records.append(rec)
                numbers.append(first + i)
        return Batch(records, first, numbers)


class CsvReader(RecordReader):
    # An empty cell is null (None), a quoted empty cell ("") the empty string.
    null_text = "empty"

    def __init__(self, source: Source, delimiter: str) -> None:
        super().__init__(source)
        csv.field_size_limit(sys.maxsize)
        # Bytes that are not UTF-8 survive as lone surrogates: keys get their exact bytes back,
        # values are refused with the line that holds them.
        self._text = io.TextIOWrapper(source.stream, encoding="utf-8-sig", errors="surrogateescape",
                                      newline="")
        self._reader = csv.reader(self._text, delimiter=delimiter, strict=True,
                                  quoting=csv.QUOTE_NOTNULL)
        header = self._next_row()
        if header is None:
            raise BadInput(self.where(1), "no header row (the file is empty)")
        seen: set[str] = set()
        header = ["" if name is None else name for name in header]
        for name in header:
            if name in seen:
                raise BadInput(self.where(1), f"column {name!r} appears twice in the header row")
            seen.add(name)
        self.fields = header

    def _next_row(self) -> list[str] | None:
        try:
            return next(self._reader, None)
        except csv.Error as exc:
            raise BadInput(self.where(self._reader.line_num), f"bad {self._kind()}: {exc}") from None
        except Exception as exc:
            raise self._read_error(exc, self._reader.line_num + 1) from None

    def _kind(self) -> str:
        return "TSV" if self._reader.dialect.delimiter == "\t" else "CSV"

    def batches(self) -> Iterator[Batch]:
        fields = self.fields
        assert fields is not None
        width = len(fields)
        reader = self._reader
        while True:
            records: list[dict[str, str]] = []
            numbers: list[int] = []
            for _ in range(CSV_BATCH):
                start = reader.line_num + 1
                row = self._next_row()
                if row is None:
                    break
                if len(row) != width:
                    if not row:
                        continue  # a blank line
                    if row[0].startswith(jsonio.FAILURE_MARK):
                        told = row[0][len(jsonio.FAILURE_MARK):]
                        raise BadInput(self.where(start), "the input is incomplete: whatever wrote "
                                                          f"it failed ({told})")
                    raise BadInput(self.where(start),
                                   f"{len(row)} fields where the header row has {width}")
                records.append(dict(zip(fields, row)))
                numbers.append(start)
            if not records:
                return
            yield Batch(records, numbers[0], numbers)


class ParquetReader(RecordReader):
    unit = "row"

    def __init__(self, source: Source, columns: list[str] | None) -> None:
        super().__init__(source)
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise CliError(f"{source.name}: reading Parquet needs pyarrow "
                           "(the package's 'parquet' extra)") from None

        self._pa: Any = pa
        self._spool: Any = None
        handle: Any = source.stream
        if source.compression or not source.stream.seekable():
            # Parquet keeps its directory at the end of the file: a pipe or a compressed file is
            # spooled to a temporary file first (on disk, not in memory).
            self._spool = tempfile.TemporaryFile(prefix="tarnkv-")
            try:
                shutil.copyfileobj(source.stream, self._spool, CHUNK)
            except OSError as exc:
                raise self._read_error(exc, 1) from None
            self._spool.seek(0)
            handle = self._spool
        try:
            self._file = pq.ParquetFile(handle)
        except Exception as exc:  # pyarrow raises ArrowInvalid and friends
            raise BadInput(source.name, f"not a readable Parquet file: {exc}") from None
        self.fields = list(self._file.schema_arrow.names)
        self._columns = columns
        self._rows: int = self._file.metadata.num_rows
        self._done_rows = 0

    def done(self) -> int:
        if not self._rows or not self.source.size:
            return 0
        return self.source.size * self._done_rows // self._rows

    def batches(self) -> Iterator[Batch]:
        row = 1
        try:
            for rb in self._file.iter_batches(batch_size=PARQUET_BATCH, columns=self._columns):
                records = self._records(rb, row)
                yield Batch(records, row)
                row += len(records)
                self._done_rows = row - 1
        except (OSError, ValueError, TypeError) as exc:
            raise BadInput(self.where(row), f"can't read the Parquet data: {exc}") from None
        finally:
            if self._spool is not None:
                self._spool.close()

    def _records(self, rb: Any, row: int) -> list[dict[str, Any]]:
        """The rows of a record batch as dicts, every value exact (see ``_exact_values``);
        a value Python can't hold (a timestamp beyond year 9999) is bad input naming it."""
        pa = self._pa
        try:
            exact = {i: values for i, column in enumerate(rb.columns)
                     if (values := _exact_values(pa, column)) is not None}
            if exact:
                rb = pa.RecordBatch.from_arrays(
                    [pa.nulls(len(c)) if i in exact else c for i, c in enumerate(rb.columns)],
                    names=rb.schema.names)
            records: list[dict[str, Any]] = rb.to_pylist()
        except (OverflowError, ValueError, pa.ArrowException) as exc:
            raise self._bad_value(rb, row, exc) from None
        names = rb.schema.names
        for i, values in exact.items():
            name = names[i]
            for rec, value in zip(records, values):
                rec[name] = value
        return records

    def _bad_value(self, rb: Any, row: int, exc: BaseException) -> BadInput:
        """Bad input at the first value of ``rb`` that can't be converted."""
        pa = self._pa
        for name, column in zip(rb.schema.names, rb.columns):
            for j in range(len(column)):
                one = column.slice(j, 1)
                try:
                    if _exact_values(pa, one) is None:
                        one.to_pylist()
                except (OverflowError, ValueError, pa.ArrowException) as why:
                    try:
                        raw = one.cast(pa.int64())[0].as_py()
                    except (ValueError, TypeError, pa.ArrowException):
                        raw = "?"
                    return BadInput(self.where(row + j), f"column {name!r}: its {column.type} value {raw} "
                                                         f"is out of range ({why})")
        return BadInput(self.where(row), f"can't read the Parquet data: {exc}")


# Nanoseconds in one unit of Arrow's temporal types.
_UNIT_NS = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1000, "ns": 1}


def _with_nanos(text: str, width: int, nanos: int) -> str:
    """ISO 8601 text with microseconds (``width`` characters up to their end) and three more
    digits of nanoseconds, as pandas writes a Timestamp that has them."""
    return f"{text[:width]}{nanos:03d}{text[width:]}"


def _exact_values(pa: Any, column: Any) -> list[Any] | None:
    """The values of a column that Python's own types would cut, in forms that keep every
    digit: durations as whole nanoseconds, nanosecond timestamps and times as ISO 8601 text
    with nine digits of fraction where they have them. None for other columns."""
    kind = column.type
    if pa.types.is_duration(kind):
        scale = _UNIT_NS[kind.unit]
        return [None if v is None else v * scale for v in column.cast(pa.int64()).to_pylist()]
    timestamp = pa.types.is_timestamp(kind)
    if not (timestamp or pa.types.is_time64(kind)) or kind.unit != "ns":
        return None
    ints = column.cast(pa.int64()).to_pylist()
    micros = pa.array([None if v is None else v // 1000 for v in ints], pa.int64())
    coarse = micros.cast(pa.timestamp("us", tz=kind.tz) if timestamp else pa.time64("us")).to_pylist()
    width = 26 if timestamp else 15  # "YYYY-MM-DDTHH:MM:SS.ffffff", "HH:MM:SS.ffffff"
    out: list[Any] = []
    for v, value in zip(ints, coarse):
        if v is None:
            out.append(None)
        elif v % 1000:
            out.append(_with_nanos(value.isoformat(timespec="microseconds"), width, v % 1000))
        else:
            out.append(value.isoformat())
    return out


def open_reader(source: Source, columns: list[str] | None) -> RecordReader:
    """The reader for ``source``'s format; ``columns`` limits what Parquet decodes."""
    if source.format == "jsonl":
        return JsonLinesReader(source)
    if source.format == "csv":
        return CsvReader(source, ",")
    if source.format == "tsv":
        return CsvReader(source, "\t")
    if source.format == "parquet":
        return ParquetReader(source, columns)
    raise CliError(f"unknown input format {source.format!r}")
