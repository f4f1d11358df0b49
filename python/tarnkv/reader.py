"""Reading stores: :class:`TarnReader` and :func:`open`."""

from __future__ import annotations

import os
from collections.abc import ItemsView, Iterator, KeysView, Mapping, ValuesView
from typing import TYPE_CHECKING, Any, Literal, Self, TypedDict, cast, overload

from tarnkv import _native
from tarnkv.codec import resolve

if TYPE_CHECKING:
    from tarnkv.sets.reader import SetReader

__all__ = ["TarnReader", "open", "StoreStats"]

Key = str | bytes
StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]


class StoreStats(TypedDict):
    """What :meth:`TarnReader.stats` returns: the header's values and the file's size."""

    path: str | bytes
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size: int
    file_size_kb: float
    file_crc32: str


class _KeysView(KeysView[str]):
    """The keys of a reader, lazily in key order."""

    __slots__ = ()
    _mapping: _KeyOrderedMapping

    def __iter__(self) -> Iterator[str]:
        return iter(self._mapping)  # the native iterator itself, without a generator around it


class _ItemsView(ItemsView[str, Any]):
    """The items of a reader, read lazily in key order."""

    __slots__ = ()
    _mapping: _KeyOrderedMapping

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self._mapping._scan(_native.SCAN_ITEMS)


class _ValuesView(ValuesView[Any]):
    """The objects of a reader, read lazily in key order."""

    __slots__ = ()
    _mapping: _KeyOrderedMapping

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._scan(_native.SCAN_VALUES)


class _BytesKeysView(KeysView[bytes]):
    """The keys of a reader as their stored bytes, lazily in key order."""

    __slots__ = ()
    _mapping: _KeyOrderedMapping

    def __iter__(self) -> Iterator[bytes]:
        return self._mapping._scan(_native.SCAN_KEYS_BYTES)


class _KeyOrderedMapping(Mapping[str, Any]):
    """The views and scans of a mapping that walks its keys in order through ``_scan`` (a
    reader's, or a set's over all its shards)."""

    __slots__ = ()

    if TYPE_CHECKING:
        def _scan(self, kind: int, prefix: Key | None = None, limit: int | None = None) -> Iterator[Any]: ...

    @overload
    def keys(self, *, raw: Literal[False] = False) -> KeysView[str]: ...
    @overload
    def keys(self, *, raw: Literal[True]) -> KeysView[bytes]: ...
    @overload
    def keys(self, *, raw: bool) -> KeysView[str] | KeysView[bytes]: ...

    def keys(self, *, raw: bool = False) -> KeysView[str] | KeysView[bytes]:
        """A view of the keys, as ``str``, or as the exact stored ``bytes`` when *raw* is true."""
        # The view's own __iter__ yields bytes; it only borrows the reader's len() and `in`.
        return _BytesKeysView(cast(Mapping[bytes, Any], self)) if raw else _KeysView(self)

    def values(self) -> ValuesView[Any]:
        """A view of the decoded objects, in key order (one per key)."""
        return _ValuesView(self)

    def items(self) -> ItemsView[str, Any]:
        """A view of the ``(key, decoded object)`` pairs, in key order."""
        return _ItemsView(self)

    def items_raw(self) -> Iterator[tuple[str, bytes]]:
        """A lazy iterator of ``(key, stored bytes)`` pairs, in key order, without decoding."""
        return self._scan(_native.SCAN_ITEMS_RAW)

    def values_raw(self) -> Iterator[bytes]:
        """A lazy iterator of the stored bytes of each key's object, in key order."""
        return self._scan(_native.SCAN_VALUES_RAW)

    def prefix(self, prefix: Key, *, limit: int | None = None) -> Iterator[tuple[str, Any]]:
        """A lazy iterator of ``(key, decoded object)`` for the keys that start with *prefix*
        (compared as bytes), in key order; at most *limit* pairs when given."""
        return self._scan(_native.SCAN_ITEMS, prefix, limit)

    def prefix_raw(self, prefix: Key, *, limit: int | None = None) -> Iterator[tuple[str, bytes]]:
        """:meth:`prefix` with the stored bytes instead of decoded objects."""
        return self._scan(_native.SCAN_ITEMS_RAW, prefix, limit)

    def prefix_keys(self, prefix: Key, *, limit: int | None = None, raw: bool = False) -> Iterator[Any]:
        """A lazy iterator of the keys that start with *prefix* (``bytes`` when *raw*)."""
        return self._scan(_native.SCAN_KEYS_BYTES if raw else _native.SCAN_KEYS, prefix, limit)


