#!/usr/bin/env python3
"""The package's targets, measured as ratios within one process.

    python3.14 bench/package.py [--n N] [--reps R] [--out DIR]

Builds N records (keys "user:%08d" in shuffled order, ~45-byte MessagePack records, the data
of bench/compare.py) into a tarnkv store and an LMDB environment, then times, in turns and
keeping each loop's best run:

- decoded hits: TarnReader r[k] against msgpack.unpackb(raw.get_raw(k)) by hand (raw being the
  low-level _TarnReader) and against msgpack.unpackb(txn.get(k)) on LMDB, results kept, the
  garbage collector on (it is part of what decoding costs);
- decoded full enumeration: list(r.items()) against [(k, unpackb(v)) for k, v in cursor];
- get_many_raw in batches of 1,000 against a get_raw call per key;
- lazy iteration over every key against the eager _TarnReader.keys() list, with the growth of
  peak memory during the loop;
- check_reads=True against check_reads=False on decoded hits, as the median of paired runs (a
  difference of a few percent drowns in the spread of best-of figures on a busy machine).
- walks and scans, the garbage collector off: 100-key prefix scans (the package's and the
  low-level module's prefix_raw against LMDB's set_range and cursor loop), list(r.items_raw())
  against the interpreter making the same (str, bytes) pairs from data in memory, a bare
  `for k, v in r.items_raw()` loop against the same loop over an LMDB cursor, and raw hits and
  misses (next to a key, and spread over the key space) against txn.get. The store is built
  by TarnWriter from the shuffled input, which lays objects out in the order of their keys. The
  same walks run again over a second store of the same input whose objects lie as they were put
  (the low-level module's writer), and 100-key prefix scans (wall time) over both with each
  file's pages dropped from the page cache before each round.

Writes DIR/package-N.json and DIR/package-N.md. Timings never fail the run.
"""

import argparse
import gc
import json
import math
import os
import random
import statistics
import sys
import tempfile
import time

import lmdb
import msgpack

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare  # noqa: E402  (the shared data generator)
import compare_report  # noqa: E402

import tarnkv  # noqa: E402
from tarnkv import _tarnkv  # noqa: E402

# Processor time of this process: on a machine whose cores other work shares, the time this
# process waits for a core is left out, which takes most of the noise out of the ratios.
perf = time.process_time_ns
BATCH = 1000


def log(text):
    print(text, file=sys.stderr, flush=True)


def data(n, seed):
    rng = random.Random(seed)
    ids = list(range(n))
    rng.shuffle(ids)
    keys = [f"user:{i:08d}" for i in ids]
    values = [compare.record(rng, i) for i in ids]
    return keys, values


def build_stores(keys, values, work):
    path = os.path.join(work, "store.trnk")
    w = tarnkv.TarnWriter(codec=None)
    for k, v in zip(keys, values):
        w.put_raw(k, v)
    w.build(path)
    env_dir = os.path.join(work, "lmdb")
    env = lmdb.open(env_dir, map_size=1 << 34, subdir=True, readahead=False)
    with env.begin(write=True) as txn:
        txn.cursor().putmulti(sorted((k.encode(), v) for k, v in zip(keys, values)), append=True)
    env.close()
    return path, env_dir


def status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                out[name] = int(rest.split()[0]) * 1024
    return out


def reset_peak():
    """Sets the process's peak RSS back to its current RSS (Linux: clear_refs 5)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def per_item(fn, count):
    t0 = perf()
    result = fn()
    t = perf() - t0
    del result
    return t / count


def best(reps, loops):
    """Each loop's best time over `reps` rounds, the loops taking turns within a round."""
    out = dict.fromkeys(loops, math.inf)
    for _ in range(reps):
        for name, loop in loops.items():
            gc.collect()
            out[name] = min(out[name], loop())
    return out


