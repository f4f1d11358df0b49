"""Opening, building and checking stores: the one place the commands meet the package API."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any

from msgpack import unpackb as _unpackb

import tarnkv
from tarnkv.cli import interrupts
from tarnkv.cli.errors import FAIL, NO, CliError
from tarnkv.remote import is_url

Progress = Callable[[int, int], None] | None

#: The command's ``--storage-option`` settings: every URL it reads or writes is reached with them.
_storage_options: dict[str, Any] = {}


def use_storage_options(options: dict[str, Any]) -> None:
    """Sets the options (``--storage-option``) the command reaches its URLs with."""
    _storage_options.clear()
    _storage_options.update(options)


def storage_options(location: str) -> dict[str, Any] | None:
    """The options to reach *location* with: the command's, for a URL; none for a local path."""
    return dict(_storage_options) if _storage_options and is_url(location) else None

# The file's layout: a header, the object records from its end, the index entries (the key's
# length, the key, the object's offset) from index_offset to the end of the file.
HEADER_SIZE = 40
RECORD_HEAD = 8
ENTRY_OVERHEAD = 10


def translate(exc: BaseException, path: str | None) -> CliError:
    """The command-line form of an error the package raised about a store (``path``, or the
    one the error names): ``FILE: what went wrong``."""
    text = str(exc)
    where = getattr(exc, "path", None) or getattr(exc, "filename", None)
    if isinstance(where, bytes):
        where = where.decode("utf-8", "replace")
    detail = exc.detail if isinstance(exc, tarnkv.TarnError) else None
    if where is not None and detail is not None:
        text = detail  # the command line leads with the store's name, in full
    # A set's shard at fault is named rather than the set (unless the message names it).
    inside = where is not None and path is not None and os.path.dirname(str(where)) == path.rstrip("/")
    where = where if inside else (path or where)
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    if isinstance(exc, tarnkv.CorruptStoreError) and "corrupt" not in text.lower() \
            and "not a tarnkv store" not in text:
        text = f"corrupt store: {text}"
    if where and str(where) not in text:
        text = f"{where}: {text}"
    return CliError(text, NO if isinstance(exc, tarnkv.CorruptStoreError) else FAIL)


class StoreErrors:
    """``with StoreErrors(path):`` turns the package's errors into command-line errors."""

    def __init__(self, path: str | None) -> None:
        self.path = path

    def __enter__(self) -> None:
        return None

    def __exit__(self, et: Any, ev: BaseException | None, tb: Any) -> None:
        # Only the package's own errors: an OSError from writing the output (a closed pipe,
        # a full disk) is not about the store.
        if isinstance(ev, tarnkv.TarnError):
            raise translate(ev, self.path) from None
        # A URL its options cannot reach (an option no client knows, a value out of range, a
        # URL of the wrong form) is refused when its client is made: a usage error.
        if isinstance(ev, (TypeError, ValueError)) and self.path is not None and is_url(self.path):
            raise CliError(f"{self.path}: {ev}", FAIL) from None


def open_store(path: str, *, check_reads: bool = True, name: str | None = None) -> Any:
    """A reader for ``path`` (called ``name`` in messages, when given). The whole-file checksum
    is left to ``verify``: the commands that read objects check each one's own as they go."""
    with StoreErrors(name or path):
        return tarnkv.open(path, verify=False, check_reads=check_reads, storage_options=storage_options(path))


def verify(reader: Any, path: str, progress: Progress = None) -> None:
    with StoreErrors(path):
        reader.verify(progress=progress)


