"""Errors of sharded builds.

Both classes travel between processes (a Dask worker raises them, the client re-raises them),
so they pickle with every attribute.
"""

from __future__ import annotations

from typing import Any

from tarnkv.errors import DuplicateKeyError, TarnError

__all__ = ["SetDuplicateKeyError", "RecordError"]

#: Where a record came from: (partition number, record number in the partition); either may be
#: None when it is not known.
Origin = tuple[int | None, int | None]


def _show_key(key: str | bytes) -> str:
    if isinstance(key, bytes):
        try:
            key = key.decode("utf-8")
        except UnicodeDecodeError:
            pass
    text = repr(key)
    return text if len(text) <= 80 else text[:77] + "..."


def _where(origin: Origin) -> str:
    partition, record = origin
    if partition is None:
        return f"record {record}"
    return f"partition {partition}, record {record}"


class SetDuplicateKeyError(DuplicateKeyError):
    """Two records of a sharded build share a key and ``on_duplicate="error"``.

    ``key`` is the key; ``first`` and ``second`` say where the two records came from, as
    ``(partition, record)`` pairs in the collection's order (``existing_id`` and ``new_id`` are
    their record numbers). Nothing is published.
    """

    def __init__(self, key: str | bytes, first: Origin, second: Origin, message: str | None = None) -> None:
        text = message or (f"duplicate key {_show_key(key)}: {_where(first)} and {_where(second)} both have it "
                           "(on_duplicate='first' or 'last' keeps one)")
        super().__init__(text, key, first[1] if first[1] is not None else -1,
                         second[1] if second[1] is not None else -1)
        self.first = first
        self.second = second

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.key, self.first, self.second, str(self)))

    def with_partitions(self, first: int | None, second: int | None) -> SetDuplicateKeyError:
        """The same error with the partitions filled in where they were unknown."""
        return SetDuplicateKeyError(self.key, (self.first[0] if self.first[0] is not None else first, self.first[1]),
                                    (self.second[0] if self.second[0] is not None else second, self.second[1]))


class RecordError(TarnError, ValueError):
    """A record a sharded build cannot store: no key, a key that cannot be one, an object the
    codec cannot encode. ``partition`` and ``record`` say which."""

    def __init__(self, message: str, partition: int | None = None, record: int | None = None) -> None:
        super().__init__(message)
        self.partition = partition
        self.record = record

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.partition, self.record))


def _duplicate(key: bytes, first_run: int, first_seq: int, second_run: int, second_seq: int) -> SetDuplicateKeyError:
    """Called by the native merge and run writer (runs are -1 when unknown)."""
    try:
        shown: str | bytes = key.decode("utf-8")
    except UnicodeDecodeError:
        shown = key
    return SetDuplicateKeyError(shown, (first_run if first_run >= 0 else None, first_seq),
                                (second_run if second_run >= 0 else None, second_seq))
