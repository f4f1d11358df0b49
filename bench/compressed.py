"""Compressed against uncompressed stores: sizes and read/build speeds on two data sets.

- the Debian package index: records parsed from the apt lists under /var/lib/apt/lists
  (each *_Packages file's stanzas as dicts), MessagePack-encoded;
- small user records like the comparison benchmark's (``--users N``, default 1,000,000).

Builds, hits and ``list(r.items())`` are timed in three rounds in which the plain and the
compressed store take turns; each figure is its best round. Prints one table; ``--leveldb`` adds LevelDB's directory size for the same records.
``--dump-records FILE`` only writes the Debian records (each a 4-byte little-endian length, then
the bytes) for bench/zstd_choices.cpp.
Run: ``python3.14 bench/compressed.py`` (with the built package on PYTHONPATH).
"""

from __future__ import annotations

import argparse
import glob
import os
import random
import shutil
import tempfile
import time
from collections.abc import Iterator

import msgpack

import tarnkv


def debian_records() -> Iterator[tuple[str, bytes]]:
    for path in sorted(glob.glob("/var/lib/apt/lists/*_Packages")):
        with open(path, encoding="utf-8", errors="replace") as f:
            stanza: dict[str, str] = {}
            last = ""
            for line in f:
                line = line.rstrip("\n")
                if not line:
                    if "Package" in stanza:
                        key = f"{stanza['Package']}/{stanza.get('Version', '')}/{stanza.get('Architecture', '')}"
                        yield key, msgpack.packb(stanza)
                    stanza, last = {}, ""
                elif line[0] in " \t" and last:
                    stanza[last] += "\n" + line.strip()
                else:
                    name, _, value = line.partition(":")
                    stanza[name] = value.strip()
                    last = name
            if "Package" in stanza:
                yield stanza["Package"], msgpack.packb(stanza)


def user_records(n: int) -> Iterator[tuple[str, bytes]]:
    rng = random.Random(7)
    for i in range(n):
        yield f"user:{i:08}", msgpack.packb({"id": i, "name": f"user{rng.randrange(10**6)}",
                                             "age": rng.randrange(18, 90), "active": rng.random() < 0.5})


ROUNDS = 3


def data_section(path: str) -> int:
    with tarnkv.TarnReader(path) as r:
        s = r.stats()
        return s["index_offset"] - s["data_offset"]


def measure(records: list[tuple[str, bytes]], tmp: str, name: str, leveldb: bool) -> list[str]:
    rows = []
    kinds = (("plain", {}), ("zstd", {"compression": "zstd"}))
    paths = {label: os.path.join(tmp, f"{name}-{label}.trnk") for label, _ in kinds}
    keys = [k for k, _ in records]
    sample = random.Random(1).sample(keys, min(200_000, len(keys)))
    best: dict[str, list[float]] = {label: [float("inf")] * 3 for label, _ in kinds}
    # Rounds in which the two take turns; each figure is its best round, so that what else the
    # machine does at one moment weighs on neither alone.
    for _ in range(ROUNDS):
        for label, options in kinds:
            started = time.perf_counter()
            w = tarnkv.TarnWriter(codec=None, on_duplicate="last", **options)
            for k, v in records:
                w.put_raw(k, v)
            w.build(paths[label])
            build_s = time.perf_counter() - started
            with tarnkv.TarnReader(paths[label]) as r:
                started = time.perf_counter()
                for k in sample:
                    r[k]
                hit_us = (time.perf_counter() - started) / len(sample) * 1e6
                started = time.perf_counter()
                list(r.items())
                items_s = time.perf_counter() - started
            best[label] = [min(a, b) for a, b in zip(best[label], (build_s, hit_us, items_s))]
    results = {label: (os.path.getsize(paths[label]), data_section(paths[label]), *best[label]) for label, _ in kinds}
    p, z = results["plain"], results["zstd"]
    rows.append(f"{name}: {len(records):,} records")
    rows.append(f"  file size        plain {p[0]:,}  zstd {z[0]:,}  ({z[0] / p[0]:.2f}x)")
    rows.append(f"  data section     plain {p[1]:,}  zstd {z[1]:,}  ({z[1] / p[1]:.2f}x)")
    rows.append(f"  build            plain {p[2]:.2f} s  zstd {z[2]:.2f} s  ({z[2] / p[2]:.2f}x)")
    rows.append(f"  r[k] hit         plain {p[3]:.2f} us  zstd {z[3]:.2f} us  ({z[3] / p[3]:.2f}x)")
    rows.append(f"  list(r.items())  plain {p[4]:.2f} s  zstd {z[4]:.2f} s  ({z[4] / p[4]:.2f}x)")
    if leveldb:
        import plyvel

        where = os.path.join(tmp, f"{name}.ldb")
        db = plyvel.DB(where, create_if_missing=True)
        with db.write_batch() as batch:
            for k, v in records:
                batch.put(k.encode(), v)
        db.compact_range()
        db.close()
        size = sum(os.path.getsize(os.path.join(where, f)) for f in os.listdir(where))
        rows.append(f"  LevelDB          {size:,} bytes (zstd store {z[0] / size:.2f}x of it)")
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--users", type=int, default=1_000_000)
    ap.add_argument("--leveldb", action="store_true")
    ap.add_argument("--dump-records", metavar="FILE")
    args = ap.parse_args()
    if args.dump_records:
        with open(args.dump_records, "wb") as f:
            for _, v in dict(debian_records()).items():
                f.write(len(v).to_bytes(4, "little") + v)
        return
    tmp = tempfile.mkdtemp(prefix="tarnkv-compression-")
    try:
        lines = measure(list(dict(debian_records()).items()), tmp, "debian packages", args.leveldb)
        lines += measure(list(user_records(args.users)), tmp, "user records", args.leveldb)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