def measure(n, reps, seed, probes):
    keys, values = data(n, seed)
    rng = random.Random(seed + 1)
    hits = rng.sample(keys, min(n, probes))
    hits_b = [k.encode() for k in hits]
    work = tempfile.mkdtemp(prefix="tarnkv-package-")
    t0 = time.perf_counter()
    path, env_dir = build_stores(keys, values, work)
    log(f"N={n:,}: stores built in {time.perf_counter() - t0:.1f} s")

    r = tarnkv.open(path)
    unchecked = tarnkv.open(path, check_reads=False)
    raw = _tarnkv._TarnReader(path)
    env = lmdb.open(env_dir, subdir=True, readonly=True, lock=False, readahead=False)
    txn = env.begin(buffers=False)
    unpackb = msgpack.unpackb
    get_raw = raw.get_raw
    tget = txn.get
    pkg_get_raw = r.get_raw
    m = len(hits)
    same = [hits[0]] * m
    batches = [hits[i:i + BATCH] for i in range(0, m, BATCH)]

    def many():
        out = []
        for b in batches:
            out.extend(r.get_many_raw(b))
        return out

    def many_decoded():
        out = []
        for b in batches:
            out.extend(r.get_many(b))
        return out

    def lazy_keys():
        for _ in r:
            pass

    def eager_keys():
        for _ in raw.keys():
            pass

    def lmdb_items():
        return [(k, unpackb(v)) for k, v in txn.cursor()]

    # Answers first, outside the timings.
    assert [r[k] for k in hits[:100]] == [unpackb(tget(k)) for k in hits_b[:100]]
    assert r.get_many(hits[:100]) == [r[k] for k in hits[:100]]
    assert len(list(r.items())) == n

    res = {}
    log(f"N={n:,}: lookups")
    res.update(best(reps, {
        "decoded_hit_ns": lambda: per_item(lambda: [r[k] for k in hits], m),
        "decoded_hit_unchecked_ns": lambda: per_item(lambda: [unchecked[k] for k in hits], m),
        "by_hand_hit_ns": lambda: per_item(lambda: [unpackb(get_raw(k)) for k in hits], m),
        "lmdb_hit_ns": lambda: per_item(lambda: [unpackb(tget(k)) for k in hits_b], m),
        "get_raw_loop_ns": lambda: per_item(lambda: [pkg_get_raw(k) for k in hits], m),
        "get_many_raw_ns": lambda: per_item(many, m),
        "get_many_ns": lambda: per_item(many_decoded, m),
        # One key over and over: everything in cache, so the difference is the check's own work.
        "same_hit_ns": lambda: per_item(lambda: [r[k] for k in same], m),
        "same_hit_unchecked_ns": lambda: per_item(lambda: [unchecked[k] for k in same], m),
    }))
    log(f"N={n:,}: check_reads, paired runs")
    # Each reader has its own index in memory, and whether the kernel backed it with huge pages
    # changes a lookup's cost by more than the check: so fresh pairs of readers, opened in
    # alternating order, each timed in alternating order (the run that goes second finds the
    # caches warmed by the first), and the median of all the pairs' ratios.
    pairs = []
    for j in range(3):
        opened = [tarnkv.open(path, check_reads=(j % 2 == 0) == first) for first in (True, False)]
        checked, plain = sorted(opened, key=lambda x: not x.check_reads)
        for i in range(4):
            timed = {}
            for reader in ((checked, plain) if i % 2 == 0 else (plain, checked)):
                gc.collect()
                timed[reader is checked] = per_item(lambda: [reader[k] for k in hits], m)
            pairs.append((timed[True], timed[False]))
        checked.close()
        plain.close()
    res["check_reads_ratio_median"] = statistics.median(a / b for a, b in pairs)
    res["check_reads_added_ns_median"] = statistics.median(a - b for a, b in pairs)
    res.update(walks(r, raw, txn, n, reps, rng))
    # The same walks over a store of the same input whose objects lie as they were put: the
    # low-level module's writer keeps that layout, the package's writer lays them out by key.
    scattered_path = os.path.join(work, "scattered.trnk")
    lw = _tarnkv._TarnWriter()
    for k, v in zip(keys, values):
        lw.add_key(k, lw.add_object_raw(v))
    # What laying objects out by key costs a build (the writing of the file alone, the same puts).
    t0 = perf()
    lw.build(scattered_path)
    res["build_as_put_s"] = (perf() - t0) / 1e9
    del lw
    w = tarnkv.TarnWriter(codec=None)
    for k, v in zip(keys, values):
        w.put_raw(k, v)
    t0 = perf()
    w.build(os.path.join(work, "again.trnk"))
    res["build_key_order_s"] = (perf() - t0) / 1e9
    del w
    os.unlink(os.path.join(work, "again.trnk"))
    r_scattered = tarnkv.open(scattered_path)
    raw_scattered = _tarnkv._TarnReader(scattered_path)
    res.update({f"scattered_{k}": v
                for k, v in walks(r_scattered, raw_scattered, txn, n, reps, random.Random(seed + 2)).items()})
    r_scattered.close()
    del raw_scattered, keys, values
    log(f"N={n:,}: prefix scans with the file out of the page cache")
    cold = random.Random(seed + 3)
    res.update(best(max(2, reps // 2), {
        "cold_prefix_pkg_ns": lambda: cold_prefixes(path, n, cold),
        "scattered_cold_prefix_pkg_ns": lambda: cold_prefixes(scattered_path, n, cold),
    }))
    log(f"N={n:,}: enumerations")
    res.update(best(max(2, reps // 2), {
        "items_s": lambda: per_item(lambda: list(r.items()), 1e9),
        "lmdb_items_s": lambda: per_item(lmdb_items, 1e9),
        "lazy_keys_s": lambda: per_item(lazy_keys, 1e9),
        "eager_keys_s": lambda: per_item(eager_keys, 1e9),
    }))
    # Peak memory of a lazy walk over every key: resident set and Python allocations.
    import tracemalloc

    gc.collect()
    if reset_peak():
        before = status()["VmRSS"]
        lazy_keys()
        res["lazy_keys_peak_rss_bytes"] = status()["VmHWM"] - before
    tracemalloc.start()
    lazy_keys()
    res["lazy_keys_peak_traced_bytes"] = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()

    txn.abort()
    env.close()
    r.close()
    unchecked.close()
    del raw
    for root, dirs, files in os.walk(work, topdown=False):
        for f in files:
            os.unlink(os.path.join(root, f))
        for d in dirs:
            os.rmdir(os.path.join(root, d))
    os.rmdir(work)
    return res


