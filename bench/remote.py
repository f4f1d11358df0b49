#!/usr/bin/env python3
"""Reading stores at URLs: requests and bytes counted in the servers' own logs, times as ratios
measured in one run on loopback.

    python3.14 bench/remote.py [--n 200000] [--big-mb 256] [--out bench/results]

Starts nginx (and the S3-protocol server) on 127.0.0.1 as the tests do, builds a store of N
records (keys k%08d, objects of ~100 bytes) into nginx's root and measures:

- open: requests and bytes against header + index section + 64 KiB; the reader's memory after
  open (RSS growth in a fresh child) against a local reader's of the same file;
- a hit (requests, bytes against the record's size) and a miss (requests);
- get_many of 1,000 random keys against 1,000 sequential r[k] (best of --reps, wall time);
- a prefix of 100 consecutive keys: requests against the runs of their records in the file;
- a set of 4 shards on the S3 server: requests of its open and of a routed hit;
- `tarnkv cp URL local.trnk --verify` on a store of --big-mb MiB against a plain streamed
  download of the same file to disk (both child processes, in turns, best of --reps; the
  page cache is written back before each run, so that neither pays for the other's writes);
  for context, also against the plain download followed by an fsync, which the install needs.

Writes OUT/remote.md and remote.json. Timings never fail the run.
"""

from __future__ import annotations

import sys

# Not this directory, before any other import: a benchmark here named like a standard-library
# module (as the compression benchmark once was) would shadow it for every import below.
if __name__ == "__main__":
    del sys.path[0]  # the script's own directory

import argparse
import json
import os
import random
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests"))

import tarnkv  # noqa: E402
from servers import Nginx  # noqa: E402

_CHILD_RSS = """
import ctypes, gc, sys, tarnkv, tarnkv.remote.reader  # the modules' own memory is not the reader's
libc = ctypes.CDLL("libc.so.6")
def rss():
    gc.collect()
    libc.malloc_trim(0)  # what the reader holds, not what malloc keeps from freed buffers
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
r = tarnkv.open(sys.argv[1], verify=False)
len(r)
print(rss() - before)
"""

_PLAIN_DOWNLOAD = """
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1]) as resp, open(sys.argv[2], "wb") as out:
    while chunk := resp.read(1 << 20):
        out.write(chunk)
    if len(sys.argv) > 3:  # the same, then made durable as an install must be
        out.flush()
        import os
        os.fsync(out.fileno())
"""


def settle(call):
    """*call*() once nginx has logged the requests already answered (it logs each one just after
    the answer, so a client can be ahead of its log)."""
    time.sleep(0.3)
    return call()


def build(path: Path, n: int, pad: int = 90, prefix: str = "k") -> None:
    with tarnkv.TarnWriter.create(str(path)) as w:
        for i in range(n):
            w.put(f"{prefix}{i:08d}", {"i": i, "pad": "x" * pad})


def child_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = str(ROOT / "build" / "python")
    return env


