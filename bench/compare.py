#!/usr/bin/env python3
"""Compare tarnkv with the stores users would pick instead, on the same data and probes.

    python3.14 bench/compare.py [--n N ...] [--huge] [--engines a,b,...] [--reps R]

For each N: generate N records (keys "user:%08d" in shuffled order, each a MessagePack
record of 30-60 bytes, fixed seed) and the probe lists (hits, misses, ~100-key prefixes),
then for each engine run one process that builds the store and a second, fresh process that
opens it and runs the queries, so that every memory figure is that engine's own. Writes
bench/results/compare-N.{md,json} and bench/results/compare.png, and prints the tables; with
several N, also how the cost per key grows with N (bench/results/growth.{md,png}). --huge adds
N = 10,000,000 for tarnkv and LMDB alone (--huge-engines). Timings are measurements, not
tests: nothing here fails on a slow figure.
"""

import argparse
import json
import os
import random
import re
import shutil
import string
import subprocess
import sys
import tempfile
import time

import msgpack

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare_report  # noqa: E402
import engines  # noqa: E402

SEED = 20240606
PREFIX_PROBES = 1000


def record(rng, i):
    """A MessagePack record of 30-60 bytes for id i."""
    target = rng.randint(30, 60)
    age = rng.randrange(18, 90)
    base = len(msgpack.packb({"id": i, "age": age, "name": ""}))
    n = target - base
    if n > 31:
        n -= 1  # str 8 takes one more header byte than fixstr
    name = "".join(rng.choices(string.ascii_lowercase, k=max(n, 0)))
    raw = msgpack.packb({"id": i, "age": age, "name": name})
    assert 30 <= len(raw) <= 60, len(raw)
    return raw


def generate(n, datadir, probes, seed):
    rng = random.Random(seed)
    ids = list(range(n))
    rng.shuffle(ids)
    keys = [f"user:{i:08d}" for i in ids]
    values = [record(rng, i) for i in ids]
    with open(os.path.join(datadir, "data.msgpack"), "wb") as f:
        f.write(msgpack.packb({"keys": keys, "values": values}, use_bin_type=True))

    nprobe = min(n, probes)
    hits = rng.sample(keys, nprobe)  # distinct keys, random order
    # Misses sort between two present keys, so ordered stores must descend all the way.
    misses = [f"user:{i:08d}x" for i in rng.choices(range(n), k=nprobe)]
    groups = n // 100  # "user:" + 6 digits: 100 keys each when n is a multiple of 100
    prefixes = [f"user:{j:06d}" for j in rng.choices(range(groups), k=PREFIX_PROBES)]
    pos = rng.sample(range(n), min(n, 200))
    checks = {
        "keys": [keys[p] for p in pos],
        "values": [values[p] for p in pos],
        "prefix_counts": [min(100, n - int(p[5:]) * 100) for p in prefixes[:20]],
    }
    doc = {"n": n, "hits": hits, "misses": misses, "prefixes": prefixes, "checks": checks}
    with open(os.path.join(datadir, "probes.msgpack"), "wb") as f:
        f.write(msgpack.packb(doc, use_bin_type=True))
    return {"probes": nprobe, "prefix_probes": len(prefixes),
            "value_bytes_mean": sum(map(len, values)) / n}


def log(text):
    print(text, file=sys.stderr, flush=True)


def merge(fig, new, first):
    """Adds one read round to an engine's figures: times keep their minimum."""
    for k, v in new.items():
        if first or k not in fig:
            fig[k] = v
        elif k.endswith("_s") and isinstance(v, (int, float)):
            fig[k] = min(fig[k], v)
        elif k.startswith("mem_"):
            fig.setdefault("mem_rounds", {}).setdefault(k, [fig[k]]).append(v)


def worker(args, timeout):
    cmd = [sys.executable, os.path.join(HERE, "compare_worker.py"), *map(str, args)]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if p.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd[2:4])} failed ({p.returncode}):\n{p.stderr}")
    return p.stdout


def verified_open_ratio(path):
    """open(verify=True) of 1 GiB against its single-thread floor, from the C++ results."""
    try:
        with open(path) as f:
            m = re.search(r"open_over_floor=([0-9.]+)", f.read())
    except OSError:
        return None
    return float(m.group(1)) if m else None