def cold_prefixes(path, n, rng, count=200):
    """Wall time of one 100-key prefix scan through a reader opened (without the whole-file
    check) right after the file's pages were dropped from the page cache."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    prefixes = [f"user:{j:06d}" for j in rng.choices(range(max(1, n // 100)), k=count)]
    with tarnkv.open(path, verify=False) as r:
        t0 = time.perf_counter_ns()
        for p in prefixes:
            list(r.prefix_raw(p))
        return (time.perf_counter_ns() - t0) / count


def walks(r, raw, txn, n, reps, rng):
    """Prefix scans, full walks and single lookups against LMDB's, and a full walk kept in a list
    against the interpreter making the same pairs from memory. Timed with the garbage collector
    off, as bench/compare.py times them."""
    log(f"N={n:,}: walks and scans")
    groups = max(1, n // 100)
    prefixes = [f"user:{j:06d}" for j in rng.choices(range(groups), k=1000)]
    probes = rng.sample(range(n), min(n, 200_000))
    hits = [f"user:{i:08d}" for i in probes]
    hits_b = [k.encode() for k in hits]
    near = [k + "x" for k in hits]  # each sorts right after a present key
    near_b = [k.encode() for k in near]
    # Random strings of the keys' length: most part from every key within a few bytes.
    alphabet = "0123456789:abcdefghijklmnopqrstuvwxyz"
    spread = ["".join(rng.choices(alphabet, k=13)) for _ in range(len(hits))]
    spread_b = [k.encode() for k in spread]
    scan = txn.cursor()

    def lmdb_prefix(p):  # as bench/engines/lmdb_store.py scans
        pb = p.encode()
        out = []
        if scan.set_range(pb):
            for k, v in scan:
                if not k.startswith(pb):
                    break
                out.append((k, v))
        return out

    pkg_prefix = r.prefix_raw
    raw_prefix = raw.prefix_raw

    # The floor: the same (str, bytes) pairs, made by the interpreter from the keys' bytes and
    # one buffer of the objects' bytes, without a line of Python per pair.
    pairs = raw.items_raw()
    key_bytes = [k.encode() for k, _ in pairs]
    blob = b"".join(v for _, v in pairs)
    cuts, at = [], 0
    for _, v in pairs:
        cuts.append(slice(at, at + len(v)))
        at += len(v)
    assert list(zip(map(bytes.decode, key_bytes), map(blob.__getitem__, cuts))) == pairs
    del pairs

    def floor():
        return list(zip(map(bytes.decode, key_bytes), map(blob.__getitem__, cuts)))

    def walk():
        for k, v in r.items_raw():
            pass

    def lmdb_walk():
        for k, v in txn.cursor():
            pass

    def each(fn, keys):
        def loop():
            t0 = perf()
            for k in keys:
                fn(k)
            return (perf() - t0) / len(keys)
        return loop

    assert [list(pkg_prefix(p)) for p in prefixes[:20]] == [raw_prefix(p) for p in prefixes[:20]]
    assert [[(k.encode(), v) for k, v in raw_prefix(p)] for p in prefixes[:20]] == \
        [lmdb_prefix(p) for p in prefixes[:20]]
    gc.collect()
    gc.disable()
    try:
        out = best(reps, {
            "prefix_pkg_ns": each(lambda p: list(pkg_prefix(p)), prefixes),
            "prefix_raw_ns": each(raw_prefix, prefixes),
            "prefix_lmdb_ns": each(lmdb_prefix, prefixes),
            "hit_raw_ns": each(raw.get_raw, hits),
            "hit_pkg_ns": each(r.get_raw, hits),
            "hit_lmdb_ns": each(txn.get, hits_b),
            "miss_near_raw_ns": each(raw.get_raw, near),
            "miss_near_pkg_ns": each(r.get_raw, near),
            "miss_near_lmdb_ns": each(txn.get, near_b),
            "miss_spread_raw_ns": each(raw.get_raw, spread),
            "miss_spread_pkg_ns": each(r.get_raw, spread),
            "miss_spread_lmdb_ns": each(txn.get, spread_b),
        })
        out.update(best(max(2, reps // 2), {
            "items_raw_list_s": lambda: per_item(lambda: list(r.items_raw()), 1e9),
            "items_raw_lowlevel_s": lambda: per_item(raw.items_raw, 1e9),
            "pairs_floor_s": lambda: per_item(floor, 1e9),
            "items_raw_walk_s": lambda: per_item(walk, 1e9),
            "lmdb_walk_s": lambda: per_item(lmdb_walk, 1e9),
        }))
    finally:
        gc.enable()
    return out


def ratios(f):
    out = [
        ("decoded hit `r[k]`", f["decoded_hit_ns"] / f["by_hand_hit_ns"], 1.15,
         "`msgpack.unpackb(raw.get_raw(k))` by hand"),
        ("decoded hit `r[k]`", f["decoded_hit_ns"] / f["lmdb_hit_ns"], 0.8, "LMDB `unpackb(txn.get(k))`"),
        ("decoded enumeration `list(r.items())`", f["items_s"] / f["lmdb_items_s"], 0.7,
         "LMDB cursor + `unpackb` of every value"),
        ("`get_many_raw`, batches of 1,000", f["get_many_raw_ns"] / f["get_raw_loop_ns"], 0.35,
         "a `get_raw(k)` call per key"),
        ("lazy `for k in r`", f["lazy_keys_s"] / f["eager_keys_s"], 1.2, "looping over `_TarnReader.keys()`"),
        ("`check_reads=True` decoded hit", f["check_reads_ratio_median"], 1.05,
         "the same with `check_reads=False` (median of paired runs)"),
    ] + walk_ratios(f)
    if "scattered_prefix_pkg_ns" in f:
        g = {k[len("scattered_"):]: v for k, v in f.items() if k.startswith("scattered_")}
        out += [(f"{label}, objects as put", value, target, against)
                for label, value, target, against in walk_ratios(g)]
        # What the key-ordered layout changes: below 1 is a gain, the hit must not lose.
        out += [
            ("layout: 100-key prefix scan `list(r.prefix_raw(p))`", f["prefix_pkg_ns"] / g["prefix_pkg_ns"], 1.0,
             "the same store with objects as put"),
            ("layout: `for k, v in r.items_raw(): pass`", f["items_raw_walk_s"] / g["items_raw_walk_s"], 1.0,
             "the same store with objects as put"),
            ("layout: hit `r.get_raw(k)`", f["hit_pkg_ns"] / g["hit_pkg_ns"], 1.0,
             "the same store with objects as put"),
            ("layout: `build()` (writing the file)", f["build_key_order_s"] / f["build_as_put_s"], None,
             "the low-level module's writer, objects as put"),
            ("layout: prefix scan, file out of the page cache", f["cold_prefix_pkg_ns"] / g["cold_prefix_pkg_ns"],
             1.0, "the same store with objects as put"),
        ]
    return out


def walk_ratios(f):
    return [
        ("100-key prefix scan `list(r.prefix_raw(p))`", f["prefix_pkg_ns"] / f["prefix_lmdb_ns"], 0.35,
         "LMDB `set_range` and a cursor loop"),
        ("100-key prefix scan `_TarnReader.prefix_raw(p)`", f["prefix_raw_ns"] / f["prefix_lmdb_ns"], 0.35,
         "LMDB `set_range` and a cursor loop"),
        ("`list(r.items_raw())`", f["items_raw_list_s"] / f["pairs_floor_s"], 1.15,
         "the interpreter making the same (str, bytes) pairs from memory"),
        ("`for k, v in r.items_raw(): pass`", f["items_raw_walk_s"] / f["lmdb_walk_s"], 0.5,
         "`for k, v in txn.cursor(): pass` on LMDB"),
        ("hit `_TarnReader.get_raw(k)`", f["hit_raw_ns"] / f["hit_lmdb_ns"], 0.35, "LMDB `txn.get(k)`"),
        ("hit `r.get_raw(k)`", f["hit_pkg_ns"] / f["hit_lmdb_ns"], 0.35, "LMDB `txn.get(k)`"),
    ]


def markdown(run):
    f = run["figures"]
    mach = run["machine"]
    lines = [
        f"# Package targets, N = {run['n']:,}",
        "",
        f"Machine: {mach['cpu']}, {mach['usable_cores']} usable cores, {mach['memory']}, {mach['kernel']}, "
        f"Python {mach['python']}; load average {mach['loadavg']:.2f} when the run began (other work on the machine "
        f"shows in the figures).",
        "",
        f"Data: {run['n']:,} keys `user:%08d` in shuffled order, MessagePack records of 30-60 bytes (mean 45), "
        f"{run['probes']:,} random present keys as probes. Every figure is the best of {run['reps']} runs in one "
        "process, the loops taking turns, timed in processor time of the process; results are kept in a list and "
        "the garbage collector is on.",
        "",
        "| figure | value |",
        "|---|---:|",
    ]
    rows = [
        ("decoded hit `r[k]`", "decoded_hit_ns", "ns"),
        ("decoded hit, `check_reads=False`", "decoded_hit_unchecked_ns", "ns"),
        ("time `check_reads` adds to a decoded hit (median of paired runs)", "check_reads_added_ns_median", "ns"),
        ("decoded hit of one key over and over (in cache)", "same_hit_ns", "ns"),
        ("… with `check_reads=False`", "same_hit_unchecked_ns", "ns"),
        ("`unpackb(raw.get_raw(k))` by hand", "by_hand_hit_ns", "ns"),
        ("LMDB `unpackb(txn.get(k))`", "lmdb_hit_ns", "ns"),
        ("`r.get_raw(k)` per key", "get_raw_loop_ns", "ns"),
        ("`get_many_raw`, per key in batches of 1,000", "get_many_raw_ns", "ns"),
        ("`get_many`, per key in batches of 1,000", "get_many_ns", "ns"),
        ("`list(r.items())`", "items_s", "s"),
        ("LMDB cursor + `unpackb`", "lmdb_items_s", "s"),
        ("`for k in r` (lazy)", "lazy_keys_s", "s"),
        ("`for k in raw.keys()` (list)", "eager_keys_s", "s"),
        ("100-key prefix scan, `list(r.prefix_raw(p))`", "prefix_pkg_ns", "ns"),
        ("100-key prefix scan, `_TarnReader.prefix_raw(p)`", "prefix_raw_ns", "ns"),
        ("100-key prefix scan, LMDB", "prefix_lmdb_ns", "ns"),
        ("`list(r.items_raw())`", "items_raw_list_s", "s"),
        ("`_TarnReader.items_raw()`", "items_raw_lowlevel_s", "s"),
        ("the interpreter's floor: the same pairs made from memory", "pairs_floor_s", "s"),
        ("`for k, v in r.items_raw(): pass`", "items_raw_walk_s", "s"),
        ("`for k, v in txn.cursor(): pass` (LMDB)", "lmdb_walk_s", "s"),
        ("hit `_TarnReader.get_raw(k)`", "hit_raw_ns", "ns"),
        ("hit `r.get_raw(k)`", "hit_pkg_ns", "ns"),
        ("hit LMDB `txn.get(k)`", "hit_lmdb_ns", "ns"),
        ("miss next to a key, `_TarnReader.get_raw`", "miss_near_raw_ns", "ns"),
        ("miss next to a key, `r.get_raw`", "miss_near_pkg_ns", "ns"),
        ("miss next to a key, LMDB", "miss_near_lmdb_ns", "ns"),
        ("miss spread over the key space, `_TarnReader.get_raw`", "miss_spread_raw_ns", "ns"),
        ("miss spread over the key space, `r.get_raw`", "miss_spread_pkg_ns", "ns"),
        ("miss spread over the key space, LMDB", "miss_spread_lmdb_ns", "ns"),
    ]
    for label, key, unit in rows:
        v = f[key]
        lines.append(f"| {label} | {v:,.0f} ns |" if unit == "ns" else f"| {label} | {v:.3f} s |")
    if "lazy_keys_peak_rss_bytes" in f:
        lines.append(f"| peak RSS growth during `for k in r` | {f['lazy_keys_peak_rss_bytes'] / 2**20:.2f} MiB |")
    lines.append(f"| peak traced allocations during `for k in r` | "
                 f"{f['lazy_keys_peak_traced_bytes'] / 2**10:.1f} KiB |")
    lines += ["", "| target | against | measured | target | result |", "|---|---|---:|---:|---|"]
    for label, value, target, against in ratios(f):
        if target is None:  # a cost measured, with no target
            lines.append(f"| {label} | {against} | {value:.3f}x | | measured |")
        else:
            lines.append(f"| {label} | {against} | {value:.3f}x | ≤ {target}x | {'met' if value <= target else 'missed'} |")
    peak = f.get("lazy_keys_peak_rss_bytes", f["lazy_keys_peak_traced_bytes"])
    lines.append(f"| lazy `for k in r`, peak memory growth | | {peak / 2**20:.2f} MiB | < 1 MiB | "
                 f"{'met' if peak < 2**20 else 'missed'} |")
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--probes", type=int, default=200_000)
    ap.add_argument("--seed", type=int, default=compare.SEED)
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    opts = ap.parse_args()
    machine = compare_report.machine()
    figures = measure(opts.n, opts.reps, opts.seed, opts.probes)
    run = {"n": opts.n, "reps": opts.reps, "probes": min(opts.n, opts.probes), "machine": machine,
           "figures": figures}
    os.makedirs(opts.out, exist_ok=True)
    base = os.path.join(opts.out, f"package-{opts.n}")
    with open(base + ".json", "w") as f:
        json.dump(run, f, indent=1)
    md = markdown(run)
    with open(base + ".md", "w") as f:
        f.write(md)
    print(md)


if __name__ == "__main__":
    main()
