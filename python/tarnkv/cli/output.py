"""Where command output goes: standard output, or a file that appears only once it is complete."""

from __future__ import annotations

import os
import sys
import uuid
from collections.abc import Iterable
from types import TracebackType
from typing import BinaryIO

from tarnkv.cli import interrupts
from tarnkv.cli.errors import CliError

BUFFER = 1 << 20


def arg_bytes(text: str) -> bytes:
    """A command-line argument's exact bytes: arguments that are not UTF-8 reach Python with
    surrogate escapes, so a key typed from such bytes finds the key stored with them."""
    return text.encode("utf-8", "surrogateescape")


def stdout() -> BinaryIO:
    return sys.stdout.buffer


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


def _inside(path: str, directory: str) -> bool:
    """Whether *path* is *directory* or lies in it (after links are followed)."""
    inner, outer = os.path.realpath(path), os.path.realpath(directory)
    return inner == outer or inner.startswith(outer.rstrip(os.sep) + os.sep)


def refuse_overwriting(output: str, inputs: Iterable[str], *, may_be_input: bool = False) -> None:
    """Refuses (status 2) to write the file *output* where that would destroy an input: when
    it is an input file (unless *may_be_input*: a merge into one of its inputs reads every
    input before it writes), or lies in an input directory (a set, whose file it would
    replace or join)."""
    if output == "-":
        return
    for given in inputs:
        if given == "-":
            continue
        if os.path.isdir(given):
            if _inside(output, given):
                raise CliError(f"{output} is inside the input {given}: writing it would change the input")
        elif not may_be_input and _same_file(given, output):
            raise CliError(f"{given} and {output} are the same file: the output would replace the input")


def refuse_inputs_inside(out_dir: str, inputs: Iterable[str]) -> None:
    """Refuses (status 2) to write a set in *out_dir* when an input is that directory or lies in
    it: the build would write over what it reads."""
    for given in inputs:
        if given != "-" and _inside(given, out_dir):
            raise CliError(f"{given} is inside the output {out_dir}: the build would write over its own input")


class OutputFile:
    """``-`` is standard output; a path is written beside itself under a temporary name and
    renamed into place when the block ends cleanly, compressed when it ends in .gz or .zst. It
    may be none of *inputs* (what the command reads). Whatever else ends the block (an error,
    Ctrl-C) removes the temporary file, and a failure to write it names the output."""

    def __init__(self, path: str, inputs: Iterable[str] = ()) -> None:
        self.path = path
        self.inputs = tuple(inputs)
        self._tmp: str | None = None
        self._raw: BinaryIO | None = None
        self.stream: BinaryIO = stdout()

    def __enter__(self) -> BinaryIO:
        if self.path == "-":
            return self.stream
        target = self.path
        if os.path.isdir(target):
            raise CliError(f"{target}: is a directory")
        refuse_overwriting(target, self.inputs)
        directory = os.path.dirname(target) or "."
        # The name is known before the file exists, so that an interruption at any point
        # after it leaves nothing behind.
        self._tmp = os.path.join(directory, f".{os.path.basename(target)}.{uuid.uuid4().hex[:12]}.tmp")
        try:
            fd = os.open(self._tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
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
        except BaseException as exc:
            self._discard()
            if isinstance(exc, OSError):
                raise self.error(exc) from None
            raise
        return self.stream

    def __exit__(self, et: type[BaseException] | None, ev: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._tmp is None:
            return
        try:
            if et is None:
                self._finish()
        except BaseException as exc:
            self._discard()
            if isinstance(exc, OSError):
                raise self.error(exc) from None
            raise
        if et is not None:
            self._discard()
            if isinstance(ev, OSError) and not isinstance(ev, BrokenPipeError) and ev.filename is None:
                # Writing the output failed (a full disk): say which file.
                raise self.error(ev) from None

    def error(self, exc: OSError) -> CliError:
        """The command-line error for a failure to write this output."""
        return CliError(f"{self.path}: {exc.strerror or exc}")

    def _finish(self) -> None:
        tmp, raw = self._tmp, self._raw
        assert tmp is not None and raw is not None
        if self.stream is not raw:
            self.stream.close()  # the compressor's tail; the file stays open
        raw.flush()
        os.fchmod(raw.fileno(), 0o666 & ~_umask())
        self._raw = None
        raw.close()
        # The command's publication: from here on Ctrl-C no longer stops it.
        interrupts.replace(tmp, self.path)
        self._tmp = None

    def _discard(self) -> None:
        tmp, raw = self._tmp, self._raw
        self._tmp = self._raw = None
        if raw is not None:
            try:
                raw.close()
            except OSError:
                pass
        if tmp is not None:
            _remove(tmp)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
