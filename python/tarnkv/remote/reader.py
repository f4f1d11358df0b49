"""Reading a store at a URL: :class:`RemoteReader`, the same mapping API as
:class:`~tarnkv.TarnReader` over ranged reads.

Opening reads the header and the index section (the last bytes of the object, read on
speculation, cover the index of most stores: at most three requests in all), and the native
index answers every lookup and key range from them as for a local file. A lookup then reads
exactly its object's record; a miss reads nothing. Batches and scans fetch the records they
need concurrently, adjacent records in one read.
"""

from __future__ import annotations

import bisect
import os
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Self

from tarnkv import _native
from tarnkv.codec import resolve
from tarnkv.errors import CorruptStoreError
from tarnkv.mapping import Key, KeyOrderedMapping
from tarnkv.remote.sources import TAIL_GUESS, AnySource, pinned, source_for

if TYPE_CHECKING:
    from concurrent.futures import ThreadPoolExecutor

__all__ = ["RemoteReader", "download"]

#: Concurrent reads of one batch or scan step.
MAX_CONCURRENT = 16
#: A scan step covers at most this many entries (its first steps fewer, so that the first items
#: come quickly) and stops adding records beyond this many bytes.
SCAN_STEP_MAX = 4096
SCAN_STEP_FIRST = 128
SCAN_STEP_BYTES = 8 << 20

#: Records of one batch or scan step at most this many bytes apart are read in one request:
#: on any network another request costs more than reading these bytes along.
MERGE_GAP = 128 * 1024
#: A read that merged records stops growing at this size, so that a batch over a large part of
#: a store still reads in several requests side by side.
MERGE_LIMIT = 1 << 20

_HEADER_SIZE = 40
_RECORD_HEAD_SIZE = 8  # a record's u32 length and CRC-32 before its bytes

_pool_lock = threading.Lock()
_pool: tuple[int, ThreadPoolExecutor] | None = None


def _executor() -> ThreadPoolExecutor:
    """The process's pool of reading threads (a child after fork() makes its own)."""
    global _pool
    with _pool_lock:
        if _pool is None or _pool[0] != os.getpid():
            from concurrent.futures import ThreadPoolExecutor  # on first use: a heavy import

            _pool = (os.getpid(), ThreadPoolExecutor(MAX_CONCURRENT, thread_name_prefix="tarnkv-read"))
        return _pool[1]


def _key_str(key: bytes) -> str:
    return key.decode("utf-8", "surrogateescape")


def _merge(extents: Iterable[tuple[int, int]], gap: int = MERGE_GAP) -> list[tuple[int, int]]:
    """Distinct record extents as the fewest reads: records that touch, or lie at most *gap*
    bytes apart, are read together, up to MERGE_LIMIT bytes a read (larger reads go on side
    by side instead)."""
    runs: list[tuple[int, int]] = []
    for begin, end in sorted(set(extents)):
        if runs and begin <= runs[-1][1] + gap and (end - runs[-1][0] <= MERGE_LIMIT or begin < runs[-1][1]):
            if end > runs[-1][1]:
                runs[-1] = (runs[-1][0], end)
        else:
            runs.append((begin, end))
    return runs