def check_complete(reader: Any, path: str) -> int:
    """The cheap check that the store file ``reader`` opened is whole, for what opening it does
    not check: the sections lie inside the file and fit its counts, and the index runs exactly
    to the end of the file. It reads the keys, not the objects (``verify`` is the deep check).
    Returns the number of keys."""
    st = reader.stats()
    size, index_at, keys, objects = st["file_size"], st["index_offset"], st["num_keys"], st["num_objects"]
    data = index_at - HEADER_SIZE
    if index_at > size:
        problem = f"truncated: its index starts at byte {index_at}, past the end of the file ({size} bytes)"
    elif data < 0:
        problem = f"its index starts at byte {index_at}, inside the header"
    elif objects * RECORD_HEAD > data or (objects == 0 and data > 0):
        problem = f"{objects} objects cannot make up its data section of {data} bytes"
    else:
        # Opening checked that each entry lies inside the file; whole, they end exactly at its end.
        index = ENTRY_OVERHEAD * keys + sum(map(len, raw_keys(reader)))
        if index == size - index_at:
            return keys  # type: ignore[no-any-return]
        problem = f"{size - index_at - index} bytes after the last of its {keys} index entries"
    raise CliError(f"{path}: corrupt store: {problem}", NO)


def default_memory_limit() -> int:
    """What a build keeps in memory before it spills: a quarter of the machine's memory."""
    try:
        return max(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 4, 64 << 20)
    except (OSError, ValueError):
        return 1 << 30


def new_writer(on_duplicate: str, compression: tuple[str, int] | None = None, memory_limit: int | None = None,
               spill_dir: str | None = None) -> Any:
    """A writer whose objects the caller encodes (as MessagePack) and stores with ``put_raw``;
    *compression* is ``(method, level)`` as ``--compress`` gives it; past ``memory_limit``
    bytes it spills to ``spill_dir``."""
    if compression is None:
        return tarnkv.TarnWriter(on_duplicate=on_duplicate, memory_limit=memory_limit,  # type: ignore[arg-type]
                                 spill_dir=spill_dir)
    method, level = compression
    return tarnkv.TarnWriter(on_duplicate=on_duplicate, compression=method,  # type: ignore[arg-type]
                             compression_level=level)


def build(writer: Any, path: str, progress: Progress = None) -> Any:
    """Builds ``path``; the result has ``num_keys``, ``num_objects`` and ``file_size``. The
    build is the command's publication: once the file is out, Ctrl-C no longer stops it. For
    an object storage URL that is once the upload's completing request is out: from then on
    the command reports what the server did, never that nothing changed."""
    if is_url(path):
        uploads_completing()
    else:
        before = writer.published
        interrupts.published_when(lambda: writer.published != before)
    try:
        return writer.build(path, progress=progress, storage_options=storage_options(path))
    except tarnkv.DuplicateKeyError:
        raise  # found by a writer that spilled: the caller names the records
    except tarnkv.TarnError as e:
        raise translate(e, path) from None


def check_url_output(url: str) -> None:
    """Refuses (status 2) an output URL nothing can be published at: a web server, a bucket
    that does not exist or credentials the object store refuses."""
    from tarnkv.remote import publish

    with StoreErrors(url):
        publish.check_writable(url, storage_options(url))


def uploads_completing() -> None:
    """Registers the command's publication to object storage: the first upload whose
    completing request goes out from now on."""
    from tarnkv.remote import publish

    before = publish.commits()
    interrupts.published_when(lambda: publish.commits() != before)


def raw_items(reader: Any, prefix: bytes = b"") -> Iterator[tuple[str, bytes]]:
    """Every (key, object bytes) pair in key order, or those under ``prefix``, lazily. Keys are
    text, with surrogate escapes for bytes that are not UTF-8 (see ``key_bytes``)."""
    if prefix:
        return reader.prefix_raw(prefix)  # type: ignore[no-any-return]
    return reader.items_raw()  # type: ignore[no-any-return]


def raw_keys(reader: Any, prefix: bytes = b"") -> Iterator[bytes]:
    """Every key's exact bytes in key order, or those under ``prefix``, lazily."""
    if prefix:
        return reader.prefix_keys(prefix, raw=True)  # type: ignore[no-any-return]
    return iter(reader.keys(raw=True))


def is_native_reader(reader: Any) -> bool:
    """Whether the native dump can walk ``reader``'s index itself."""
    return isinstance(reader, tarnkv.TarnReader)


def key_bytes(key: str) -> bytes:
    """The stored bytes of a key the reader returned as text."""
    return key.encode("utf-8", "surrogateescape")


def decode(raw: bytes) -> Any:
    return _unpackb(raw, raw=False, strict_map_key=False)
