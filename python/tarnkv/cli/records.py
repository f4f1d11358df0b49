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
        return BadInput(f"{self.source.name}, after {self.unit} {number - 1}", f"{what}: {detail}")


def _json_problem(exc: ValueError) -> str:
    msg = getattr(exc, "msg", None)
    col = getattr(exc, "colno", None)
    if isinstance(exc, UnicodeDecodeError):
        return "bad JSON: not UTF-8 text"
    if msg is not None and col is not None:
        return f"bad JSON at column {col}: {msg}"
    return f"bad JSON: {exc}"


class JsonLinesReader(RecordReader):
    def chunks(self) -> Iterator[tuple[bytes, int]]:
        """(data, number of its first line): whole lines, each ending in a newline except
        perhaps the file's last; a byte-order mark at the start is dropped."""
        read = self.source.stream.read
        rest = b""
        first = 1
        start = True
        while True:
            try:
                chunk = read(CHUNK)
            except Exception as exc:  # decompressors raise their own types (zlib.error, ZstdError)
                raise self._read_error(exc, first) from None
            if not chunk:
                if rest:
                    yield rest, first
                return
            self.read_bytes += len(chunk)
            data = rest + chunk if rest else chunk
            if start and data.startswith(b"\xef\xbb\xbf"):
                data = data[3:]
            start = False
            cut = data.rfind(b"\n") + 1
            if not cut:
                rest = data
                continue
            rest = data[cut:]
            body = data[:cut] if rest else data
            yield body, first
            first += body.count(b"\n")

    def batches(self) -> Iterator[Batch]:
        loads = jsonio.loads
        for data, first in self.chunks():
            lines = data.split(b"\n")
            if not lines[-1]:
                lines.pop()
            try:
                batch = Batch([loads(line) for line in lines], first)
            except ValueError:
                batch = self._parse_slowly(lines, first)
            if jsonio.WRAPPER_MARK in data:
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
        try:
            rec = jsonio.loads(line)
        except ValueError as exc:
            raise BadInput(self.where(number), _json_problem(exc)) from None
        if jsonio.WRAPPER_MARK in line:
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
            import pyarrow.parquet as pq
        except ImportError:
            raise CliError(f"{source.name}: reading Parquet needs pyarrow "
                           "(the package's 'parquet' extra)") from None

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
                records = rb.to_pylist()
                yield Batch(records, row)
                row += len(records)
                self._done_rows = row - 1
        except (OSError, ValueError, TypeError) as exc:
            raise BadInput(self.where(row), f"can't read the Parquet data: {exc}") from None
        finally:
            if self._spool is not None:
                self._spool.close()


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