class RemoteReader(KeyOrderedMapping):
    """A store at a URL opened for reading: the API of :class:`~tarnkv.TarnReader`.

    ``RemoteReader(url, *, storage_options=None, verify=False, check_reads=True,
    codec="msgpack")``

    - ``storage_options``: ``timeout`` (seconds, default 30) and ``retries`` (attempts for
      throttled and 5xx answers, default 4) for every URL; ``headers`` for HTTP; the S3
      client's options for ``s3://`` (see :func:`tarnkv.remote.s3.client`).
    - ``verify``: also download the whole object once at open and check every byte (as
      :meth:`verify` does).
    - ``check_reads``: check each object's CRC-32 as it arrives (on by default).

    The reader pins the version it opened; reading after the object was replaced raises
    :class:`~tarnkv.errors.StoreChangedError`. It is safe to share between threads, usable in a
    child after ``fork()``, and pickles as its URL and options.
    """

    __slots__ = ("_url", "_options", "_source", "_index", "_check", "_verified", "_codec", "_decode",
                 "_decode_kwargs", "__weakref__")

    def __init__(self, url: str, *, storage_options: Mapping[str, Any] | None = None, verify: bool = False,
                 check_reads: bool = True, codec: object = "msgpack") -> None:
        self._index: Any = None
        _, _, _, decode, decode_kwargs = resolve(codec)
        self._url = url
        self._options = dict(storage_options or {})
        self._check = bool(check_reads)
        self._verified = bool(verify)
        self._codec = codec
        self._decode: Callable[..., Any] | None = decode
        self._decode_kwargs = dict(decode_kwargs or {})
        self._source: AnySource = source_for(url, self._options)
        try:
            self._index = _open_index(self._source)
            if verify:
                self.verify()
        except BaseException:
            self.close()
            raise

    # --- reading records ----------------------------------------------------------------

    def _live(self) -> Any:
        index = self._index
        if index is None:
            raise ValueError("I/O operation on a closed store")
        return index

    def _fetch(self, runs: Sequence[tuple[int, int]]) -> list[bytes]:
        """The bytes of each run, read concurrently when there are several."""
        read = self._source.read
        if len(runs) == 1:
            return [read(*runs[0])]
        return list(_executor().map(lambda r: read(*r), runs))

    def _object(self, index: Any, offset: int, key: object = None) -> bytes | memoryview:
        extent = index.extent(offset)
        if extent is None:
            resident: bytes = self._noted(lambda: index.resident(offset, self._check), key)
            return self._noted(lambda: index.decode(resident), key) if index.compressed() else resident
        data = self._source.read(*extent)
        start, length = self._noted(lambda: index.object(offset, data, self._check), key)
        view = memoryview(data)[start:start + length]
        return self._noted(lambda: index.decode(view), key) if index.compressed() else view

    def _objects(self, index: Any, offsets: Iterable[int | None]) -> dict[int, bytes | memoryview]:
        """The object of each distinct offset, its records read in as few requests as their
        layout allows."""
        out = self._stored(index, offsets)
        if index.compressed():
            for offset, stored in out.items():
                out[offset] = index.decode(stored)
        return out

    def _stored(self, index: Any, offsets: Iterable[int | None]) -> dict[int, bytes | memoryview]:
        """:meth:`_objects` as stored: compressed objects are left as they are."""
        wanted = {o for o in offsets if o is not None}
        extents: dict[int, tuple[int, int]] = {}
        out: dict[int, bytes | memoryview] = {}
        for offset in wanted:
            extent = index.extent(offset)
            if extent is None:
                out[offset] = index.resident(offset, self._check)
            else:
                extents[offset] = extent
        if not extents:
            return out
        runs = _merge(extents.values())
        fetched = self._fetch(runs)
        starts = [r[0] for r in runs]
        for offset, (begin, end) in extents.items():
            i = bisect.bisect_right(starts, begin) - 1
            run_begin = starts[i]
            view = memoryview(fetched[i])[begin - run_begin:end - run_begin]
            start, length = index.object(offset, view, self._check)
            out[offset] = view[start:start + length]
        return out

    @staticmethod
    def _noted(call: Callable[[], Any], key: object) -> Any:
        try:
            return call()
        except CorruptStoreError as e:
            if key is not None:
                e.add_note(f"while reading the object of key {key!r}")
            raise

    def _decoded(self, data: bytes | memoryview) -> Any:
        if self._decode is None:
            return bytes(data)
        return self._decode(data, **self._decode_kwargs)

    # --- the mapping --------------------------------------------------------------------

    def __getitem__(self, key: Key) -> Any:
        index = self._live()
        offset = index.find(key)
        if offset is None:
            raise KeyError(key)
        return self._decoded(self._object(index, offset, key))

    def __contains__(self, key: object) -> bool:
        return self._live().find(key) is not None

    def __len__(self) -> int:
        return len(self._live())

    def __iter__(self) -> Iterator[str]:
        return self._scan(_native.SCAN_KEYS)

    def get(self, key: Key, default: Any = None) -> Any:
        index = self._live()
        offset = index.find(key)
        if offset is None:
            return default
        return self._decoded(self._object(index, offset, key))

    def get_raw(self, key: Key, default: Any = None) -> Any:
        """The stored bytes of *key*'s object, or *default*."""
        index = self._live()
        offset = index.find(key)
        if offset is None:
            return default
        return bytes(self._object(index, offset, key))

    def get_view(self, key: Key, default: Any = None) -> Any:
        """The stored bytes of *key*'s object as a read-only buffer, or *default*."""
        index = self._live()
        offset = index.find(key)
        if offset is None:
            return default
        return memoryview(self._object(index, offset, key)).toreadonly()

    def _many(self, keys: Iterable[Key]) -> tuple[list[int | None], dict[int, bytes | memoryview]]:
        index = self._live()
        offsets: list[int | None] = index.find_many(keys if isinstance(keys, (list, tuple)) else list(keys))
        return offsets, self._objects(index, offsets)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The decoded object of each key (*default* for a missing one), in order; the
        records are read concurrently, adjacent ones together."""
        offsets, objects = self._many(keys)
        decoded: dict[int, Any] = {}
        out = []
        for o in offsets:
            if o is None:
                out.append(default)
                continue
            if o not in decoded:
                decoded[o] = self._decoded(objects[o])
            out.append(decoded[o])
        return out

    def get_many_raw(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """:meth:`get_many` with the stored bytes."""
        offsets, objects = self._many(keys)
        return [default if o is None else bytes(objects[o]) for o in offsets]

    def count_prefix(self, prefix: Key, /) -> int:
        """How many keys start with *prefix*."""
        first, last = self._live().prefix_range(prefix)
        return int(last - first)

    def _range(self, prefix: Key | None, limit: int | None) -> tuple[Any, int, int]:
        index = self._live()
        if prefix is None:
            first, last = 0, len(index)
        else:
            first, last = index.prefix_range(prefix)
        if limit is not None:
            if limit < 0:
                raise ValueError("limit must not be negative")
            last = min(last, first + limit)
        return index, first, last

    def _scan(self, kind: int, prefix: Key | None = None, limit: int | None = None) -> Iterator[Any]:
        index, first, last = self._range(prefix, limit)
        return (item for _, item in self._walk(index, kind, first, last))

    def keyed_scan(self, kind: int, prefix: Key | None = None,
                   limit: int | None = None) -> Iterator[tuple[bytes, Any]]:
        """The items of a scan (``SCAN_*`` of :mod:`tarnkv._native`), each paired with its key's
        bytes: what a merge of several readers' walks in key order sorts by."""
        index, first, last = self._range(prefix, limit)
        return self._walk(index, kind, first, last)

    def _walk(self, index: Any, kind: int, first: int, last: int) -> Iterator[tuple[bytes, Any]]:
        keys_only = kind in (_native.SCAN_KEYS, _native.SCAN_KEYS_BYTES)
        step = SCAN_STEP_FIRST
        at = first
        while at < last:
            entries = index.entries(at, min(last, at + (SCAN_STEP_MAX if keys_only else step)))
            if kind == _native.SCAN_KEYS:
                at += len(entries)
                yield from ((k, _key_str(k)) for k, _ in entries)
                continue
            if kind == _native.SCAN_KEYS_BYTES:
                at += len(entries)
                yield from ((k, k) for k, _ in entries)
                continue
            entries = entries[:_within_budget(index, [o for _, o in entries])]
            at += len(entries)
            step = min(step * 2, SCAN_STEP_MAX)
            objects = self._objects(index, (o for _, o in entries))
            for k, o in entries:
                data = objects[o]
                if kind == _native.SCAN_ITEMS:
                    yield k, (_key_str(k), self._decoded(data))
                elif kind == _native.SCAN_ITEMS_RAW:
                    yield k, (_key_str(k), bytes(data))
                elif kind == _native.SCAN_VALUES:
                    yield k, self._decoded(data)
                else:
                    yield k, bytes(data)

    # --- the whole object ---------------------------------------------------------------

    def verify(self, progress: Callable[[int, int], object] | None = None) -> Literal[True]:
        """Downloads the whole object once (into a temporary file, removed after) and checks
        it as :meth:`tarnkv.TarnReader.verify` checks a local file: the CRC-32 of the whole
        file, then of every object. Raises :class:`~tarnkv.CorruptStoreError` naming the URL."""
        self._live()
        with tempfile.TemporaryDirectory(prefix="tarnkv-verify-") as tmp:
            path = os.path.join(tmp, "store.trnk")
            with open(path, "wb") as out:
                self._source.download(out)
            _check_local(path, self._url, progress)
        return True

    def stats(self) -> dict[str, Any]:
        """The header's values and the object's size, as :meth:`tarnkv.TarnReader.stats`
        gives them; ``path`` is the URL."""
        num_keys, num_objects, index_offset, size, crc = self._live().header()
        return {"path": self._url, "version": 2, "num_keys": num_keys, "num_objects": num_objects,
                "index_offset": index_offset, "data_offset": _HEADER_SIZE, "file_size": size,
                "file_size_kb": size / 1024, "file_crc32": f"0x{crc:08x}"}

    @property
    def compression(self) -> Literal["zstd"] | None:
        """``"zstd"`` for a compressed store, else None (known from the opening reads)."""
        return "zstd" if self._live().compressed() else None

    def compression_stats(self) -> dict[str, Any] | None:
        """None for a store that is not compressed; else what
        :meth:`tarnkv.TarnReader.compression_stats` gives. The original sizes are known only by
        decompressing: every object is read once, in large ranged reads, and a damaged one is a
        :class:`~tarnkv.CorruptStoreError`."""
        index = self._live()
        if not index.compressed():
            return None
        begin, end = index.dictionary_extent()
        stored = original = 0
        offsets = sorted({o for _, o in index.entries(0, len(index))})
        at = 0
        while at < len(offsets):  # in the steps of a walk
            step = offsets[at:at + SCAN_STEP_MAX]
            step = step[:_within_budget(index, step)]
            at += len(step)
            for data in self._stored(index, step).values():
                stored += len(data)
                original += len(index.decode(data))
        return {"compression": "zstd", "dictionary_size": end - begin - _RECORD_HEAD_SIZE,
                "stored_bytes": stored, "original_bytes": original}

    def record_sizes(self) -> list[int]:
        """The size of each record an entry names in the data section, less its 8-byte head,
        without reading a record: the room up to the next named record. For every store the
        writer makes that is the object's size."""
        index = self._live()
        offsets = sorted({o for _, o in index.entries(0, len(index))})
        sizes = []
        for o in offsets:
            extent = index.extent(o)
            if extent is not None:
                sizes.append(max(0, extent[1] - extent[0] - _RECORD_HEAD_SIZE))
        return sizes

    # --- the reader itself --------------------------------------------------------------

    @property
    def path(self) -> str:
        """The URL."""
        return self._url

    @property
    def url(self) -> str:
        return self._url

    @property
    def storage_options(self) -> dict[str, Any]:
        return dict(self._options)

    @property
    def codec(self) -> Any:
        return self._codec

    @property
    def check_reads(self) -> bool:
        return self._check

    @property
    def closed(self) -> bool:
        return self._index is None

    def close(self) -> None:
        """Drops the index and closes the connections; later calls raise ``ValueError``."""
        self._index = None
        self._source.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> Literal[False]:
        self.close()
        return False

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self._url, self._options, self._verified, self._check, self._codec))

    def __repr__(self) -> str:
        if self.closed:
            return f"{type(self).__name__}({self._url!r}, closed)"
        return f"{type(self).__name__}({self._url!r}, keys={len(self)})"


