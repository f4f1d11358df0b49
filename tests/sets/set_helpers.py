"""Helpers of the store-set tests: records, sets made without Dask, and codecs that misbehave on
purpose inside a Dask worker (pickled by value, so workers need not import this file)."""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

import msgpack

import tarnkv
from tarnkv.sets import merge


def records(n: int, start: int = 0) -> list[dict]:
    return [{"id": f"user:{i:06d}", "email": f"u{i}@example.org", "n": i, "tags": ["a", "b"][: i % 3]}
            for i in range(start, start + n)]


def build_store(path: Path, mapping: dict, **options) -> Path:
    w = tarnkv.TarnWriter(**options)
    for key, value in mapping.items():
        w.put(key, value)
    w.build(path)
    return path


def make_set(tmp_path: Path, mapping: dict, shards: int, name: str = "set") -> Path:
    """A set holding `mapping`, made by merging a single store into shards (no Dask)."""
    store = build_store(tmp_path / f"{name}.src.trnk", mapping)
    out = tmp_path / name
    merge([store], out, shards=shards)
    store.unlink()
    return out


def keys_in_shards(shards: int, count: int, prefix: str = "k") -> list[list[str]]:
    """`count` keys for each shard of a set of `shards`."""
    found: list[list[str]] = [[] for _ in range(shards)]
    i = 0
    while min(len(f) for f in found) < count:
        key = f"{prefix}{i}"
        bucket = found[tarnkv.key_hash(key) % shards]
        if len(bucket) < count:
            bucket.append(key)
        i += 1
    return found


class KillOnce:
    """A MessagePack codec that kills its own worker process (SIGKILL, as a crash or the OOM
    killer would) when it meets record `n_record` for the first time in the whole test: the
    marker file says it happened."""

    name = "msgpack"

    def __init__(self, marker: str, victim: object) -> None:
        self.marker = marker
        self.victim = victim

    def encode(self, obj: object) -> bytes:
        if isinstance(obj, dict) and obj.get("id") == self.victim:
            try:
                fd = os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
            except FileExistsError:
                pass
            else:
                os.close(fd)
                os.kill(os.getpid(), signal.SIGKILL)
        return msgpack.packb(obj, use_bin_type=True)

    def decode(self, data: bytes) -> object:
        return msgpack.unpackb(data, raw=False)


class Slow:
    """A MessagePack codec that takes its time, so that a build lasts long enough to watch."""

    name = "msgpack"

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds

    def encode(self, obj: object) -> bytes:
        time.sleep(self.seconds)
        return msgpack.packb(obj, use_bin_type=True)

    def decode(self, data: bytes) -> object:
        return msgpack.unpackb(data, raw=False)
