"""Writing stores: :class:`TarnWriter` and :class:`BuildResult`."""

from __future__ import annotations

import os
import sys
import tempfile
import warnings
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Literal, Self

from tarnkv import _native
from tarnkv.codec import resolve
from tarnkv.errors import UnreferencedObjectWarning
from tarnkv.remote import is_url

__all__ = ["TarnWriter", "BuildResult", "Progress", "parse_size"]

Key = str | bytes
StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]
#: ``progress(done, total)``: bytes processed so far and in all.
Progress = Callable[[int, int], object]
OnDuplicate = Literal["error", "last", "first"]
Compression = Literal["zstd"]

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_size(size: int | str) -> int:
    """A byte count given as an int or as text: ``"512M"``, ``"2G"``, ``"1.5G"``, ``"65536"``
    (K, M, G and T are powers of 1024; a trailing ``B``, ``iB`` and any case are accepted)."""
    if isinstance(size, bool):
        raise TypeError("a size must be an int or a str, not bool")
    if isinstance(size, int):
        n = size
    elif isinstance(size, str):
        text = size.strip().upper().removesuffix("B").removesuffix("I")
        number, unit = (text[:-1], text[-1]) if text[-1:] and text[-1] in _UNITS else (text, "")
        try:
            n = int(float(number) * _UNITS[unit]) if "." in number else int(number) * _UNITS[unit]
        except ValueError:
            raise ValueError(f"not a size: {size!r} (say e.g. 512M or 2G)") from None
    else:
        raise TypeError(f"a size must be an int or a str, not {type(size).__name__}")
    if n <= 0:
        raise ValueError(f"a size must be positive, not {size!r}")
    return n



@dataclass(frozen=True, slots=True)
class BuildResult:
    """What :meth:`TarnWriter.build` wrote.

    ``num_objects`` and ``num_keys`` are the counts in the file, ``file_size`` its size in
    bytes, and ``dropped_objects`` the number of objects that no key named and that the file
    therefore leaves out.
    """

    path: str | bytes
    num_objects: int
    num_keys: int
    file_size: int
    dropped_objects: int


