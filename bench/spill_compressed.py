"""Compressed builds under a memory limit against the same build in memory, and optionally
against another tree's spilling build: ``python3.14 bench/spill_compressed.py debian|users
[LIMIT] [OTHER_PACKAGE_DIR]``.

Each build (puts and build() of the Debian package records or 1,000,000 user records, as
bench/compressed.py makes them, with ``compression="zstd"``) runs in a child process of its own,
so that its peak RSS is its own; three rounds in which the variants take turns, best of each.
The package is taken from PYTHONPATH, the other tree's from OTHER_PACKAGE_DIR (the directory
holding its ``tarnkv`` package). Prints whether every variant wrote the same file."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

CHILD = r'''
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
import tarnkv
from compressed import debian_records, user_records
data, limit, out = sys.argv[3], sys.argv[4], sys.argv[5]
recs = list(debian_records()) if data == "debian" else list(user_records(1_000_000))
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
before = status("VmRSS")
options = {"compression": "zstd"}
if limit != "none":
    options["memory_limit"] = limit
t = time.perf_counter()
w = tarnkv.TarnWriter(codec=None, on_duplicate="last", spill_dir=os.path.dirname(out), **options)
for k, v in recs:
    w.put_raw(k, v)
w.build(out)
seconds = time.perf_counter() - t
print(json.dumps({"s": seconds, "before_kib": before, "peak_kib": status("VmHWM"), "n": len(recs)}))
'''


def main() -> None:
    data = sys.argv[1]
    limit = sys.argv[2] if len(sys.argv) > 2 else "16M"
    here = os.path.dirname(os.path.abspath(__file__))
    import tarnkv
    trees = {"this": os.path.dirname(os.path.dirname(os.path.abspath(tarnkv.__file__)))}
    if len(sys.argv) > 3:
        trees["other"] = sys.argv[3]
    variants = [("this", limit), ("this", "none")] + ([("other", limit)] if "other" in trees else [])
    results: dict[tuple[str, str], list[dict[str, float]]] = {v: [] for v in variants}
    files = {}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(3):
            for tree, lim in variants:
                out = os.path.join(tmp, f"{tree}-{lim}.trnk")
                run = subprocess.run([sys.executable, "-c", CHILD, trees[tree], here, data, lim, out],
                                     capture_output=True, text=True, check=True)
                results[(tree, lim)].append(json.loads(run.stdout))
                with open(out, "rb") as f:
                    files[(tree, lim)] = f.read()
    best = {v: min(r["s"] for r in results[v]) for v in variants}
    print(f"{data}: {results[variants[0]][0]['n']:,} records, memory_limit={limit}, load average "
          f"{os.getloadavg()[0]:.1f}, same file: {len(set(files.values())) == 1}")
    for v in variants:
        peak = max(r["peak_kib"] for r in results[v]) / 1024
        before = min(r["before_kib"] for r in results[v]) / 1024
        print(f"  {v[0]:5} {v[1]:5} best {best[v]:.3f} s, peak RSS {peak:.0f} MiB ({before:.0f} MiB with the records loaded)")
    spill = best[("this", limit)]
    line = f"  spilling / in memory {spill / best[('this', 'none')]:.2f}x"
    if "other" in trees:
        line += f", spilling / the other tree's spilling {spill / best[('other', limit)]:.2f}x"
    print(line)


if __name__ == "__main__":
    main()
