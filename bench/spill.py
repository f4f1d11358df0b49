#!/usr/bin/env python3
"""Builds larger than memory: `tarnkv build --memory-limit` against the in-memory build.

    python3.14 bench/spill.py [--n 2000000] [--limit 51M] [--reps 1] [--out DIR]

Writes a JSON Lines file of N records (~115 bytes a line, keys in shuffled order, fixed seed)
under build/bench-spill, then runs `tarnkv build` as a child process twice: with a memory limit
no input reaches (in memory) and with --limit (spilling). Reports each build's wall time and
the child's peak RSS, the ratio of the times, and whether the two files are byte-identical.
The issue's target is 20M records with 512M; the default is that run scaled down tenfold.
Writes spill.md and spill.json in DIR (bench/results). Timings never fail the run.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import time


def make_input(path: str, n: int) -> None:
    rng = random.Random(20261208)
    order = list(range(n))
    rng.shuffle(order)
    with open(path, "w") as f:
        for i in order:
            f.write(json.dumps({"id": f"user:{i:08d}", "name": f"User {i}", "age": i % 97,
                                "email": f"user{i}@example.org", "tags": ["a", "b"][: i % 3]}) + "\n")


def build(src: str, out: str, limit: str) -> tuple[float, int]:
    """Wall seconds and peak RSS (bytes) of one `tarnkv build` child."""
    env = dict(os.environ)
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "tarnkv", "build", src, "-o", out, "--key", "id", "-q",
                             "--memory-limit", limit], env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"tarnkv build failed with status {status}")
    return seconds, usage.ru_maxrss * 1024


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=2_000_000)
    ap.add_argument("--limit", default="51M")
    ap.add_argument("--reps", type=int, default=1)
    ap.add_argument("--out", default="bench/results")
    args = ap.parse_args()
    work = os.path.join("build", "bench-spill")
    os.makedirs(work, exist_ok=True)
    src = os.path.join(work, f"data-{args.n}.jsonl")
    if not os.path.exists(src):
        make_input(src, args.n)
    rows = {}
    for _ in range(args.reps):
        for name, limit in (("in memory", "1T"), (f"spilling ({args.limit})", args.limit)):
            out = os.path.join(work, f"{'memory' if limit == '1T' else 'spill'}.trnk")
            seconds, rss = build(src, out, limit)
            best = rows.get(name)
            if best is None or seconds < best["seconds"]:
                rows[name] = {"seconds": seconds, "peak_rss": rss, "file": out}
    files = [open(r["file"], "rb").read() for r in rows.values()]
    same = files[0] == files[1]
    (mem, spill) = rows.values()
    result = {"n": args.n, "input_bytes": os.path.getsize(src), "limit": args.limit, "rows": rows,
              "ratio": spill["seconds"] / mem["seconds"], "identical": same}
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "spill.json"), "w") as f:
        json.dump(result, f, indent=1)
    lines = [f"# Builds larger than memory: {args.n:,} records, {result['input_bytes'] / 2**20:,.0f} MiB of JSON Lines",
             "", "| build | seconds | peak RSS (MiB) |", "|---|---:|---:|"]
    for name, r in rows.items():
        lines.append(f"| {name} | {r['seconds']:.2f} | {r['peak_rss'] / 2**20:,.0f} |")
    lines += ["", f"Spilling / in memory: {result['ratio']:.2f}x; files byte-identical: {same}."]
    with open(os.path.join(args.out, "spill.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
