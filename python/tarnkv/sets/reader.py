"""Reading store sets: :class:`SetReader`, what :func:`tarnkv.open` returns for a set's directory."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from typing import Any, Literal, Self, TypedDict, cast

from tarnkv import _native
from tarnkv.errors import CorruptStoreError, StoreIOError
from tarnkv.mapping import KeyOrderedMapping, StrPath
from tarnkv.reader import StoreStats, TarnReader
from tarnkv.sets import manifest as mf

__all__ = ["SetReader", "SetStats", "ShardStats"]

# Opening a shard maps it and loads its index (and with verify, checks its CRC) without the
# interpreter lock: a few threads open a large set's shards side by side.
_OPEN_THREADS = min(8, os.cpu_count() or 1)
# How often opening starts over because the set was replaced while its shards were opened.
_OPEN_ATTEMPTS = 3


class ShardStats(StoreStats):
    """One shard in :meth:`SetReader.stats`: its store's statistics, its number and file name."""

    index: int
    file: str


class SetStats(TypedDict):
    """What :meth:`SetReader.stats` returns: the set's totals, its manifest's facts and each
    shard's own statistics."""

    path: str | bytes
    format: str
    format_version: int
    shard_count: int
    num_keys: int
    num_objects: int
    file_size: int
    file_size_kb: float
    build_id: str
    created: str
    codec: str | None
    routing: dict[str, Any]
    shards: list[ShardStats]


def _shard_label(directory: str, i: int, entry: mf.ShardEntry, count: int) -> str:
    return f"store set {directory!r}: shard {i} of {count} ({entry.file})"


def _open_shard(directory: str, i: int, entry: mf.ShardEntry, count: int, verify: bool, check_reads: bool,
                codec: object) -> TarnReader:
    """Shard *i*, checked against its manifest entry: present, of the recorded size, with the
    recorded header CRC and counts. Every failure names the shard."""
    path = os.path.join(directory, entry.file)
    label = _shard_label(directory, i, entry, count)
    mf.check_shard_size(path, entry, label, " (truncated, grown or replaced)")
    try:
        reader = TarnReader(path, verify=verify, check_reads=check_reads, codec=codec)
    except CorruptStoreError as exc:
        raise CorruptStoreError(f"{label}: {exc}", path) from exc
    except FileNotFoundError:
        # Gone since its size was checked: as missing as if it had never been there (and,
        # when the set was replaced meanwhile, a reason to start over).
        raise CorruptStoreError(f"{label} is missing", path) from None
    try:
        st = reader.stats()
        found = (st["file_crc32"], st["num_keys"], st["num_objects"])
        wanted = (entry.file_crc32, entry.num_keys, entry.num_objects)
        if found != wanted:
            raise CorruptStoreError(f"{label} does not match the manifest: CRC-32 {found[0]}, {found[1]} keys, "
                                    f"{found[2]} objects where it says {wanted[0]}, {wanted[1]} keys, {wanted[2]} "
                                    "objects (a shard of another set, or shards swapped or renamed)", path)
    except BaseException:
        reader.close()
        raise
    return reader


def _open_all(directory: str, manifest: mf.Manifest, verify: bool, check_reads: bool,
              codec: object) -> list[TarnReader]:
    count = manifest.shard_count

    def one(i: int) -> TarnReader:
        return _open_shard(directory, i, manifest.shards[i], count, verify, check_reads, codec)

    if count == 1 or _OPEN_THREADS == 1:
        readers: list[TarnReader] = []
        try:
            for i in range(count):
                readers.append(one(i))
        except BaseException:
            for r in readers:
                r.close()
            raise
        return readers
    from concurrent.futures import ThreadPoolExecutor  # on first use: a heavy import

    with ThreadPoolExecutor(min(_OPEN_THREADS, count), thread_name_prefix="tarnkv-open") as pool:
        futures = [pool.submit(one, i) for i in range(count)]
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
    return opened


def shards_compression(readers: Iterable[Any]) -> Literal["zstd"] | None:
    """The ``compression`` of a set whose shards are *readers*: ``"zstd"`` when any is compressed."""
    return "zstd" if any(r.compression is not None for r in readers) else None


