"""Merging stores and sets: :func:`merge`, into one store or one set.

The merge walks every input's index in key order at once (a k-way merge), copying each object
as it reaches it: memory is the inputs' indexes and the output's (and a bounded sample of objects to
train a compressed output's dictionary), never all their objects. Under a
key several inputs hold, the last input wins; an object that several keys of an input share
stays shared in the output (within each output shard).
"""

from __future__ import annotations

import contextlib
import os
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from tarnkv import _native
from tarnkv.sets import manifest as mf
from tarnkv.sets.build import Build, ShardResult

__all__ = ["merge", "MergeResult"]

StrPath = str | os.PathLike[str]
#: The zstd level of a merge's output when some input is compressed (TarnWriter's default).
_COMPRESSED_LEVEL = 3


@dataclass(frozen=True, slots=True)
class MergeResult:
    """What :func:`merge` wrote: a store (``shard_count`` None) or a set."""

    path: str
    shard_count: int | None
    num_keys: int
    num_objects: int
    file_size: int


def _expand(inputs: Sequence[StrPath]) -> tuple[list[str], list[int], str | None]:
    """Every input store file (a set's shards in shard order), each one's group (the shards of
    a set share theirs), and the first set's codec."""
    paths: list[str] = []
    groups: list[int] = []
    codec: str | None = None
    seen_set = False
    for number, given in enumerate(inputs):
        path = os.fsdecode(os.fspath(given))
        if not os.path.isdir(path):
            paths.append(path)
            groups.append(number)
            continue
        manifest = mf.read(path)
        if not seen_set:
            codec, seen_set = manifest.codec, True
        for i, entry in enumerate(manifest.shards):
            shard = os.path.join(path, entry.file)
            mf.check_shard_size(shard, entry, f"store set {path!r}: shard {i} ({entry.file})")
            paths.append(shard)
            groups.append(number)
    return paths, groups, codec if seen_set else "msgpack"


def merge(inputs: Sequence[StrPath], out: StrPath, *, shards: int | None = None,
          progress: Callable[[int, int], object] | None = None) -> MergeResult:
    """Merges the stores and sets *inputs* into the store file *out*, or with *shards* into a
    set of that many shards in the directory *out* (absent, empty or a set it replaces).

    Later inputs win under keys several hold. Each object's CRC-32 is checked as it is
    copied. Keys that share an object keep sharing it, and the copies a set keeps of one
    object in several shards become one object again where they meet in one output. When
    some input is compressed, every output (the store, or each shard) is compressed at zstd
    level 3 with a dictionary trained on a sample of its own objects; when the only input is a
    compressed store, every output keeps its dictionary and its objects as stored. The output is published
    atomically (a store by rename, a set by its manifest, last); on failure nothing is left.
    The set written records the codec of the first input set (``"msgpack"`` when only stores
    are merged). *progress(done, total)* counts index entries.
    """
    if not inputs:
        raise ValueError("merge needs at least one input")
    paths, groups, codec = _expand(inputs)
    target = os.path.abspath(os.fsdecode(os.fspath(out)))
    # Compressed inputs are read as their objects were put; the output is then compressed too
    # (each shard with a dictionary trained on a sample of its own objects).
    level = _COMPRESSED_LEVEL if any(_compressed(path) for path in paths) else None
    if shards is None:
        if os.path.isdir(target):
            raise IsADirectoryError(21, "Is a directory (give --shards to write a set)", target)
        tmp = os.path.join(os.path.dirname(target), f".{os.path.basename(target)}.{uuid.uuid4().hex[:12]}.tmp")
        try:
            ((keys, objects, size, _),) = _native.merge_stores(paths, [(tmp, target)], progress, groups, level)
        except BaseException:
            with contextlib.suppress(OSError):  # a merge that failed leaves nothing
                os.unlink(tmp)
            raise
        return MergeResult(target, None, keys, objects, size)
    with Build(target, shards, "last") as build:
        plan = build.plan
        targets = [(plan.shard_tmp(s), os.path.join(plan.out_dir, plan.shard_file(s))) for s in range(shards)]
        infos = _native.merge_stores(paths, targets, progress, groups, level)
        results = [ShardResult(s, plan.shard_file(s), size, f"0x{crc:08x}", keys, objects)
                   for s, (keys, objects, size, crc) in enumerate(infos)]
        done = build.publish(results, sum(r.num_keys for r in results), codec)
    return MergeResult(done.path, shards, done.num_keys, done.num_objects, done.file_size)


def _compressed(path: str) -> bool:
    """Whether the store file at *path* says it is compressed (unreadable files: the merge
    itself reports them)."""
    try:
        with open(path, "rb") as f:
            head = f.read(6)
    except OSError:
        return False
    return len(head) == 6 and head[:4] == b"TRNK" and head[5] != 0
