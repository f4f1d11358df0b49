"""``tarnkv stats``: what a store holds, as a table or as one JSON object."""

from __future__ import annotations

import argparse
import mmap
import struct
from typing import Any

from tarnkv.cli import jsonio, stores
from tarnkv.cli.errors import NO, CliError, os_error_text
from tarnkv.cli.output import stdout
from tarnkv.cli.stores import HEADER_SIZE
from tarnkv.remote import is_url


def distribution(values: list[int]) -> dict[str, float | int]:
    """Count, extremes, mean and percentiles (nearest rank) of ``values``."""
    if not values:
        return {"count": 0, "min": 0, "p50": 0, "p90": 0, "p99": 0, "max": 0, "mean": 0.0,
                "total": 0}
    values.sort()
    n = len(values)

    def rank(percent: int) -> int:
        return values[min(n - 1, max(0, -(-n * percent // 100) - 1))]

    total = sum(values)
    return {"count": n, "min": values[0], "p50": rank(50), "p90": rank(90), "p99": rank(99),
            "max": values[-1], "mean": total / n, "total": total}


def object_sizes(path: str, index_offset: int) -> list[int]:
    """The length of every object record, read from the data section: a run of records, each a
    big-endian u32 length and a CRC-32 before the object's bytes, from the 40-byte header to
    the index."""
    sizes: list[int] = []
    length = struct.Struct(">I").unpack_from
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        end = min(index_offset, len(m))
        pos = HEADER_SIZE
        while pos + 8 <= end:
            (n,) = length(m, pos)
            sizes.append(n)
            pos += 8 + n
    if pos != index_offset:
        raise CliError(f"{path}: the data section's records do not end where the index starts "
                       "(corrupt store)", NO)
    return sizes


def collect(reader: Any, path: str) -> dict[str, Any]:
    info: dict[str, Any] = dict(reader.stats())
    key_lengths = [len(k) for k in stores.raw_keys(reader)]
    compression = reader.compression_stats()
    if compression is not None:
        info["compression"] = compression
    try:
        if is_url(path):  # the records' sizes from the index: no record read for them
            sizes = [n for r in getattr(reader, "readers", (reader,)) for n in r.record_sizes()]
        elif "shards" in info:  # a set: every shard's records, less a compressed shard's dictionary
            sizes = []
            for shard, shard_reader in zip(info["shards"], reader.readers, strict=True):
                found = object_sizes(str(shard["path"]), shard["index_offset"])
                sizes += found[1:] if shard_reader.compression is not None else found
        else:  # the first record of a compressed store is its dictionary, not an object
            sizes = object_sizes(path, info["index_offset"])[1 if compression is not None else 0:]
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    info["key_length"] = distribution(key_lengths)
    info["object_size"] = distribution(sizes)
    info["keys_per_object"] = info["num_keys"] / info["num_objects"] if info["num_objects"] else 0.0
    return info


def _table(info: dict[str, Any]) -> str:
    rows: list[tuple[str, str]] = []
    size = info["file_size"]
    shards = info.get("shards")
    rows.append(("path", str(info["path"])))
    if shards is not None:
        rows.append(("store set", f"{len(shards):,} shards, set format version {info['format_version']}, "
                                  f"routed by {info['routing']['function']} % {len(shards)}"))
        rows.append(("build", f"{info['build_id']}, {info['created']}"))
        rows.append(("size of all shards", f"{size:,} bytes ({size / 2**20:,.1f} MiB)"))
    else:
        rows.append(("file size", f"{size:,} bytes ({size / 2**20:,.1f} MiB)"))
        rows.append(("format version", str(info["version"])))
    rows.append(("keys", f"{info['num_keys']:,}"))
    rows.append(("objects", f"{info['num_objects']:,}"))
    rows.append(("keys per object", f"{info['keys_per_object']:.3f}"))
    if shards is None:
        rows.append(("data section", f"{info['index_offset'] - info['data_offset']:,} bytes"))
        rows.append(("index section", f"{size - info['index_offset']:,} bytes"))
        rows.append(("file CRC-32", str(info["file_crc32"])))
    if (c := info.get("compression")) is not None:
        ratio = c["stored_bytes"] / c["original_bytes"] if c["original_bytes"] else 1.0
        dictionaries = (f"{c['compressed_shards']:,} of {len(shards):,} shards, dictionaries"
                        if shards is not None else "dictionary")
        rows.append(("compression", f"{c['compression']}, {dictionaries} {c['dictionary_size']:,} bytes, objects "
                                    f"{c['stored_bytes']:,} bytes stored of {c['original_bytes']:,} "
                                    f"({ratio:.2f}x)"))
    for label, name in (("key length", "key_length"), ("object size", "object_size")):
        d = info[name]
        rows.append((label, f"min {d['min']:,}  p50 {d['p50']:,}  p90 {d['p90']:,}  "
                            f"p99 {d['p99']:,}  max {d['max']:,}  mean {d['mean']:,.1f}  "
                            f"(bytes)"))
    for shard in shards or ():
        rows.append((f"shard {shard['index']}", f"{shard['file']}: {shard['num_keys']:,} keys, "
                                                f"{shard['num_objects']:,} objects, {shard['file_size']:,} bytes, "
                                                f"CRC-32 {shard['file_crc32']}"))
    width = max(len(label) for label, _ in rows)
    return "".join(f"{label:<{width}}  {value}\n" for label, value in rows)


def run(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store, check_reads=False)
    with stores.StoreErrors(args.store):
        info = collect(reader, args.store)
    out = stdout()
    if args.json:
        out.write(jsonio.dumps_line(info))
    else:
        out.write(_table(info).encode("utf-8"))
    return 0
