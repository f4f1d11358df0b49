"""Opening build inputs: files or standard input, plain or compressed, and telling their format."""

from __future__ import annotations

import io
import os
import stat
import sys
from dataclasses import dataclass
from typing import BinaryIO

from tarnkv.cli.errors import CliError, os_error_text

FORMATS = ("jsonl", "csv", "tsv", "parquet")

_FORMAT_OF_SUFFIX = {
    ".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".ldjson": "jsonl",
    ".csv": "csv", ".tsv": "tsv", ".tab": "tsv",
    ".parquet": "parquet", ".pq": "parquet",
}
_COMPRESSION_OF_SUFFIX = {".gz": "gzip", ".zst": "zstd", ".zstd": "zstd", ".bz2": "bzip2", ".xz": "xz"}
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"\x28\xb5\x2f\xfd", "zstd"), (b"BZh", "bzip2"),
          (b"\xfd7zXZ\x00", "xz"))


@dataclass
class Source:
    """One input, opened: ``stream`` yields its decompressed bytes."""

    name: str  # as the user wrote it, for messages ("-" shows as "<stdin>")
    stream: BinaryIO
    raw: BinaryIO  # the file itself, whose position tells how much of it was read
    size: int | None  # bytes of ``raw`` when known (a regular file)
    compression: str | None
    format: str

    def position(self) -> int | None:
        """Bytes of ``raw`` read so far, or None when that can't be told (a pipe)."""
        try:
            return self.raw.tell()
        except (OSError, ValueError):
            return None

    def close(self) -> None:
        try:
            if self.stream is not self.raw:
                self.stream.close()
        finally:
            if self.raw is not sys.stdin.buffer:
                self.raw.close()


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _split_suffixes(path: str) -> tuple[str | None, str | None]:
    """(compression, format) told by the file name, each None when it tells nothing."""
    base = os.path.basename(path).lower()
    stem, ext = os.path.splitext(base)
    compression = _COMPRESSION_OF_SUFFIX.get(ext)
    if compression:
        ext = os.path.splitext(stem)[1]
    return compression, _FORMAT_OF_SUFFIX.get(ext)


def _peek(raw: BinaryIO, n: int) -> bytes:
    if isinstance(raw, io.BufferedReader):
        return raw.peek(n)[:n]
    pos = raw.tell()
    head = raw.read(n)
    raw.seek(pos)
    return head


def _decompressor(kind: str, raw: BinaryIO) -> BinaryIO:
    if kind == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if kind == "zstd":
        from compression import zstd

        return zstd.ZstdFile(raw, "rb")  # type: ignore[return-value]
    if kind == "bzip2":
        import bz2

        return bz2.BZ2File(raw, "rb")  # type: ignore[return-value]
    import lzma

    return lzma.LZMAFile(raw, "rb")  # type: ignore[return-value]


def _sniff_format(head: bytes) -> str | None:
    if head.startswith(b"PAR1"):
        return "parquet"
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    if text.startswith(b"{"):
        return "jsonl"
    return None


def open_source(path: str, fmt: str | None) -> Source:
    """Opens one input; ``fmt`` (from ``--format``) overrides what the name and content tell."""
    name = display_name(path)
    try:
        if path == "-":
            raw: BinaryIO = sys.stdin.buffer
        else:
            raw = open(path, "rb", buffering=1 << 16)  # noqa: SIM115 - closed by Source.close
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    try:
        size = None
        try:
            st = os.fstat(raw.fileno())
            if stat.S_ISDIR(st.st_mode):
                raise CliError(f"{name}: is a directory")
            if stat.S_ISREG(st.st_mode):
                size = st.st_size
        except (OSError, io.UnsupportedOperation):
            pass
        compression, named_format = _split_suffixes(path) if path != "-" else (None, None)
        head = _peek(raw, 8)
        sniffed = next((kind for magic, kind in _MAGIC if head.startswith(magic)), None)
        if compression and sniffed != compression:
            # A name ending in .gz for a plain file: trust the bytes.
            compression = sniffed
        compression = compression or sniffed
        stream = _decompressor(compression, raw) if compression else raw
        fmt = fmt or named_format
        if fmt is None:
            try:
                inner = stream.peek(8)[:8] if hasattr(stream, "peek") else b""
            except (OSError, EOFError, ValueError) as exc:
                raise CliError(f"{name}: can't read the {compression} data ({exc})") from None
            fmt = _sniff_format(inner)
            if fmt is None:
                raise CliError(f"{name}: can't tell the input's format from its name or content; "
                               f"give --format {'|'.join(FORMATS)}")
        return Source(name, stream, raw, size, compression, fmt)
    except BaseException:
        if raw is not sys.stdin.buffer:
            raw.close()
        raise
