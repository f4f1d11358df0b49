"""Where command output goes: standard output, or a file that appears only once it is complete."""

from __future__ import annotations

import os
import sys
import tempfile
from types import TracebackType
from typing import BinaryIO

from tarnkv.cli.errors import CliError, os_error_text

BUFFER = 1 << 20


def arg_bytes(text: str) -> bytes:
    """A command-line argument's exact bytes: arguments that are not UTF-8 reach Python with
    surrogate escapes, so a key typed from such bytes finds the key stored with them."""
    return text.encode("utf-8", "surrogateescape")


def stdout() -> BinaryIO:
    return sys.stdout.buffer


class OutputFile:
    """``-`` is standard output; a path is written beside itself under a temporary name and
    renamed into place when the block ends cleanly, compressed when it ends in .gz or .zst."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._tmp: str | None = None
        self._raw: BinaryIO | None = None
        self.stream: BinaryIO = stdout()

    def __enter__(self) -> BinaryIO:
        if self.path == "-":
            return self.stream
        target = self.path
        if os.path.isdir(target):
            raise CliError(f"{target}: is a directory")
        directory = os.path.dirname(target) or "."
        try:
            fd, self._tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(target)}.",
                                             suffix=".tmp")
        except OSError as exc:
            raise CliError(os_error_text(exc)) from None
        self._raw = os.fdopen(fd, "wb", buffering=BUFFER)
        lower = target.lower()
        if lower.endswith(".gz"):
            import gzip

            self.stream = gzip.GzipFile(filename="", mode="wb", fileobj=self._raw, compresslevel=6)  # type: ignore[assignment]
        elif lower.endswith((".zst", ".zstd")):
            from compression import zstd

            self.stream = zstd.ZstdFile(self._raw, "wb")  # type: ignore[assignment]
        else:
            self.stream = self._raw
        return self.stream

    def __exit__(self, et: type[BaseException] | None, ev: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._tmp is None or self._raw is None:
            return
        tmp, raw, self._tmp = self._tmp, self._raw, None
        error: OSError | None = None
        try:
            if et is None:
                if self.stream is not raw:
                    self.stream.close()  # the compressor's tail; the file stays open
                raw.flush()
                os.fchmod(raw.fileno(), 0o666 & ~_umask())
        except OSError as exc:
            error = exc
        finally:
            try:
                raw.close()
            except OSError as exc:
                error = error or exc
        if et is None and error is None:
            try:
                os.replace(tmp, self.path)
                return
            except OSError as exc:
                error = exc
        _remove(tmp)
        if error is not None and et is None:
            raise CliError(f"{self.path}: {error.strerror or error}") from None


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
