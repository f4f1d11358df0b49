"""Reading a store set at a URL (``s3://bucket/events.set``): :class:`RemoteSetReader`, the API
of :class:`~tarnkv.sets.SetReader` over one :class:`~tarnkv.remote.RemoteReader` per shard.

Opening reads the manifest, then opens every shard (concurrently) as a store at the set's URL
plus the shard's file name, and checks each against its manifest entry. A lookup goes to the
one shard its key's hash names (one request for a hit); batches are grouped by shard; walks
merge the shards' walks in global key order."""

from __future__ import annotations

import heapq
import itertools
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Literal, Self

from tarnkv import _native
from tarnkv.errors import CorruptStoreError, StoreIOError
from tarnkv.mapping import Key, KeyOrderedMapping
from tarnkv.remote.reader import RemoteReader
from tarnkv.sets import manifest as mf
from tarnkv.sets.reader import shards_compression, shards_compression_stats

__all__ = ["RemoteSetReader"]

_OPEN_THREADS = 8
_OPEN_ATTEMPTS = 3


def _key_bytes(key: object) -> bytes | None:
    if isinstance(key, bytes):
        return key
    if isinstance(key, str):
        try:
            return key.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:
            return None
    return None


class RemoteSetReader(KeyOrderedMapping):
    """A store set at a URL opened for reading: the API of :class:`~tarnkv.sets.SetReader`.

    ``RemoteSetReader(url, *, storage_options=None, verify=False, check_reads=True,
    codec="msgpack")``; the options are those of :class:`~tarnkv.remote.RemoteReader`.
    """

    __slots__ = ("_url", "_options", "_manifest", "_readers", "_verified", "_check", "_codec", "__weakref__")

    def __init__(self, url: str, *, storage_options: Mapping[str, Any] | None = None, verify: bool = False,
                 check_reads: bool = True, codec: object = "msgpack") -> None:
        self._readers: tuple[RemoteReader, ...] = ()
        self._url = url.rstrip("/")
        self._options = dict(storage_options or {})
        self._verified, self._check, self._codec = bool(verify), bool(check_reads), codec
        for attempt in range(_OPEN_ATTEMPTS):
            self._manifest = mf.read_url(self._url, self._options)
            try:
                self._readers = self._open_shards()
            except CorruptStoreError:
                # Replaced between its manifest and its shards: start over with the new one.
                if attempt + 1 < _OPEN_ATTEMPTS and self._replaced():
                    continue
                raise
            break
        if verify:
            self.verify()

    def _label(self, i: int) -> str:
        m = self._manifest
        return f"store set {self._url!r}: shard {i} of {m.shard_count} ({m.shards[i].file})"

    def _open_shard(self, i: int) -> RemoteReader:
        entry = self._manifest.shards[i]
        url = f"{self._url}/{entry.file}"
        try:
            r = RemoteReader(url, storage_options=self._options, check_reads=self._check, codec=self._codec)
        except FileNotFoundError:
            raise CorruptStoreError(f"{self._label(i)} is missing", url) from None
        except CorruptStoreError as e:
            raise CorruptStoreError(f"{self._label(i)}: {e}", url) from e
        st = r.stats()
        found = (st["file_size"], st["file_crc32"], st["num_keys"], st["num_objects"])
        wanted = (entry.size, entry.file_crc32, entry.num_keys, entry.num_objects)
        if found != wanted:
            r.close()
            raise CorruptStoreError(f"{self._label(i)} does not match the manifest: size {found[0]}, CRC-32 "
                                    f"{found[1]}, {found[2]} keys, {found[3]} objects where it says {wanted[0]}, "
                                    f"{wanted[1]}, {wanted[2]} keys, {wanted[3]} objects", url)
        return r

    def _open_shards(self) -> tuple[RemoteReader, ...]:
        count = self._manifest.shard_count
        with ThreadPoolExecutor(min(_OPEN_THREADS, count), thread_name_prefix="tarnkv-open") as pool:
            futures = [pool.submit(self._open_shard, i) for i in range(count)]
        opened, first_error = [], None
        for f in futures:
            try:
                opened.append(f.result())
            except BaseException as exc:  # the first failure in shard order is the one raised
                first_error = first_error or exc
        if first_error is not None:
            for r in opened:
                r.close()
            raise first_error
        return tuple(opened)

    def _replaced(self) -> bool:
        try:
            return mf.read_url(self._url, self._options).build_id != self._manifest.build_id
        except (CorruptStoreError, StoreIOError):
            return False

    # --- routing ------------------------------------------------------------------------

    def _live(self) -> tuple[RemoteReader, ...]:
        if not self._readers or self._readers[0].closed:
            raise ValueError("I/O operation on a closed store")
        return self._readers

    def shard_of(self, key: Key, /) -> int:
        """The shard *key* belongs in."""
        return _native.shard_of(key, self._manifest.shard_count)

    def _route(self, key: object) -> RemoteReader:
        readers = self._live()
        k = _key_bytes(key)
        return readers[_native.shard_of(k, len(readers))] if k is not None else readers[0]

    def __getitem__(self, key: Key) -> Any:
        return self._route(key)[key]

    def __contains__(self, key: object) -> bool:
        return key in self._route(key)

    def get(self, key: Key, default: Any = None) -> Any:
        return self._route(key).get(key, default)

    def get_raw(self, key: Key, default: Any = None) -> Any:
        return self._route(key).get_raw(key, default)

    def get_view(self, key: Key, default: Any = None) -> Any:
        return self._route(key).get_view(key, default)

    def _grouped(self, keys: Iterable[Key], default: Any, raw: bool) -> list[Any]:
        readers = self._live()
        keys = list(keys)
        groups: dict[int, list[int]] = {}
        for i, key in enumerate(keys):
            k = _key_bytes(key)
            groups.setdefault(_native.shard_of(k, len(readers)) if k is not None else 0, []).append(i)
        out: list[Any] = [default] * len(keys)
        for shard, positions in groups.items():
            r = readers[shard]
            wanted = [keys[i] for i in positions]
            got = r.get_many_raw(wanted, default) if raw else r.get_many(wanted, default)
            for i, value in zip(positions, got):
                out[i] = value
        return out

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        return self._grouped(keys, default, False)

    def get_many_raw(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        return self._grouped(keys, default, True)

    def __len__(self) -> int:
        return sum(len(r) for r in self._live())

    def __iter__(self) -> Iterator[str]:
        return self._scan(_native.SCAN_KEYS)

    def count_prefix(self, prefix: Key, /) -> int:
        return sum(r.count_prefix(prefix) for r in self._live())

    def _scan(self, kind: int, prefix: Key | None = None, limit: int | None = None) -> Iterator[Any]:
        readers = self._live()
        if limit is not None and limit < 0:
            raise ValueError("limit must not be negative")
        walks = [r.keyed_scan(kind, prefix, limit) for r in readers]
        merged = (item for _, item in heapq.merge(*walks, key=lambda pair: pair[0]))
        return itertools.islice(merged, limit) if limit is not None else merged

    # --- the set ------------------------------------------------------------------------

    @property
    def path(self) -> str:
        return self._url

    @property
    def readers(self) -> tuple[RemoteReader, ...]:
        return self._readers

    @property
    def manifest(self) -> mf.Manifest:
        return self._manifest

    @property
    def shard_count(self) -> int:
        return self._manifest.shard_count

    @property
    def codec(self) -> Any:
        return self._codec

    @property
    def check_reads(self) -> bool:
        return self._check

    @property
    def closed(self) -> bool:
        return not self._readers or self._readers[0].closed

    @property
    def compression(self) -> Literal["zstd"] | None:
        return shards_compression(self._live())

    def compression_stats(self) -> dict[str, Any] | None:
        """As :meth:`tarnkv.sets.SetReader.compression_stats`: every compressed shard's objects
        are read once."""
        return shards_compression_stats(self._live())

    def stats(self) -> dict[str, Any]:
        """As :meth:`tarnkv.sets.SetReader.stats` gives them; ``path`` is the URL."""
        m = self._manifest
        shards = []
        for i, r in enumerate(self._live()):
            st = r.stats()
            st["index"], st["file"] = i, m.shards[i].file
            shards.append(st)
        size = sum(s["file_size"] for s in shards)
        return {"path": self._url, "format": mf.FORMAT, "format_version": mf.FORMAT_VERSION,
                "shard_count": m.shard_count, "num_keys": sum(s["num_keys"] for s in shards),
                "num_objects": sum(s["num_objects"] for s in shards), "file_size": size,
                "file_size_kb": size / 1024, "build_id": m.build_id, "created": m.created, "codec": m.codec,
                "routing": dict(m.routing), "shards": shards}

    def verify(self, progress: Callable[[int, int], object] | None = None) -> Literal[True]:
        """Each shard's :meth:`~tarnkv.remote.RemoteReader.verify`, then that every key sits
        in the shard its hash names."""
        readers = self._live()
        for i, r in enumerate(readers):
            r.verify(progress)
            for key in r.keys(raw=True):
                belongs = _native.shard_of(key, len(readers))
                if belongs != i:
                    raise CorruptStoreError(f"{self._label(i)} holds key {key!r}, which belongs in shard "
                                            f"{belongs} (a shard swapped with another or renamed)", r.path, key)
        return True

    def close(self) -> None:
        for r in self._readers:
            r.close()

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
        return f"{type(self).__name__}({self._url!r}, shards={self.shard_count}, keys={len(self)})"


def _reopen(url: str, options: dict[str, Any], verify: bool, check_reads: bool, codec: object) -> RemoteSetReader:
    return RemoteSetReader(url, storage_options=options, verify=verify, check_reads=check_reads, codec=codec)