class TarnReader(_native.Reader, _KeyOrderedMapping):
    """A store file opened for reading: an immutable mapping from keys to decoded objects.

    ``TarnReader(path, *, verify=True, check_reads=True, codec="msgpack")``

    - ``verify``: check the CRC-32 of the whole file while opening (one pass over it).
    - ``check_reads``: check each object's own CRC-32 whenever it is read, so that a damaged
      object raises :class:`~tarnkv.CorruptStoreError` instead of coming back wrong.
    - ``codec``: how objects are decoded; see :mod:`tarnkv.codec`.

    Keys are ``str`` or ``bytes`` (a ``str`` stands for its UTF-8 bytes, so ``"a"`` and
    ``b"a"`` are one key). Keys come back as ``str``; bytes that are not UTF-8 come back as
    surrogate escapes (as :func:`os.fsdecode` makes them), which find their key again;
    ``keys(raw=True)`` gives the exact bytes. Everything iterates lazily in key order
    (unsigned bytewise order of the keys' bytes).

    The reader is safe to share between threads and usable in a child after ``fork()``; it
    pickles as its path and options, and unpickling opens the file again. ``close()`` (or the
    end of a ``with`` block) unmaps the file; later calls raise ``ValueError``.
    """

    __slots__ = ()

    def __new__(cls, path: StrPath, *, verify: bool = True, check_reads: bool = True,
                codec: object = "msgpack") -> Self:
        _, _, _, decode, decode_kwargs = resolve(codec)
        return super().__new__(cls, path, verify=verify, check_reads=check_reads, decode=decode,
                               decode_kwargs=decode_kwargs, codec=codec, native_msgpack=codec == "msgpack")

    def stats(self) -> StoreStats:
        """The store's header values and size: ``path``, ``version``, ``num_keys``,
        ``num_objects``, ``index_offset``, ``data_offset``, ``file_size`` (bytes),
        ``file_size_kb`` and ``file_crc32`` (the stored CRC as ``"0x"`` and 8 hex digits)."""
        return cast(StoreStats, super().stats())

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self.path, self._verified, self.check_reads, self.codec))

    def __repr__(self) -> str:
        if self.closed:
            return f"{type(self).__name__}({self.path!r}, closed)"
        return f"{type(self).__name__}({self.path!r}, keys={len(self)})"


def _reopen(path: StrPath, verify: bool, check_reads: bool, codec: object) -> TarnReader:
    return TarnReader(path, verify=verify, check_reads=check_reads, codec=codec)


def open(path: StrPath, *, verify: bool = True, check_reads: bool = True,
         codec: object = "msgpack") -> TarnReader | SetReader:
    """Opens the store file at *path* for reading, the same as :class:`TarnReader`\\ ``(...)``;
    or, when *path* is the directory of a store set, the set as a :class:`~tarnkv.sets.SetReader`
    (the same reading API over all its shards)."""
    if os.path.isdir(path):
        # A set, or (without a manifest) IsADirectoryError saying it is not one.
        from tarnkv.sets.reader import SetReader

        return SetReader(path, verify=verify, check_reads=check_reads, codec=codec)
    return TarnReader(path, verify=verify, check_reads=check_reads, codec=codec)
