"""Store sets: one logical store split into shard files, for data past one machine.

A set is a directory holding ``manifest.json`` and N shard files, each an ordinary store; a
key lives in shard ``key_hash(key) % N`` (:mod:`tarnkv.sets.manifest` documents the format, so
that other languages can route). :func:`tarnkv.open` of the directory returns a
:class:`SetReader`, which has a single store's reading API; :func:`tarnkv.dask.build_set`
builds sets on a Dask cluster and :func:`merge` joins stores and sets into a store or a set.
"""

from tarnkv.sets.errors import RecordError, SetDuplicateKeyError
from tarnkv.sets.manifest import Manifest, ShardEntry, is_set
from tarnkv.sets.merging import MergeResult, merge
from tarnkv.sets.reader import SetReader, SetStats, ShardStats

__all__ = ["SetReader", "SetStats", "ShardStats", "Manifest", "ShardEntry", "is_set", "merge", "MergeResult",
           "SetDuplicateKeyError", "RecordError"]
