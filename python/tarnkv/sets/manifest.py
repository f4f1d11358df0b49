"""The manifest of a store set: what makes a directory a set.

A store set is a directory holding ``manifest.json`` and the shard files it names, each an
ordinary store. The manifest is written last and atomically (temporary file, fsync, rename,
directory sync): a directory without one is not a set, and a set being rebuilt in place is
always either the old set or the new one. Its fields (JSON):

- ``format`` ``"tarnkv-set"`` and ``format_version`` ``1``;
- ``shard_count`` N and ``routing``: ``{"function": "xxh3_64", "seed": 0, "key_encoding":
  "utf-8", "shard": "hash % shard_count"}`` -- a key lives in shard ``XXH3_64(key bytes, seed
  0) mod N``, the key's bytes being a text key's UTF-8 encoding (:func:`tarnkv.key_hash`);
- ``codec``: what the objects are (``"msgpack"``, ``null`` for raw bytes, or a custom codec's
  name);
- ``build_id`` (32 hex digits, also part of every shard's file name) and ``created`` (UTC,
  ISO 8601);
- ``num_keys``, ``num_objects``, ``total_size``: the sums over the shards;
- ``shards``: one object per shard in shard order: ``index``, ``file`` (a name in the
  directory), ``size`` (bytes), ``file_crc32`` (the shard header's CRC-32 as ``"0x"`` and eight
  hex digits), ``num_keys``, ``num_objects``.
"""

from __future__ import annotations

import datetime
import errno
import json
import os
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Final

from tarnkv.files import sync_directory
from tarnkv.errors import CorruptStoreError, UnsupportedVersionError

__all__ = ["Manifest", "ShardEntry", "MANIFEST", "FORMAT", "FORMAT_VERSION", "ROUTING", "read", "read_url", "is_set", "write",
           "write_url"]

MANIFEST: Final = "manifest.json"
FORMAT: Final = "tarnkv-set"
FORMAT_VERSION: Final = 1
ROUTING: Final = {"function": "xxh3_64", "seed": 0, "key_encoding": "utf-8", "shard": "hash % shard_count"}
#: More shards than this is a mistake, not a plan (each is a file, a mapping and an index).
MAX_SHARDS: Final = 1 << 20

_CRC = re.compile(r"0x[0-9a-f]{8}\Z")
_HEADER_SIZE = 40


@dataclass(frozen=True, slots=True)
class ShardEntry:
    """One shard as the manifest records it."""

    file: str
    size: int
    file_crc32: str
    num_keys: int
    num_objects: int


@dataclass(frozen=True, slots=True)
class Manifest:
    """A set's manifest (see the module's documentation for the fields)."""

    shards: tuple[ShardEntry, ...]
    codec: str | None
    build_id: str
    created: str
    routing: dict[str, Any] = field(default_factory=lambda: dict(ROUTING))

    @property
    def shard_count(self) -> int:
        return len(self.shards)

    @property
    def num_keys(self) -> int:
        return sum(s.num_keys for s in self.shards)

    @property
    def num_objects(self) -> int:
        return sum(s.num_objects for s in self.shards)

    @property
    def total_size(self) -> int:
        return sum(s.size for s in self.shards)

    def to_json(self) -> dict[str, Any]:
        return {
            "format": FORMAT,
            "format_version": FORMAT_VERSION,
            "shard_count": self.shard_count,
            "routing": self.routing,
            "codec": self.codec,
            "build_id": self.build_id,
            "created": self.created,
            "num_keys": self.num_keys,
            "num_objects": self.num_objects,
            "total_size": self.total_size,
            "shards": [{"index": i, "file": s.file, "size": s.size, "file_crc32": s.file_crc32,
                        "num_keys": s.num_keys, "num_objects": s.num_objects} for i, s in enumerate(self.shards)],
        }


