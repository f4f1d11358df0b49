"""Building store sets on Dask: :func:`build_set`.

Needs the ``dask`` extra (``dask``, ``distributed`` for clusters, ``pandas`` for DataFrames).
The build runs on whatever scheduler is current: a ``distributed.Client`` (any cluster whose
workers see ``out_dir`` under the same path, on a shared file system) or Dask's local
schedulers; or, for a set in object storage, any cluster at all.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import Any, Literal

from tarnkv.codec import resolve
from tarnkv.sets.build import (DEFAULT_SPILL_BYTES, Build, Listener, PartitionResult, SetBuildResult, compute,
                               zstd_level)
from tarnkv.records import Field, RecordRoles
from tarnkv.sets.partitions import codec_name, frame_partition, records_partition

__all__ = ["build_set", "SetBuildResult"]


def _kind(collection: Any) -> str:
    try:
        import dask.bag
    except ImportError:  # pragma: no cover - the dask extra is missing
        raise ImportError("tarnkv.dask needs dask: install the package's 'dask' extra") from None
    if isinstance(collection, dask.bag.Bag):
        return "bag"
    # Only a DataFrame's own module is imported: importing dask.dataframe costs time and warns.
    if type(collection).__module__.startswith(("dask.dataframe", "dask_expr")):
        import dask.dataframe

        if isinstance(collection, dask.dataframe.DataFrame):
            return "frame"
    raise TypeError(f"build_set takes a dask.bag.Bag of records or a dask.dataframe.DataFrame, "
                    f"not {type(collection).__name__}")


def build_set(collection: Any, out_dir: str | os.PathLike[str], *, key: Field, aliases: Sequence[Field] = (),
              shards: int, codec: object = "msgpack", on_duplicate: Literal["error", "first", "last"] = "error",
              value: Field | None = None, spill_bytes: int = DEFAULT_SPILL_BYTES,
              storage_options: dict[str, Any] | None = None, compression: Literal["zstd"] | None = None,
              compression_level: int = 3) -> SetBuildResult:
    """Builds a store set of *shards* shards in *out_dir* from a Dask collection.

    - *collection*: a ``dask.bag.Bag`` of records (dicts, or anything the field functions
      read) or a ``dask.dataframe.DataFrame`` (each row a dict of its columns; the index is
      not stored -- ``reset_index()`` first to keep it).
    - *key*: the field holding each record's key, or a function of the record. Keys are
      ``str`` or ``bytes``; other scalars become text as the command line makes them (whole
      numbers in decimal, ``true``/``false``, dates in ISO 8601). A null key is an error.
    - *aliases*: fields (or functions) holding more keys for the same object; a list value
      gives several, a null one none.
    - *value*: store this field (or function of the record) instead of the whole record.
    - *codec*: as for :class:`~tarnkv.TarnWriter`. With ``"msgpack"``, values MessagePack has
      no form for are stored as the command line stores them (dates and times as ISO 8601
      text, decimals as text, NumPy values as plain numbers and lists).
    - *on_duplicate*: a key that several records have is an error (``"error"``: raises
      :class:`~tarnkv.sets.SetDuplicateKeyError` naming both records, nothing is
      published), or keeps the ``"first"`` or ``"last"`` of them in the collection's order
      (partition by partition, records in order within each).
    - *spill_bytes*: how much each partition task buffers before writing a sorted section.
    - *compression*: ``"zstd"`` makes every shard a compressed store, as
      :class:`~tarnkv.TarnWriter` makes one at *compression_level* (1 to 22), each with a
      dictionary trained on a sample of its own objects; readers decode them transparently.

    *out_dir* may also be an object storage URL (``s3://bucket/events.set``, with
    *storage_options* as for :func:`tarnkv.open`): then the workers need share no file
    system. Each task writes its files in its worker's temporary directory; the runs go to
    the object store under the build's work prefix, and each shard task fetches its own
    sections of them by ranged reads and uploads its shard under the build's name. The
    manifest, uploaded last in one request, publishes the set. The shards of the set it
    replaces stay until the next publication, so readers that opened it keep reading it.

    Each shard holds its own copy of an object whose keys fall in several shards. *out_dir*
    may be absent, empty or a set (replaced: its readers keep the old set until they reopen);
    the manifest is written last, so the set appears whole or not at all. Returns what was
    published; a failed build leaves nothing behind.
    """
    kind = _kind(collection)
    level = zstd_level(compression, compression_level)
    resolve(codec)  # a bad codec fails here, not in every task
    alias_fields = tuple(aliases)
    if isinstance(aliases, (str, bytes)) or not all(isinstance(a, str) or callable(a) for a in alias_fields):
        raise TypeError("aliases must be a sequence of field names or functions")
    for role, f in (("key", key), ("value", value)):
        if f is not None and not (isinstance(f, str) or callable(f)):
            raise TypeError(f"{role} must be a field name or a function of the record, not {type(f).__name__}")
    if kind == "frame":
        columns = set(collection.columns)
        for role, f in (("key", key), *(("alias", a) for a in alias_fields), ("value", value)):
            if isinstance(f, str) and f not in columns:
                raise KeyError(f"no {role} column {f!r} in the DataFrame")
    roles = RecordRoles(key, alias_fields, value, codec=codec)
    task: Callable[..., Any] = frame_partition if kind == "frame" else records_partition
    counted = _Counter()
    with Build(out_dir, shards, on_duplicate, spill_bytes, storage_options, level) as build:
        results = compute(build.plan, collection.to_delayed(), task, (roles,), counted)
        return build.publish(results, counted.records, codec_name(codec))


class _Counter(Listener):
    def __init__(self) -> None:
        self.records = 0

    def partition_done(self, result: PartitionResult) -> None:
        self.records += result.records