def _within_budget(index: Any, offsets: Sequence[int]) -> int:
    """How many of the first record *offsets* have records adding up to at most SCAN_STEP_BYTES
    (at least one)."""
    total = 0
    seen: set[int] = set()
    for i, offset in enumerate(offsets):
        if offset in seen:
            continue
        seen.add(offset)
        extent = index.extent(offset)
        if extent is not None:
            total += extent[1] - extent[0]
            if total > SCAN_STEP_BYTES and i > 0:
                return i
    return len(offsets)


def _reopen(url: str, options: dict[str, Any], verify: bool, check_reads: bool, codec: object) -> RemoteReader:
    return RemoteReader(url, storage_options=options, verify=verify, check_reads=check_reads, codec=codec)


def _open_index(source: AnySource) -> Any:
    """The native index of the object *source* reads: its last bytes on speculation, then the
    header and whatever of the index they did not cover."""
    opening = source.open(TAIL_GUESS)
    size, tail_offset = opening.size, opening.tail_offset
    pieces = [(tail_offset, opening.tail)]
    if tail_offset > 0:
        header = source.read(0, _HEADER_SIZE)
        pieces.append((0, header))
        if header[:4] == b"TRNK":
            num_keys = int.from_bytes(header[8:12])
            begin = max(int.from_bytes(header[16:24]), _HEADER_SIZE)
            if num_keys and begin < tail_offset:
                pieces.append((begin, source.read(begin, tail_offset)))
    index = _native.RemoteIndex(source.url, size, pieces)
    if index.compressed():
        # The dictionary's record opens the data section; the tail read already holds it when
        # the store is small.
        begin, end = index.dictionary_extent()
        if begin >= tail_offset and end <= tail_offset + len(opening.tail):
            dictionary = opening.tail[begin - tail_offset:end - tail_offset]
        else:
            dictionary = source.read(begin, end)
        index.use_dictionary(dictionary)
    return index


