"""Store sets: one logical store split into shard files, for data past one machine.

A set is a directory holding ``manifest.json`` and N shard files, each an ordinary store; a
key lives in shard ``key_hash(key) % N`` (:mod:`tarnkv.sets.manifest` documents the format, so
that other languages can route). :func:`tarnkv.open` of the directory returns a
:class:`SetReader`, which has a single store's reading API; :func:`tarnkv.dask.build_set`
builds sets on a Dask cluster and :func:`merge` joins stores and sets into a store or a set.
"""

from typing import TYPE_CHECKING, Any

from tarnkv.sets.errors import RecordError, SetDuplicateKeyError
from tarnkv.sets.manifest import Manifest, ShardEntry, is_set
from tarnkv.sets.reader import SetReader, SetStats, ShardStats

if TYPE_CHECKING:
    from tarnkv.sets.merging import MergeResult, merge


def __getattr__(name: str) -> Any:
    # Merging brings in the whole build machinery (threads, logging, temporary files): only
    # when asked for, so that a reader or a command that never merges starts quickly.
    if name in ("merge", "MergeResult"):
        from tarnkv.sets import merging

        return getattr(merging, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), "merge", "MergeResult"})

__all__ = ["SetReader", "SetStats", "ShardStats", "Manifest", "ShardEntry", "is_set", "merge", "MergeResult",
           "SetDuplicateKeyError", "RecordError"]