def shards_compression_stats(readers: Iterable[Any]) -> dict[str, Any] | None:
    """The ``compression_stats()`` of a set whose shards are *readers*: theirs summed, with
    ``compressed_shards``; None when no shard is compressed."""
    found = [s for r in readers if (s := r.compression_stats()) is not None]
    if not found:
        return None
    return {"compression": "zstd", "compressed_shards": len(found),
            **{name: sum(s[name] for s in found) for name in ("dictionary_size", "stored_bytes", "original_bytes")}}


class SetReader(_native.ShardSet, KeyOrderedMapping):
    """A store set opened for reading: one immutable mapping over all its shards.

    ``SetReader(directory, *, verify=True, check_reads=True, codec="msgpack")``, or
    :func:`tarnkv.open` of the directory.

    It has the API of :class:`~tarnkv.TarnReader`. Lookups (``r[k]``, ``get``, ``in``,
    ``get_raw``, ``get_view``) go to the one shard that holds the key; ``get_many`` looks a
    batch up with one batch per shard; iteration, ``keys()``, ``values()``, ``items()`` and
    ``prefix()`` walk every shard at once in global key order (a lazy k-way merge). ``len``,
    ``count_prefix`` and ``stats()`` add the shards up.

    Every shard is opened when the set is: its file must be there with the size, header CRC
    and counts the manifest records, so a missing, truncated, replaced or swapped shard fails
    the open with a :class:`~tarnkv.CorruptStoreError` naming it (with ``verify=True`` each
    shard's whole-file CRC is checked too). ``verify()`` checks every object and that every key
    sits in the shard its hash names. The reader then keeps every shard mapped until
    ``close()``, so a set replaced on disk meanwhile does not disturb it.
    """

    __slots__ = ("_directory", "_manifest", "_verified", "_check_reads", "_codec")

    _directory: str | bytes
    _manifest: mf.Manifest
    _verified: bool
    _check_reads: bool
    _codec: object

    def __new__(cls, path: StrPath, *, verify: bool = True, check_reads: bool = True,
                codec: object = "msgpack") -> Self:
        given = os.fspath(path)
        directory = os.fsdecode(given)
        for attempt in range(_OPEN_ATTEMPTS):
            manifest = mf.read(directory)
            try:
                readers = _open_all(directory, manifest, verify, check_reads, codec)
            except CorruptStoreError:
                # A set rebuilt in place between reading its manifest and opening its shards:
                # the old shards may be gone. Start over with the new manifest.
                if attempt + 1 < _OPEN_ATTEMPTS and _replaced(directory, manifest):
                    continue
                raise
            break
        self = super().__new__(cls, tuple(readers))
        self._directory = given
        self._manifest = manifest
        self._verified = verify
        self._check_reads = check_reads
        self._codec = readers[0].codec
        return self

    # --- What a TarnReader has --------------------------------------------------------------

    @property
    def path(self) -> str | bytes:
        """The set's directory, as given."""
        return self._directory

    @property
    def readers(self) -> tuple[TarnReader, ...]:
        """The shards' own readers, in shard order."""
        return cast(tuple[TarnReader, ...], self.shards)

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called."""
        return self.readers[0].closed

    @property
    def codec(self) -> Any:
        """The codec objects are decoded with."""
        return self._codec

    @property
    def check_reads(self) -> bool:
        """Whether each object's CRC-32 is checked when it is read."""
        return self._check_reads

    @property
    def compression(self) -> Literal["zstd"] | None:
        """``"zstd"`` when the shards are compressed stores (a build makes all of them alike),
        else None."""
        return shards_compression(self.readers)

    def compression_stats(self) -> dict[str, Any] | None:
        """None when no shard is compressed; else :meth:`TarnReader.compression_stats` summed
        over the shards (``dictionary_size`` counts every shard's dictionary) with
        ``compressed_shards``, how many shards are compressed. Each compressed shard's data
        section is scanned."""
        return shards_compression_stats(self.readers)

    @property
    def manifest(self) -> mf.Manifest:
        """The manifest the set was opened with."""
        return self._manifest

    @property
    def shard_count(self) -> int:
        """The number of shards."""
        return self._manifest.shard_count

    def stats(self) -> SetStats:
        """The set's totals (``num_keys``, ``num_objects``, ``file_size`` of all shards), its
        manifest's facts and, under ``shards``, each shard's own :meth:`TarnReader.stats` with
        its ``index`` and ``file``."""
        m = self._manifest
        shards: list[ShardStats] = []
        for i, r in enumerate(self.readers):
            st = cast(ShardStats, dict(r.stats()))
            st["index"] = i
            st["file"] = m.shards[i].file
            shards.append(st)
        size = sum(s["file_size"] for s in shards)
        return SetStats(path=self._directory, format=mf.FORMAT, format_version=mf.FORMAT_VERSION,
                        shard_count=m.shard_count, num_keys=sum(s["num_keys"] for s in shards),
                        num_objects=sum(s["num_objects"] for s in shards), file_size=size,
                        file_size_kb=size / 1024, build_id=m.build_id, created=m.created, codec=m.codec,
                        routing=dict(m.routing), shards=shards)

    def verify(self, progress: Callable[[int, int], object] | None = None) -> Literal[True]:
        """Checks the whole set; returns True or raises :class:`~tarnkv.CorruptStoreError`
        naming the shard at fault.

        Each shard as :meth:`TarnReader.verify` checks a store (its whole-file CRC, then every
        object's); then that each matches its manifest entry (size, header CRC, counts), that
        the counts add up, and that every key sits in the shard its hash names -- a shard
        swapped with another or renamed is caught here. *progress(done, total)* hears of bytes
        checked over all shards.
        """
        if progress is not None and not callable(progress):
            # As a single store's check refuses it: at once, not at the first report.
            t = type(progress)
            name = t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"
            raise TypeError(f"progress must be callable or None, not {name}")
        m = self._manifest
        shards = self.readers
        stats = [r.stats() for r in shards]
        # A shard's own check reports its file once and its data section once more.
        totals = [s["file_size"] + s["index_offset"] - s["data_offset"] for s in stats]
        grand = sum(totals)
        before = 0
        for i, r in enumerate(shards):
            entry = m.shards[i]
            label = _shard_label(os.fsdecode(self._directory), i, entry, m.shard_count)
            report: Callable[[int, int], object] | None = None
            if progress is not None:
                def report(done: int, total: int, base: int = before, cb: Callable[[int, int], object] = progress
                           ) -> object:
                    return cb(base + done, grand)
            r.verify(report)
            st = stats[i]
            found = (st["file_size"], st["file_crc32"], st["num_keys"], st["num_objects"])
            wanted = (entry.size, entry.file_crc32, entry.num_keys, entry.num_objects)
            if found != wanted:
                raise CorruptStoreError(f"{label} does not match the manifest: size {found[0]}, CRC-32 {found[1]}, "
                                        f"{found[2]} keys, {found[3]} objects where it says {wanted[0]}, "
                                        f"{wanted[1]}, {wanted[2]} keys, {wanted[3]} objects", r.path)
            stray = self._misrouted(i)
            if stray is not None:
                belongs = self.shard_of(stray)
                raise CorruptStoreError(f"{label} holds key {_shown(stray)}, which belongs in shard {belongs} "
                                        "(a shard swapped with another or renamed)", r.path, stray)
            before += totals[i]
        return True

    def close(self) -> None:
        """Unmaps every shard; later use raises ``ValueError``. Closing twice is harmless."""
        for r in self.readers:
            r.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> Literal[False]:
        self.close()
        return False

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self._directory, self._verified, self._check_reads, self._codec))

    def __repr__(self) -> str:
        if self.closed:
            return f"{type(self).__name__}({self._directory!r}, closed)"
        return f"{type(self).__name__}({self._directory!r}, shards={self.shard_count}, keys={len(self)})"


def _shown(key: bytes) -> str:
    try:
        return repr(key.decode("utf-8"))
    except UnicodeDecodeError:
        return repr(key)


def _replaced(directory: str, old: mf.Manifest) -> bool:
    try:
        return mf.read(directory).build_id != old.build_id
    except (CorruptStoreError, StoreIOError):
        return False


def _reopen(path: StrPath, verify: bool, check_reads: bool, codec: object) -> SetReader:
    return SetReader(path, verify=verify, check_reads=check_reads, codec=codec)
