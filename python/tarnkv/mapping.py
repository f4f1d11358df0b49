"""The mapping API that a store's reader and a set's reader share: views and scans in key
order over a native ``_scan``."""

from __future__ import annotations

import os
from collections.abc import ItemsView, Iterator, KeysView, Mapping, ValuesView
from typing import TYPE_CHECKING, Any, Literal, cast, overload

from tarnkv import _native

__all__ = ["KeyOrderedMapping", "Key", "StrPath"]

Key = str | bytes
StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]


class _KeysView(KeysView[str]):
    """The keys of a reader, lazily in key order."""

    __slots__ = ()
    _mapping: KeyOrderedMapping

    def __iter__(self) -> Iterator[str]:
        return iter(self._mapping)  # the native iterator itself, without a generator around it


class _ItemsView(ItemsView[str, Any]):
    """The items of a reader, read lazily in key order."""

    __slots__ = ()
    _mapping: KeyOrderedMapping

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self._mapping._scan(_native.SCAN_ITEMS)


class _ValuesView(ValuesView[Any]):
    """The objects of a reader, read lazily in key order."""

    __slots__ = ()
    _mapping: KeyOrderedMapping

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._scan(_native.SCAN_VALUES)


class _BytesKeysView(KeysView[bytes]):
    """The keys of a reader as their stored bytes, lazily in key order."""

    __slots__ = ()
    _mapping: KeyOrderedMapping

    def __iter__(self) -> Iterator[bytes]:
        return self._mapping._scan(_native.SCAN_KEYS_BYTES)


class KeyOrderedMapping(Mapping[str, Any]):
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