def now() -> str:
    """The current time as the manifest writes it."""
    return datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def is_set(directory: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> bool:
    """Whether *directory* holds a manifest, that is, is a store set (not whether it is sound)."""
    return os.path.isfile(os.path.join(os.fsdecode(directory), MANIFEST))


def _bad(directory: str, what: str) -> CorruptStoreError:
    return CorruptStoreError(f"store set {directory!r}: bad {MANIFEST}: {what}", os.path.join(directory, MANIFEST))


def _count(value: object, directory: str, what: str, low: int = 0) -> int:
    if type(value) is not int or value < low:
        raise _bad(directory, f"{what} is {value!r}")
    return value


def parse(data: bytes, directory: str) -> Manifest:
    """The manifest in *data*, checked field by field; CorruptStoreError says what is wrong."""
    try:
        doc = json.loads(data)
    except (ValueError, UnicodeDecodeError) as exc:
        raise _bad(directory, f"not JSON ({exc})") from None
    if type(doc) is not dict or doc.get("format") != FORMAT:
        raise _bad(directory, f"not a {FORMAT} manifest")
    version = doc.get("format_version")
    if version != FORMAT_VERSION:
        shown = version if type(version) is int else 0
        raise UnsupportedVersionError(f"unsupported store set format version {version!r} in {directory!r}",
                                      os.path.join(directory, MANIFEST), shown)
    routing = doc.get("routing")
    if routing != ROUTING:
        raise _bad(directory, f"unknown routing {routing!r}")
    codec = doc.get("codec")
    if codec is not None and type(codec) is not str:
        raise _bad(directory, f"codec is {codec!r}")
    build_id, created = doc.get("build_id"), doc.get("created")
    if type(build_id) is not str or not re.fullmatch(r"[0-9a-f]{8,64}", build_id):
        raise _bad(directory, f"build_id is {build_id!r}")
    if type(created) is not str:
        raise _bad(directory, f"created is {created!r}")
    count = _count(doc.get("shard_count"), directory, "shard_count", 1)
    if count > MAX_SHARDS:
        raise _bad(directory, f"shard_count is {count}")
    entries = doc.get("shards")
    if type(entries) is not list or len(entries) != count:
        raise _bad(directory, "the shard list does not hold shard_count shards")
    shards = []
    seen: set[str] = set()
    for i, e in enumerate(entries):
        if type(e) is not dict or e.get("index") != i:
            raise _bad(directory, f"shard {i} is out of place")
        name = e.get("file")
        # A plain name in the set's own directory: a manifest can't point anywhere else.
        if type(name) is not str or not name or "/" in name or "\0" in name or name in (".", "..", MANIFEST) \
                or name in seen:
            raise _bad(directory, f"shard {i} has the file name {name!r}")
        seen.add(name)
        crc = e.get("file_crc32")
        if type(crc) is not str or not _CRC.match(crc):
            raise _bad(directory, f"shard {i} has the CRC {crc!r}")
        shards.append(ShardEntry(name, _count(e.get("size"), directory, f"shard {i}'s size", _HEADER_SIZE), crc,
                                 _count(e.get("num_keys"), directory, f"shard {i}'s num_keys"),
                                 _count(e.get("num_objects"), directory, f"shard {i}'s num_objects")))
    manifest = Manifest(tuple(shards), codec, build_id, created, dict(ROUTING))
    for name, total in (("num_keys", manifest.num_keys), ("num_objects", manifest.num_objects),
                        ("total_size", manifest.total_size)):
        if doc.get(name) != total:
            raise _bad(directory, f"{name} is {doc.get(name)!r}, but the shards add up to {total}")
    return manifest


def read(directory: str) -> Manifest:
    """The manifest of the set at *directory*. A directory without one raises
    ``IsADirectoryError`` (a :class:`~tarnkv.StoreIOError`): it is not a set."""
    from tarnkv.errors import StoreIsADirectoryError, io_error

    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        if os.path.isdir(directory):
            raise StoreIsADirectoryError(errno.EISDIR, f"{os.strerror(errno.EISDIR)} (no {MANIFEST}: not a store set)",
                                         directory) from None
        raise io_error(errno.ENOENT, directory) from None
    except OSError as exc:
        raise io_error(exc.errno or errno.EIO, path) from None
    return parse(data, directory)


def read_url(url: str, storage_options: Any = None) -> Manifest:
    """The manifest of the set at *url* (``s3://bucket/events.set``, ``https://...``), read
    with :mod:`tarnkv.remote`; a set without one raises ``FileNotFoundError`` (a
    :class:`~tarnkv.StoreIOError`) naming the manifest's URL."""
    from tarnkv.remote.sources import fetch_whole

    return parse(fetch_whole(url.rstrip("/") + "/" + MANIFEST, storage_options), url.rstrip("/"))


def check_shard_size(path: str, entry: ShardEntry, label: str, why: str = "") -> None:
    """Raises CorruptStoreError, naming the shard by *label*, when the shard file *path* is
    missing or not of its recorded size (*why* follows the sizes in the message)."""
    try:
        size = os.stat(path).st_size
    except FileNotFoundError:
        raise CorruptStoreError(f"{label} is missing", path) from None
    if size != entry.size:
        raise CorruptStoreError(f"{label} is {size} bytes where the manifest says {entry.size}{why}", path)


def dumps(manifest: Manifest) -> bytes:
    """The manifest's file as it is written."""
    return json.dumps(manifest.to_json(), indent=1).encode() + b"\n"


def write(directory: str, manifest: Manifest) -> None:
    """Publishes *manifest* in *directory*: temporary file, fsync, rename, directory sync."""
    data = dumps(manifest)
    tmp = os.path.join(directory, f".{MANIFEST}.{manifest.build_id}.tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC | os.O_NOFOLLOW, 0o666)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(tmp, os.path.join(directory, MANIFEST))
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    sync_directory(directory)


def write_url(url: str, manifest: Manifest, storage_options: Mapping[str, Any] | None = None) -> None:
    """Publishes *manifest* for the set at the object storage URL *url*: one request, which
    replaces the manifest whole (readers get the old one or the new one)."""
    from tarnkv.remote import publish

    publish.put_bytes(f"{url}/{MANIFEST}", dumps(manifest), storage_options=storage_options)


def shard_files(manifest: Manifest | None) -> Iterable[str]:
    return () if manifest is None else (s.file for s in manifest.shards)
