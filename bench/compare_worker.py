"""One engine, one phase, one process: run by bench/compare.py, never imported by it.

    compare_worker.py build ENGINE DATADIR STOREDIR OUT.json REPS
    compare_worker.py read  ENGINE DATADIR STOREDIR OUT.json REPS

build: loads the shuffled pairs, times the engine's build (best of REPS, each from an empty
       directory), records the store's size on disk.
read:  loads the probe lists, then records memory before and after the first open in the process
       and its time, times every query with the same loops for every engine (checking the
       answers outside the timings), then repeated opens.
"""

import gc
import json
import math
import os
import shutil
import sys
import time

import msgpack

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import engines  # noqa: E402

perf_ns = time.perf_counter_ns


def status():
    """Memory figures of this process in bytes, from /proc/self/status."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "VmHWM"):
                out[name] = int(rest.split()[0]) * 1024
    return out


def dir_size(path):
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            total += os.path.getsize(os.path.join(root, name))
    return total


def load(path):
    with open(path, "rb") as f:
        return msgpack.unpackb(f.read(), raw=False)


# The timed loops. One function for every engine: the same list, the same loop, a callable
# bound before the loop; gc is off while they run. Repetitions go round all the loops in turn
# (so a burst of load elsewhere hits them alike) and the best run of each is kept.


def per_call(fn, keys):
    t0 = perf_ns()
    for k in keys:
        fn(k)
    return (perf_ns() - t0) / len(keys) / 1e9


def whole(fn):
    t0 = perf_ns()
    result = fn()
    t = perf_ns() - t0
    del result
    return t / 1e9


def best_of(reps, loops):
    best = dict.fromkeys(loops, math.inf)
    for _ in range(reps):
        for name, loop in loops.items():
            best[name] = min(best[name], loop())
    return best


def run_build(mod, datadir, storedir, reps):
    """Builds the store `reps` times, each into an emptied directory; the best run counts. A
    build ends in an fsync, whose wait depends on what else the machine writes meanwhile."""
    data = load(os.path.join(datadir, "data.msgpack"))
    pairs = list(zip(data["keys"], data["values"]))
    del data
    best = None
    for _ in range(reps):
        shutil.rmtree(storedir, ignore_errors=True)
        os.makedirs(storedir)
        gc.collect()
        gc.disable()
        t0 = perf_ns()
        extra = mod.build(pairs, storedir)
        build_s = (perf_ns() - t0) / 1e9
        gc.enable()
        if best is None or build_s < best[0]:
            best = (build_s, extra)
    build_s, extra = best
    return {"build_s": build_s, "build_reps": reps, "size_bytes": dir_size(storedir), **extra}


def run_read(mod, datadir, storedir, reps):
    probes = load(os.path.join(datadir, "probes.msgpack"))
    hits, misses, prefixes = probes["hits"], probes["misses"], probes["prefixes"]
    if mod.BYTES_KEYS:
        hits = [k.encode() for k in hits]
        misses = [k.encode() for k in misses]
    checks = probes["checks"]
    check_keys = [k.encode() if mod.BYTES_KEYS else k for k in checks["keys"]]
    res = {}

    # The first open in this process is what a program pays: it opens its store once, and its
    # memory is fresh (later opens reuse what the process has freed).
    gc.collect()
    mem0 = status()
    t0 = perf_ns()
    h = mod.open(storedir, False)
    first_open = (perf_ns() - t0) / 1e9
    mem1 = status()
    res["open_first_s"] = first_open
    res["mem_open"] = {k: mem1[k] - mem0[k] for k in ("VmRSS", "RssAnon", "RssFile")}
    if hasattr(mod, "index_section_bytes"):
        res["index_section_bytes"] = mod.index_section_bytes(h, storedir)

    t0 = perf_ns()
    o = mod.ops(h)
    res["ops_setup_s"] = (perf_ns() - t0) / 1e9

    # Answers first, outside the timings: a wrong engine must not produce a fast figure.
    get, exists, prefix = o["get"], o["exists"], o["prefix"]
    for k, v in zip(check_keys, checks["values"]):
        assert get(k) == v, (k, get(k))
        assert exists(k), k
    for k in misses[:100]:
        assert get(k) is None, k
        assert not exists(k), k
    for p, n in zip(prefixes[:20], checks["prefix_counts"]):
        got = prefix(p)
        assert len(got) == n, (p, len(got), n)
    got = o["items"]()
    assert len(got) == probes["n"], (len(got), probes["n"])
    del got

    gc.collect()
    gc.disable()
    same = [hits[0]] * len(hits)
    res.update(best_of(reps, {
        "floor_s": lambda: per_call(len, hits),
        "get_hit_s": lambda: per_call(get, hits),
        "get_miss_s": lambda: per_call(get, misses),
        "exists_s": lambda: per_call(exists, hits),
        # One key over and over: every access is cache-hot, what is left is the call's cost.
        "get_same_s": lambda: per_call(get, same),
        "prefix_s": lambda: per_call(prefix, prefixes),
    }))
    res["items_s"] = best_of(reps, {"items": lambda: whole(o["items"])})["items"]
    if o["integrity"] is not None:
        res["integrity_s"] = best_of(min(reps, 2), {"i": lambda: whole(o["integrity"])})["i"]
    gc.enable()
    gc.collect()
    mem2 = status()
    res["mem_workload"] = {k: mem2[k] - mem0[k] for k in ("VmRSS", "RssAnon", "RssFile")}
    res["mem_peak"] = mem2["VmHWM"] - mem0["VmRSS"]

    del o, get, exists, prefix
    mod.close(h)
    del h
    gc.collect()

    # Open again, best of a few; the handle of each run is closed and dropped untimed.
    def one_open(verify):
        t0 = perf_ns()
        x = mod.open(storedir, verify)
        t = perf_ns() - t0
        mod.close(x)
        del x
        return t / 1e9

    opens = {"open_s": lambda: one_open(False)}
    if mod.LABEL == "tarnkv":
        opens["open_verify_s"] = lambda: one_open(True)
    gc.disable()
    res.update(best_of(max(reps, 5) if probes["n"] <= 1_000_000 else reps, opens))
    gc.enable()
    return res


def main():
    phase, name, datadir, storedir, out = sys.argv[1:6]
    mod = engines.load(name)
    if phase == "build":
        res = run_build(mod, datadir, storedir, int(sys.argv[6]))
    else:
        res = run_read(mod, datadir, storedir, int(sys.argv[6]))
    res["engine"] = name
    res["label"] = mod.LABEL
    if phase == "read":
        res["notes"] = mod.NOTES
        res["version"] = mod.version()
    with open(out, "w") as f:
        json.dump(res, f)


if __name__ == "__main__":
    main()
