#!/usr/bin/env python3
"""Store sets against single stores: ratios measured in one run.

    python3.14 bench/sets.py [--n 5000000] [--reps 2] [--keep]

Writes N JSON Lines records (the data of bench/cli.py: ~116 bytes a line, keys user:%08d in
shuffled order) under build/bench-sets and times, in turns, best of --reps:

- single: `tarnkv build data.jsonl -o data.trnk --key id -q`, a child process (interpreter
  start included), its peak RSS from wait4();
- set, cold: `tarnkv build ... --shards 8 --workers 2 -q`, a child process that starts a
  LocalCluster of 2 worker processes, builds and stops it (everything included);
- set, warm: the same build with `--scheduler ADDRESS` on a LocalCluster of 2 worker
  processes this script started beforehand (cluster start-up left out; interpreter start,
  client connection, planning, both waves and the manifest included). Each worker's peak RSS
  and processor time come from the workers themselves (getrusage).

Then reads, in this process, on the store and the set just built (the same keys): decoded hits
r[k] over 200,000 random present keys, and get_many in batches of 1,000, best of 7 in turns,
in processor time. And for the README: the size a set pays for objects whose keys fall in
several shards (1,000,000 records with an alias each, single store against 8 shards), the
index memory a reader holds per key, and the per-record costs the scale-out table extrapolates
from. Writes bench/results/sets.md and sets.json. Timings never fail the run.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import resource
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
sys.path.insert(0, HERE)
from cli import generate  # noqa: E402  (the command-line benchmark's data)

import tarnkv  # noqa: E402

SHARDS = 8
WORKERS = 2
PROBES = 200_000
BATCH = 1000
TARGETS = {"build_speedup": 1.5, "worker_rss": 0.6, "hit": 1.3, "get_many": 1.2}


def log(text: str) -> None:
    print(f"bench sets: {text}", file=sys.stderr, flush=True)


# The environment as it was before a LocalCluster started here: starting one may set variables
# in this process's environment for its workers (MALLOC_TRIM_THRESHOLD_=65536 among them, which
# makes a process that grows large buffers much slower), and the commands timed must not
# inherit them.
CLEAN_ENV = dict(os.environ)


def child(args: list[str]) -> dict:
    """Runs `tarnkv ARGS` as a child process: wall seconds, processor seconds, peak RSS (MiB)."""
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "tarnkv", *args], env=CLEAN_ENV)
    _, status, ru = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    if status:
        raise SystemExit(f"bench sets: tarnkv {' '.join(args)} failed ({status})")
    return {"seconds": wall, "cpu": ru.ru_utime + ru.ru_stime, "rss_mib": ru.ru_maxrss / 1024}


def worker_usage() -> dict:
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return {"rss_mib": ru.ru_maxrss / 1024, "cpu": ru.ru_utime + ru.ru_stime}


def builds(data: str, work: str, reps: int, client) -> dict:
    single, cold, warm = [], [], []
    store, cold_set, warm_set = (os.path.join(work, n) for n in ("data.trnk", "cold.set", "warm.set"))
    address = client.scheduler.address
    for rep in range(reps):
        log(f"builds, round {rep + 1} of {reps}")
        single.append(child(["build", data, "-o", store, "--key", "id", "-q"]))
        before = client.run(worker_usage)
        run = child(["build", data, "-o", warm_set, "--key", "id", "--shards", str(SHARDS), "--scheduler", address,
                     "-q"])
        after = client.run(worker_usage)
        run["workers"] = [{"rss_mib": after[w]["rss_mib"], "cpu": after[w]["cpu"] - before[w]["cpu"]} for w in after]
        warm.append(run)
        cold.append(child(["build", data, "-o", cold_set, "--key", "id", "--shards", str(SHARDS), "--workers",
                           str(WORKERS), "-q"]))
    shutil.rmtree(cold_set, ignore_errors=True)
    return {"single": single, "set_cold": cold, "set_warm": warm, "store": store, "set": warm_set}


def best_of(reps: int, loops: dict) -> dict:
    """Processor seconds of each loop, best of `reps`, the loops taking turns."""
    best = {name: float("inf") for name in loops}
    for _ in range(reps):
        for name, loop in loops.items():
            t0 = time.process_time()
            loop()
            best[name] = min(best[name], time.process_time() - t0)
    return best


def reads(store: str, set_dir: str, reps: int) -> dict:
    with tarnkv.open(store) as r, tarnkv.open(set_dir) as s:
        assert isinstance(s, tarnkv.SetReader) and len(s) == len(r)
        rng = random.Random(7)
        keys = list(r.keys())  # every key, then a random sample of them
        probes = rng.sample(keys, min(PROBES, len(keys)))
        del keys
        batches = [probes[i:i + BATCH] for i in range(0, len(probes), BATCH)]
        kept: list = []

        def hits(reader):
            def loop():
                kept.clear()
                append = kept.append
                for k in probes:
                    append(reader[k])
            return loop

        def many(reader):
            def loop():
                kept.clear()
                for b in batches:
                    kept.append(reader.get_many(b))
            return loop

        assert s.get_many(batches[0]) == r.get_many(batches[0])
        times = best_of(reps, {"hit_single": hits(r), "hit_set": hits(s), "many_single": many(r),
                               "many_set": many(s)})
    return {name: t / len(probes) * 1e9 for name, t in times.items()}  # ns per key


def reader_memory(path: str) -> float:
    """RSS growth (MiB) of a fresh process that opens `path` (verify=False: the index only)."""
    code = ("import sys, tarnkv\n"
            "def rss():\n"
            "    return int(open('/proc/self/statm').read().split()[1]) * 4096\n"
            "before = rss(); r = tarnkv.open(sys.argv[1], verify=False); print(rss() - before)\n")
    out = subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True, text=True,
                         env=CLEAN_ENV).stdout
    return int(out) / 2**20


def alias_overhead(data: str, work: str, client, n: int) -> dict:
    """Sizes with an alias per record: a single store against a set of SHARDS shards."""
    import orjson

    part = os.path.join(work, "alias.jsonl")
    with open(data, "rb") as src, open(part, "wb") as out:
        for i, line in enumerate(src):
            if i >= n:
                break
            rec = orjson.loads(line)
            rec["ref"] = "ref:" + rec["id"][5:]  # a second unique key, routed on its own
            out.write(orjson.dumps(rec, option=orjson.OPT_APPEND_NEWLINE))
    single = os.path.join(work, "alias.trnk")
    sharded = os.path.join(work, "alias.set")
    child(["build", part, "-o", single, "--key", "id", "--alias", "ref", "-q"])
    child(["build", part, "-o", sharded, "--key", "id", "--alias", "ref", "--shards", str(SHARDS), "--scheduler",
           client.scheduler.address, "-q"])
    with tarnkv.open(single) as r, tarnkv.open(sharded) as s:
        a, b = r.stats(), s.stats()
    os.unlink(part)
    return {"records": n, "single_bytes": a["file_size"], "set_bytes": b["file_size"],
            "single_objects": a["num_objects"], "set_objects": b["num_objects"],
            "overhead": b["file_size"] / a["file_size"] - 1}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=5_000_000)
    ap.add_argument("--reps", type=int, default=2)
    ap.add_argument("--keep", action="store_true", help="keep the data directory")
    opts = ap.parse_args()

    from distributed import Client

    from tarnkv.cli.cmd_build_set import local_cluster

    work = os.path.join(ROOT, "build", "bench-sets")
    os.makedirs(work, exist_ok=True)
    data = os.path.join(work, "data.jsonl")
    load = os.getloadavg()[0]
    log(f"writing {opts.n:,} records to {data}")
    generate(data, opts.n)
    t0 = time.perf_counter()
    cluster = local_cluster(WORKERS)  # as `tarnkv build --workers` starts its own
    client = Client(cluster, set_as_default=False)
    cluster_start = time.perf_counter() - t0
    try:
        built = builds(data, work, opts.reps, client)
        log("reads")
        read = reads(built["store"], built["set"], 7)
        log("reader memory and the alias overhead")
        memory = {"single_mib": reader_memory(built["store"]), "set_mib": reader_memory(built["set"])}
        alias = alias_overhead(data, work, client, min(opts.n, 1_000_000))
        with tarnkv.open(built["set"]) as s:
            set_stats = s.stats()
        with tarnkv.open(built["store"]) as r:
            store_stats = r.stats()
    finally:
        client.close()
        cluster.close()

    single = min(built["single"], key=lambda r: r["seconds"])
    cold = min(built["set_cold"], key=lambda r: r["seconds"])
    warm = min(built["set_warm"], key=lambda r: r["seconds"])
    worker_rss = max(w["rss_mib"] for run in built["set_warm"] for w in run["workers"])
    worker_cpu = sum(w["cpu"] for w in warm["workers"])
    result = {
        "n": opts.n, "shards": SHARDS, "workers": WORKERS, "reps": opts.reps, "input_bytes": os.path.getsize(data),
        "load_average_at_start": load, "python": platform.python_version(), "cores": os.cpu_count(),
        "cluster_start_seconds": cluster_start, "runs": {k: built[k] for k in ("single", "set_cold", "set_warm")},
        "best": {"single": single, "set_cold": cold, "set_warm": warm}, "worker_peak_rss_mib": worker_rss,
        "reads_ns": read, "reader_memory": memory, "alias": alias,
        "store_bytes": store_stats["file_size"], "set_bytes": set_stats["file_size"],
        "per_record": {"worker_cpu_us": worker_cpu / opts.n * 1e6, "single_cpu_us": single["cpu"] / opts.n * 1e6,
                       "shard_bytes": set_stats["file_size"] / opts.n,
                       "reader_index_bytes": memory["set_mib"] * 2**20 / opts.n},
        "ratios": {"build_speedup_cold": single["seconds"] / cold["seconds"],
                   "build_speedup_warm": single["seconds"] / warm["seconds"],
                   "worker_rss": worker_rss / single["rss_mib"],
                   "hit": read["hit_set"] / read["hit_single"], "get_many": read["many_set"] / read["many_single"]},
        "targets": TARGETS,
    }
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "sets.json"), "w") as f:
        json.dump(result, f, indent=2)
    report = markdown(result)
    with open(os.path.join(RESULTS, "sets.md"), "w") as f:
        f.write(report)
    print(report)
    if not opts.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def markdown(r: dict) -> str:
    b, q, t = r["best"], r["ratios"], r["targets"]
    rd, a, pr = r["reads_ns"], r["alias"], r["per_record"]

    def met(value: float, target: float, higher: bool = False) -> str:
        return "met" if (value >= target if higher else value <= target) else "**not met**"

    lines = [
        f"# Store sets against single stores, N = {r['n']:,}", "",
        f"Machine: {r['cores']} cores; Python {r['python']}; load average {r['load_average_at_start']:.2f} at the "
        "start (other work on the machine shows in the figures). Builds: best of "
        f"{r['reps']} in turns, wall time of the whole `tarnkv` process; reads: best of 7 in turns, processor time.", "",
        f"Input: {r['n']:,} JSON Lines records, {r['input_bytes'] / 2**20:,.1f} MiB; single store "
        f"{r['store_bytes'] / 2**20:,.1f} MiB, set of {r['shards']} shards {r['set_bytes'] / 2**20:,.1f} MiB "
        "(one key per record: no copies).", "",
        "| build | seconds | processor s | peak RSS |", "|---|---:|---:|---:|",
        f"| `tarnkv build data.jsonl -o data.trnk --key id -q` | {b['single']['seconds']:.2f} | "
        f"{b['single']['cpu']:.2f} | {b['single']['rss_mib']:,.0f} MiB |",
        f"| `... --shards {r['shards']} --workers {r['workers']}` (starts and stops its cluster) | "
        f"{b['set_cold']['seconds']:.2f} | | |",
        f"| `... --shards {r['shards']} --scheduler ADDR` (cluster already running) | {b['set_warm']['seconds']:.2f} | "
        f"{sum(w['cpu'] for w in b['set_warm']['workers']):.2f} (workers) | "
        f"{r['worker_peak_rss_mib']:,.0f} MiB (largest worker) |", "",
        f"A LocalCluster of {r['workers']} worker processes took {r['cluster_start_seconds']:.2f} s to start here.", "",
        "| target | measured | target | result |", "|---|---:|---:|---|",
        f"| set build speed-up, cluster start-up included | {q['build_speedup_cold']:.2f}x | ≥ {t['build_speedup']}x | "
        f"{met(q['build_speedup_cold'], t['build_speedup'], True)} |",
        f"| set build speed-up, cluster start-up left out | {q['build_speedup_warm']:.2f}x | ≥ {t['build_speedup']}x | "
        f"{met(q['build_speedup_warm'], t['build_speedup'], True)} |",
        f"| each worker's peak RSS / the single build's | {q['worker_rss']:.2f}x | ≤ {t['worker_rss']}x | "
        f"{met(q['worker_rss'], t['worker_rss'])} |",
        f"| routed hit `s[k]` ({rd['hit_set']:,.0f} ns) / single store hit ({rd['hit_single']:,.0f} ns) | "
        f"{q['hit']:.2f}x | ≤ {t['hit']}x | {met(q['hit'], t['hit'])} |",
        f"| `get_many`, batches of {BATCH:,} ({rd['many_set']:,.0f} ns a key) / single store "
        f"({rd['many_single']:,.0f} ns) | {q['get_many']:.2f}x | ≤ {t['get_many']}x | {met(q['get_many'], t['get_many'])} |",
        "",
        f"Copies for keys in several shards: {a['records']:,} records with an alias each (`--alias ref`) make a "
        f"single store of {a['single_bytes'] / 2**20:,.1f} MiB ({a['single_objects']:,} objects) and a set of "
        f"{r['shards']} shards of {a['set_bytes'] / 2**20:,.1f} MiB ({a['set_objects']:,} objects): "
        f"+{a['overhead'] * 100:.0f}%.", "",
        f"Reader memory (RSS growth of a process opening it, index only): single store "
        f"{r['reader_memory']['single_mib']:,.1f} MiB, set {r['reader_memory']['set_mib']:,.1f} MiB.", "",
        f"Per record: {pr['worker_cpu_us']:.2f} µs of worker processor time for the set build "
        f"({pr['single_cpu_us']:.2f} µs for the single build), {pr['shard_bytes']:.0f} bytes of shard, "
        f"{pr['reader_index_bytes']:.0f} bytes of reader index memory.", "",
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
