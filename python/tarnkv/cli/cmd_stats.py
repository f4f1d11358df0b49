"""``tarnkv stats``: what a store holds, as a table or as one JSON object."""

from __future__ import annotations

import argparse
from typing import Any

from tarnkv.cli import jsonio, stores
from tarnkv.cli.output import stdout


def distribution(values: list[int]) -> dict[str, float | int]:
    """Count, extremes, mean and percentiles (nearest rank) of ``values``."""
    if not values:
        return {"count": 0, "min": 0, "p50": 0, "p90": 0, "p99": 0, "max": 0, "mean": 0.0,
                "total": 0}
    values.sort()
    n = len(values)

    def rank(p: float) -> int:
        return values[min(n - 1, max(0, -(-n * p // 100) - 1))]

    total = sum(values)
    return {"count": n, "min": values[0], "p50": rank(50), "p90": rank(90), "p99": rank(99),
            "max": values[-1], "mean": total / n, "total": total}


def collect(reader: Any) -> dict[str, Any]:
    info = dict(reader.stats())
    key_lengths = [len(k) for k in stores.raw_keys(reader)]
    object_sizes = stores.object_sizes(reader)
    referenced = len(object_sizes)
    info["key_length"] = distribution(key_lengths)
    info["object_size"] = distribution(object_sizes)
    info["referenced_objects"] = referenced
    info["unreferenced_objects"] = max(0, info["num_objects"] - referenced)
    info["keys_per_object"] = info["num_keys"] / referenced if referenced else 0.0
    return info


def _table(info: dict[str, Any]) -> str:
    rows: list[tuple[str, str]] = []
    size = info.get("file_size")
    if size is None and "file_size_kb" in info:
        size = round(info["file_size_kb"] * 1024)
    rows.append(("path", str(info.get("path", ""))))
    if size is not None:
        rows.append(("file size", f"{size:,} bytes ({size / 2**20:,.1f} MiB)"))
    rows.append(("format version", str(info.get("version", ""))))
    rows.append(("keys", f"{info['num_keys']:,}"))
    rows.append(("objects", f"{info['num_objects']:,} ({info['referenced_objects']:,} referenced, "
                            f"{info['unreferenced_objects']:,} unreferenced)"))
    rows.append(("keys per object", f"{info['keys_per_object']:.3f}"))
    rows.append(("data section", f"{info['index_offset'] - info['data_offset']:,} bytes"))
    if size is not None:
        rows.append(("index section", f"{size - info['index_offset']:,} bytes"))
    rows.append(("file CRC-32", str(info["file_crc32"])))
    for label, name in (("key length", "key_length"), ("object size", "object_size")):
        d = info[name]
        rows.append((label, f"min {d['min']:,}  p50 {d['p50']:,}  p90 {d['p90']:,}  "
                            f"p99 {d['p99']:,}  max {d['max']:,}  mean {d['mean']:,.1f}  "
                            f"(bytes)"))
    width = max(len(label) for label, _ in rows)
    return "".join(f"{label:<{width}}  {value}\n" for label, value in rows)


def run(args: argparse.Namespace) -> int:
    reader = stores.open_store(args.store, check_reads=False)
    with stores.StoreErrors(args.store):
        info = collect(reader)
    out = stdout()
    if args.json:
        out.write(jsonio.dumps_line(info))
    else:
        out.write(_table(info).encode("utf-8"))
    return 0