class TarnWriter(_native.Writer):
    """Collects objects and keys in memory, then writes them as one store file.

    ``TarnWriter(*, codec="msgpack", on_duplicate="error", compression=None, compression_level=3,
    memory_limit=None, spill_dir=None)``

    - ``put(key, obj, *aliases)`` (or ``w[key] = obj``) stores one object under one or more
      keys and returns its object ID; ``add(obj)`` stores an object without a key, and
      ``alias(key, obj_id)`` names it later.
    - ``on_duplicate`` says what a key that the writer already has does: ``"error"`` raises
      :class:`~tarnkv.DuplicateKeyError` and changes nothing, ``"last"`` re-points the key, and
      ``"first"`` keeps the earlier mapping (a ``put`` whose keys all exist then stores
      nothing and returns the ID the first key maps to).
    - ``build(path)`` writes the file atomically (temporary file, fsync, rename); the writer is
      unchanged and may go on collecting and build again. Objects that no key names cannot be
      read back, so the file leaves them out; objects added with ``add()`` and never named
      also raise an :class:`~tarnkv.UnreferencedObjectWarning`.

    ``published`` counts the files ``build()`` has published (renamed into place). It is
    counted before ``build()`` returns, so a signal handler can ask it whether a file is out
    already: a handler that raises ``KeyboardInterrupt`` only while ``published`` is unchanged
    never reports as interrupted a build whose file has replaced the old one. A build to a URL
    counts its local file, built before the upload: the upload's own point of no return is
    told by :func:`tarnkv.remote.publish.commits`.

    - ``compression="zstd"`` stores objects compressed with zstd at ``compression_level`` (1 to
      22) and a dictionary kept in the file, trained at each build on a uniform sample of the
      objects it stores (at most 20,000 of them, or about 3 MiB). Objects are kept as given
      until the build compresses them. Readers decompress transparently; objects that do not
      shrink are stored as they are. It pays for many similar records of a few hundred bytes
      and more (a package index comes to about a third of its size); tiny or random records
      gain little or nothing. It combines with ``memory_limit``: the file is the same.

    ``memory_limit`` (bytes, or text such as ``"512M"``; default: none) bounds what the writer
    keeps in memory: once what it holds nears the limit, it moves everything to sorted runs
    in a private directory under ``spill_dir`` (default: the system's temporary directory),
    and ``build()`` writes the store from them in one streaming merge. The file is byte for
    byte the one an unlimited writer builds from the same calls. Once spilled, keys given
    again are settled by ``build()``: under ``"error"`` it raises
    :class:`~tarnkv.DuplicateKeyError` and publishes nothing (the writer is unchanged), under
    ``"first"`` a ``put`` whose keys are all taken stores its object (and returns its new ID),
    which the file then leaves out; ``len(w)`` counts keys as given (repeats included), and ``key in w`` and
    ``object_id()`` raise :class:`RuntimeError`. A spill that fails (a full disk) removes the
    runs and leaves the writer spent: every later call raises that error. While it writes,
    ``build()`` also copies the objects beside the runs to put them in key order, so the
    directory needs room for about twice the objects; a build that fails for want of it
    removes its copy and leaves the runs and the writer as they were. The directory goes
    with the writer.

    ``len(w)`` is the number of keys so far and ``key in w`` tells whether a key is mapped. A
    writer may be shared by threads: calls take turns. Keys are at most 65,535 bytes and
    encoded objects less than 4 GiB; either limit raises a :class:`~tarnkv.LimitError`.
    """

    __slots__ = ()

    def __new__(cls, *, codec: object = "msgpack", on_duplicate: OnDuplicate = "error",
                compression: Compression | None = None, compression_level: int = 3,
                memory_limit: int | str | None = None, spill_dir: StrPath | None = None) -> Self:
        _, encode, encode_kwargs, _, _ = resolve(codec)
        limit = None if memory_limit is None else parse_size(memory_limit)
        if limit is not None and spill_dir is None:
            spill_dir = tempfile.gettempdir()
        return super().__new__(cls, encode=encode, encode_kwargs=encode_kwargs, codec=codec,
                               on_duplicate=on_duplicate, compression=compression,
                               compression_level=compression_level,
                               memory_limit=limit, spill_dir=spill_dir)

    @classmethod
    def create(cls, path: StrPath, *, codec: object = "msgpack", on_duplicate: OnDuplicate = "error",
               progress: Progress | None = None, verbose: bool = False,
               compression: Compression | None = None, compression_level: int = 3,
               memory_limit: int | str | None = None, spill_dir: StrPath | None = None) -> BuildOnExit:
        """A context manager that yields a new writer and builds *path* when the block ends
        without an exception; when it raises, nothing is written::

            with TarnWriter.create("users.trnk") as w:
                w["user:1"] = {"name": "Ada"}
        """
        return BuildOnExit(cls(codec=codec, on_duplicate=on_duplicate, compression=compression,
                               compression_level=compression_level,
                               memory_limit=memory_limit, spill_dir=spill_dir), path, progress, verbose)

    def build(self, path: StrPath, *, progress: Progress | None = None, verbose: bool = False,
              storage_options: Mapping[str, Any] | None = None) -> BuildResult:
        """Writes the store file at *path* and returns what it wrote.

        The file is written beside *path* under a temporary name, synced and renamed over
        *path*, so readers never see half a file. *progress(done, total)* is called with bytes
        written; an exception it raises stops the build, which then publishes nothing. So
        does one that a signal handler raises while the file is written (Ctrl-C's
        ``KeyboardInterrupt``), with or without *progress*.
        Nothing is printed unless *verbose* is true.

        *path* may also be an object storage URL (``s3://bucket/key``, with
        *storage_options* as for :func:`tarnkv.open`): the file is then built in the temporary
        directory (``TMPDIR``) and uploaded, and the upload's completion publishes it whole; a
        failed or interrupted upload publishes nothing. *progress* then hears the upload's
        bytes too, after the build's. ``http(s)://`` URLs are read-only: a
        :class:`~tarnkv.StoreIOError`.
        """
        if is_url(path):
            return self._build_to_url(str(path), progress, verbose, storage_options)
        unnamed = self._unnamed
        objects, keys, dropped, size = self._build(path, progress=progress)
        target = os.fspath(path)
        if unnamed:
            warnings.warn(f"{unnamed} object(s) added with add() were never given a key and are left out of "
                          f"{target!r}", UnreferencedObjectWarning, stacklevel=2)
        if verbose:
            print(f"\u2705  {os.fsdecode(target)}  \u2014  {objects} objects \u00b7 {keys} keys \u00b7 "
                  f"{size / 1024:.1f} KB", file=sys.stdout, flush=True)
        return BuildResult(target, objects, keys, size, dropped)

    def _build_to_url(self, url: str, progress: Progress | None, verbose: bool,
                      storage_options: Mapping[str, Any] | None) -> BuildResult:
        from tarnkv.remote import publish

        publish.check_writable(url, storage_options)
        unnamed = self._unnamed
        with publish.temporary_path(url) as tmp:
            objects, keys, dropped, size = self._build(tmp, progress=progress)
            publish.upload(tmp, url, storage_options=storage_options, progress=progress)
        if unnamed:
            warnings.warn(f"{unnamed} object(s) added with add() were never given a key and are left out of "
                          f"{url!r}", UnreferencedObjectWarning, stacklevel=3)
        if verbose:
            print(f"\u2705  {url}  \u2014  {objects} objects \u00b7 {keys} keys \u00b7 "
                  f"{size / 1024:.1f} KB", file=sys.stdout, flush=True)
        return BuildResult(url, objects, keys, size, dropped)

    @property
    def repeated_keys(self) -> int:
        """Keys given again so far under ``on_duplicate="first"`` (left on their earlier object)
        or ``"last"`` (re-pointed to the new one); always 0 under ``"error"``."""
        return self._repeated

    def __repr__(self) -> str:
        return f"{type(self).__name__}(objects={self.num_objects}, keys={len(self)})"


class BuildOnExit:
    """What :meth:`TarnWriter.create` returns: enters as the writer, builds on a clean exit.

    After the block, ``result`` holds the :class:`BuildResult` (``None`` if the block raised).
    """

    __slots__ = ("writer", "path", "progress", "verbose", "result")

    def __init__(self, writer: TarnWriter, path: StrPath, progress: Progress | None, verbose: bool) -> None:
        self.writer = writer
        self.path = path
        self.progress = progress
        self.verbose = verbose
        self.result: BuildResult | None = None

    def __enter__(self) -> TarnWriter:
        return self.writer

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> Literal[False]:
        if exc_type is None:
            self.result = self.writer.build(self.path, progress=self.progress, verbose=self.verbose)
        return False