def best(fn, reps: int) -> float:
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--big-mb", type=int, default=256)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--out", default=str(ROOT / "bench" / "results"))
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="tarnkv-bench-remote-"))
    www = work / "www"
    www.mkdir()
    nginx = Nginx(www, work / "nginx")
    res: dict[str, object] = {"n": args.n}
    try:
        store = www / "s.trnk"
        build(store, args.n)
        url = f"{nginx.url}/s.trnk"
        local = tarnkv.open(str(store))
        st = local.stats()
        index = st["file_size"] - st["index_offset"]

        settle(nginx.clear_log)
        r = tarnkv.open(url)
        opened = settle(nginx.requests)
        res["open_requests"] = len(opened)
        res["open_bytes"] = sum(q.bytes_sent for q in opened)
        res["open_bytes_limit"] = 40 + index + 65536

        rss = {}
        for name, loc in (("local", str(store)), ("remote", url)):
            out = subprocess.run([sys.executable, "-c", _CHILD_RSS, loc], env=child_env(), check=True,
                                 capture_output=True, text=True).stdout
            rss[name] = int(out.strip())
        res["rss_after_open_local"] = rss["local"]
        res["rss_after_open_remote"] = rss["remote"]

        key = f"k{args.n // 2:08d}"
        settle(nginx.clear_log)
        r[key]
        (hit,) = settle(nginx.requests)
        res["hit_requests"], res["hit_bytes"], res["record_bytes"] = 1, hit.bytes_sent, 8 + len(local.get_raw(key))
        settle(nginx.clear_log)
        r.get("absent")
        res["miss_requests"] = len(settle(nginx.requests))

        rnd = random.Random(7)
        keys = [f"k{rnd.randrange(args.n):08d}" for _ in range(1000)]
        t_seq = best(lambda: [r[k] for k in keys], args.reps)
        t_many = best(lambda: r.get_many(keys), args.reps)
        assert r.get_many(keys) == [local[k] for k in keys]
        res["seq_1000_s"], res["get_many_1000_s"], res["get_many_ratio"] = t_seq, t_many, t_many / t_seq
        settle(nginx.clear_log)
        r.get_many(keys)
        res["get_many_requests"] = len(settle(nginx.requests))

        first = rnd.randrange(args.n - 200)
        prefix = f"k{first // 100:06d}"
        settle(nginx.clear_log)
        got = list(r.prefix(prefix))
        res["prefix_keys"] = len(got)
        res["prefix_requests"] = len(settle(nginx.requests))
        res["prefix_runs"] = runs(r, [k for k, _ in got])

        big = www / "big.trnk"
        build(big, max(1, args.big_mb * 1024 * 1024 // 1000), pad=980, prefix="b")
        big_url = f"{nginx.url}/big.trnk"
        size = big.stat().st_size
        dst = work / "dl"
        dst.mkdir()

        def plain() -> None:
            subprocess.run([sys.executable, "-c", _PLAIN_DOWNLOAD, big_url, str(dst / "plain")], check=True,
                           env=child_env())

        def plain_synced() -> None:
            subprocess.run([sys.executable, "-c", _PLAIN_DOWNLOAD, big_url, str(dst / "plain"), "sync"],
                           check=True, env=child_env())

        def cp() -> None:
            subprocess.run([sys.executable, "-m", "tarnkv", "cp", big_url, str(dst / "cp.trnk"), "--verify", "-q"],
                           check=True, env=child_env())

        t_plain, t_synced, t_cp = [], [], []
        for _ in range(args.reps):  # in turns, each starting with nothing left to write back
            os.sync()  # the plain download's file is not synced: its write-back would slow the next run
            t_plain.append(best(plain, 1))
            os.sync()
            t_synced.append(best(plain_synced, 1))
            os.sync()
            t_cp.append(best(cp, 1))
        res["plain_download_s_runs"] = [round(t, 3) for t in t_plain]
        res["plain_download_synced_s_runs"] = [round(t, 3) for t in t_synced]
        res["cp_verify_s_runs"] = [round(t, 3) for t in t_cp]
        res["download_bytes"] = size
        res["plain_download_MBps"] = size / min(t_plain) / 1e6
        res["cp_verify_MBps"] = size / min(t_cp) / 1e6
        res["cp_throughput_ratio"] = min(t_plain) / min(t_cp)
        # For context: the plain download made durable before it ends, as the install is.
        res["cp_throughput_ratio_vs_synced_download"] = min(t_synced) / min(t_cp)

        res.update(bench_s3_set(work, store))

    finally:
        nginx.stop()
        shutil.rmtree(work, ignore_errors=True)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "remote.json"), "w") as f:
        json.dump(res, f, indent=1)
    lines = ["# Reading stores at URLs", "", f"{args.n:,} records on nginx (loopback), {time.strftime('%Y-%m-%d')}", "",
             "| measure | value |", "|---|---|"]
    lines += [f"| {k} | {v:.4g} |" if isinstance(v, float) else f"| {k} | {v} |" for k, v in res.items()]
    with open(os.path.join(args.out, "remote.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0


def bench_s3_set(work: Path, store: Path) -> dict[str, object]:
    """The store as a set of 4 shards on the S3 server: requests of its open and of a hit."""
    from servers import S3Server

    out = work / "events.set"
    subprocess.run([sys.executable, "-m", "tarnkv", "merge", str(store), "-o", str(out), "--shards", "4", "-q"],
                   check=True, env=child_env())
    server = S3Server(work)
    try:
        os.environ.update(server.env())
        from tarnkv.remote import s3

        c = s3.client()
        c.create_bucket(Bucket="bench")
        for f in sorted(out.iterdir()):
            c.upload_file(str(f), "bench", f"events.set/{f.name}")
        before = len(server.requests())
        r = tarnkv.open("s3://bench/events.set")
        opened = len(server.requests()) - before
        before = len(server.requests())
        r["k00000042"]
        hit = len(server.requests()) - before
        return {"s3_set_shards": 4, "s3_set_open_requests": opened, "s3_set_hit_requests": hit}
    finally:
        server.stop()


def runs(r: object, keys: list[str]) -> int:
    """How many separate runs the records of *keys* make in the file."""
    index = r._index  # type: ignore[attr-defined]
    extents = sorted({index.extent(o) for o in index.find_many(keys)})
    return sum(1 for i, e in enumerate(extents) if i == 0 or extents[i - 1][1] != e[0])


if __name__ == "__main__":
    sys.exit(main())