def run_n(n, names, opts):
    machine = compare_report.machine()  # before the work, for its load average
    work = tempfile.mkdtemp(prefix=f"tarnkv-bench-{n}-", dir=opts.tmp)
    try:
        datadir = os.path.join(work, "data")
        os.makedirs(datadir)
        t0 = time.perf_counter()
        info = generate(n, datadir, opts.probes, opts.seed)
        log(f"N={n:,}: data generated in {time.perf_counter() - t0:.1f} s")
        figures = {}
        for name in names:
            storedir = os.path.join(work, name)
            out = os.path.join(work, f"{name}.json")
            t0 = time.perf_counter()
            # Builds repeat too (their fsync waits on whatever else the machine writes), but
            # not at the largest N, where one build takes long enough to average out.
            build_reps = opts.reps if n <= 1_000_000 else 1
            stdout = worker(["build", name, datadir, storedir, out, build_reps], opts.timeout)
            with open(out) as f:
                figures[name] = json.load(f)
            if stdout.strip():
                figures[name]["build_output"] = stdout.strip().splitlines()[-1]
            log(f"N={n:,}: {name} built in {time.perf_counter() - t0:.1f} s")
        # Reads go round the engines `rounds` times, each time in a fresh process; every
        # timing keeps its best round, so a burst of load elsewhere spoils no engine's figure.
        for r in range(opts.rounds):
            for name in names:
                storedir = os.path.join(work, name)
                out = os.path.join(work, f"{name}.read.json")
                t0 = time.perf_counter()
                worker(["read", name, datadir, storedir, out, opts.reps], opts.timeout)
                with open(out) as f:
                    merge(figures[name], json.load(f), first=r == 0)
                log(f"N={n:,}: {name} read, round {r + 1}, in {time.perf_counter() - t0:.1f} s")
    finally:
        if opts.keep:
            log(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    return {
        "n": n,
        "seed": opts.seed,
        "reps": opts.reps,
        "rounds": opts.rounds,
        **info,
        "machine": machine,
        "engines": figures,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, action="append", help="number of keys (repeatable); "
                    "default 100000 and 1000000")
    ap.add_argument("--huge", action="store_true", help="also run N = 10,000,000 (--huge-engines only)")
    ap.add_argument("--huge-engines", default="tarnkv,lmdb",
                    help="the engines run at N = 10,000,000 (default tarnkv,lmdb)")
    ap.add_argument("--engines", default=",".join(engines.ENGINES),
                    help="comma-separated subset of " + ",".join(engines.ENGINES))
    ap.add_argument("--reps", type=int, default=3,
                    help="repetitions inside one read process; the best is kept")
    ap.add_argument("--rounds", type=int, default=2,
                    help="read processes per engine, run in turn; the best is kept")
    ap.add_argument("--probes", type=int, default=200_000, help="hit and miss probes per N")
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--tmp", default=None, help="where the stores are built (default $TMPDIR)")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("--timeout", type=int, default=3600, help="seconds per worker process")
    ap.add_argument("--keep", action="store_true", help="keep the generated data and stores")
    opts = ap.parse_args()
    ns = opts.n or [100_000, 1_000_000]
    if opts.huge and 10_000_000 not in ns:
        ns.append(10_000_000)
    names = [x for x in opts.engines.split(",") if x]
    for x in names:
        if x not in engines.ENGINES:
            ap.error(f"unknown engine {x!r}")
    os.makedirs(opts.out, exist_ok=True)

    huge_names = [x for x in opts.huge_engines.split(",") if x in names]
    verified = verified_open_ratio(os.path.join(opts.out, "core.txt"))
    runs = []
    for n in ns:
        run = run_n(n, huge_names if n >= 10_000_000 else names, opts)
        if verified is not None and n == 1_000_000:
            run["verified_open_over_floor"] = verified
        runs.append(run)
        base = os.path.join(opts.out, f"compare-{n}")
        with open(base + ".json", "w") as f:
            json.dump(run, f, indent=1)
        md = compare_report.markdown(run)
        with open(base + ".md", "w") as f:
            f.write(md)
        print(md)
    png = os.path.join(opts.out, "compare.png")
    compare_report.chart([r for r in runs if r["n"] < 10_000_000] or runs, png)
    log(f"wrote {png}")
    if len(runs) > 1:
        md = compare_report.growth_markdown(runs)
        with open(os.path.join(opts.out, "growth.md"), "w") as f:
            f.write(md)
        print(md)
        png = os.path.join(opts.out, "growth.png")
        compare_report.growth_chart(runs, png)
        log(f"wrote {png}")


if __name__ == "__main__":
    main()