def _check_local(path: str, url: str, progress: Callable[[int, int], object] | None) -> None:
    """Checks the downloaded copy *path* of *url* whole; errors name the URL."""
    from tarnkv.reader import TarnReader

    try:
        with TarnReader(path, verify=False, check_reads=True) as r:
            r.verify(progress) if progress is not None else r.verify()
    except CorruptStoreError as e:
        detail = getattr(e, "detail", None) or str(e)
        raise type(e)(f"{detail} in store {url!r}", url) from None


def download(url: str, target: str | os.PathLike[str], *, storage_options: Mapping[str, Any] | None = None,
             verify: bool = True) -> int:
    """Copies the store at *url* to the local file *target*: downloads it next to the target,
    checks it whole (with *verify*), and only then renames it into place, so the target is
    either what it was or the whole new file. The number of bytes."""
    return download_source(pinned(url, storage_options), target, verify=verify)


def download_source(source: AnySource, target: str | os.PathLike[str], *, verify: bool = True) -> int:
    """:func:`download` from a source already opened (its version pinned)."""
    target = os.fspath(target)
    directory = os.path.dirname(os.path.abspath(target))
    fd, tmp = tempfile.mkstemp(prefix=".tarnkv-", suffix=".part", dir=directory)
    try:
        with os.fdopen(fd, "wb") as out:
            size = source.download(out)
            out.flush()
            os.fsync(out.fileno())
        if verify:
            _check_local(tmp, source.url, None)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    return size
