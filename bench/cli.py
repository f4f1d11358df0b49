#!/usr/bin/env python3
"""The command line against the floor of what it does: ratios measured in one process.

    python3.14 bench/cli.py [--n 1000000] [--reps 3] [--keep] [--out DIR]

Writes a JSON Lines file of N records (~110 bytes a line, fixed seed) under build/bench-cli,
then times, alternating, best of --reps:

- build: `tarnkv build data.jsonl -o data.trnk --key id -q`, run in this process through the
  command's entry point, against the baseline of parsing the same file line by line with the
  same JSON parser and nothing else (`for line in f: orjson.loads(line)`, file opened "rb");
- the writer's floor: the same (key, MessagePack bytes) pairs in the input's order, already
  in memory as bytes objects, given to
  `TarnWriter.put_raw` and built: what any loader pays the store writer, with no reading or
  parsing at all (reported against the parse baseline, to show how much of the build is the
  writer's);
- the build on bigger records: package-index-like lines of about 360 bytes and 1 KiB (escaped
  line breaks, accented letters), as many bytes as the main file, against the same parse
  baseline over each file;
- dump: `tarnkv dump data.trnk -o dump.jsonl`, in this process, against the baseline of writing
  the same JSON Lines from a list in memory: the store's (key, object) pairs already decoded
  into a list of (str, dict), written as `f.write(orjson.dumps({"key": k, "value": v},
  option=orjson.OPT_APPEND_NEWLINE))` per pair to a file opened "wb" in the same directory.

Also times whole processes (`tarnkv build`, `tarnkv get` of one key, bare interpreter start)
for reference. Writes cli.md and cli.json in DIR (bench/results). Timings never fail the run.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import shutil
import string
import subprocess
import sys
import time

import orjson

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results")
SEED = 20261207
TARGETS = {"build": 2.0, "dump": 1.5, "build_wide": 1.7}
WIDE_SIZES = (360, 1000)


def generate(path: str, n: int) -> None:
    rng = random.Random(SEED)
    letters = string.ascii_lowercase
    ids = list(range(n))
    rng.shuffle(ids)
    with open(path, "wb") as f:
        lines = []
        for i in ids:
            name = "".join(rng.choices(letters, k=rng.randint(6, 14)))
            lines.append(orjson.dumps({
                "id": f"user:{i:08d}", "name": name.title(), "email": f"{name}@example.com",
                "age": rng.randint(18, 90), "score": round(rng.random() * 100, 3),
                "tags": rng.sample(["red", "green", "blue", "new", "vip"], rng.randint(0, 2)),
            }, option=orjson.OPT_APPEND_NEWLINE))
            if len(lines) == 10000:
                f.write(b"".join(lines))
                lines.clear()
        f.write(b"".join(lines))


def generate_wide(path: str, n: int, size: int) -> None:
    """Package-index-like records of about `size` bytes a line: names, a version, a dependency
    list, a checksum, a maintainer with accented letters and a description of several lines
    (escaped line breaks), which grows the line to its size."""
    rng = random.Random(SEED + size)
    letters = string.ascii_lowercase
    words = ["".join(rng.choices(letters, k=rng.randint(2, 9))) for _ in range(2000)]
    people = ["José Müller <jm@example.org>", "Ana Núñez <an@example.org>", "Bob Smith <bob@example.org>"]
    ids = list(range(n))
    rng.shuffle(ids)
    with open(path, "wb") as f:
        lines = []
        for i in ids:
            rec = {
                "id": f"pkg:{i:08d}", "package": f"{rng.choice(words)}-{rng.choice(words)}",
                "version": f"{rng.randint(0, 9)}.{rng.randint(0, 40)}.{rng.randint(0, 9)}-{rng.randint(1, 5)}",
                "architecture": rng.choice(["amd64", "all", "arm64"]), "installed_size": rng.randint(10, 90000),
                "depends": [rng.choice(words) for _ in range(rng.randint(0, 6))],
                "sha256": f"{rng.getrandbits(256):064x}", "maintainer": rng.choice(people), "description": "",
            }
            room = max(0, size - len(orjson.dumps(rec)) - 1)
            text = ""
            while len(text) < room:
                text += rng.choice(words) + " "
            # Paragraph lines: each escaped line break takes two bytes of the room.
            rec["description"] = "\n ".join(text[j:j + 60] for j in range(0, room, 60))[:room]
            lines.append(orjson.dumps(rec, option=orjson.OPT_APPEND_NEWLINE))
            if len(lines) == 10000:
                f.write(b"".join(lines))
                lines.clear()
        f.write(b"".join(lines))


def parse_baseline(path: str) -> None:
    loads = orjson.loads
    with open(path, "rb") as f:
        for line in f:
            loads(line)


def write_baseline(path: str, items: list) -> None:
    dumps = orjson.dumps
    nl = orjson.OPT_APPEND_NEWLINE
    with open(path, "wb") as f:
        for k, v in items:
            f.write(dumps({"key": k, "value": v}, option=nl))


def writer_floor(path: str, pairs: list) -> None:
    import tarnkv

    w = tarnkv.TarnWriter()
    put = w.put_raw
    for k, v in pairs:
        put(k, v)
    w.build(path)


def timed(fn, *args) -> float:
    t0 = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0


def cli(*args: str) -> None:
    from tarnkv.cli import main

    status = main(list(args))
    if status:
        raise SystemExit(f"bench: tarnkv {' '.join(args)} ended with status {status}")


def process_seconds(argv: list[str], reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--keep", action="store_true", help="keep the data directory")
    ap.add_argument("--out", default=RESULTS, help="where the results go (default bench/results)")
    opts = ap.parse_args()

    work = os.path.join(ROOT, "build", "bench-cli")
    os.makedirs(work, exist_ok=True)
    data = os.path.join(work, "data.jsonl")
    store = os.path.join(work, "data.trnk")
    dumped = os.path.join(work, "dump.jsonl")
    written = os.path.join(work, "written.jsonl")
    load = os.getloadavg()[0]
    print(f"bench cli: writing {opts.n:,} records to {data}", file=sys.stderr)
    generate(data, opts.n)
    size = os.path.getsize(data)

    times: dict[str, list[float]] = {"parse": [], "build": [], "floor": [], "write": [], "dump": []}
    for rep in range(opts.reps):
        print(f"bench cli: build, round {rep + 1} of {opts.reps}", file=sys.stderr)
        times["parse"].append(timed(parse_baseline, data))
        times["build"].append(timed(cli, "build", data, "-o", store, "--key", "id", "-q"))

    import tarnkv

    # In the input's order (shuffled), as the build meets them.
    with tarnkv.open(store) as reader, open(data, "rb") as f:
        get_raw = reader.get_raw
        keys = [orjson.loads(line)["id"].encode() for line in f]
        pairs = [(k, get_raw(k)) for k in keys]
        del keys
    floor_store = os.path.join(work, "floor.trnk")
    for rep in range(opts.reps):
        print(f"bench cli: writer floor, round {rep + 1} of {opts.reps}", file=sys.stderr)
        times["floor"].append(timed(writer_floor, floor_store, pairs))
    del pairs

    with tarnkv.open(store) as reader:
        items = list(reader.items())
    for rep in range(opts.reps):
        print(f"bench cli: dump, round {rep + 1} of {opts.reps}", file=sys.stderr)
        times["write"].append(timed(write_baseline, written, items))
        times["dump"].append(timed(cli, "dump", store, "-o", dumped))
    same_output = open(dumped, "rb").read() == open(written, "rb").read()
    del items

    # Bigger records: the build against the parse floor on lines of about 360 bytes and 1 KiB,
    # as many bytes of input as the main file.
    wide = {}
    for rsize in WIDE_SIZES:
        wdata = os.path.join(work, f"wide-{rsize}.jsonl")
        wstore = os.path.join(work, f"wide-{rsize}.trnk")
        wn = max(1000, opts.n * 116 // rsize)
        print(f"bench cli: {wn:,} records of ~{rsize} bytes", file=sys.stderr)
        generate_wide(wdata, wn, rsize)
        wt: dict[str, list[float]] = {"parse": [], "build": []}
        for rep in range(opts.reps):
            wt["parse"].append(timed(parse_baseline, wdata))
            wt["build"].append(timed(cli, "build", wdata, "-o", wstore, "--key", "id", "-q"))
        wide[str(rsize)] = {"n": wn, "input_bytes": os.path.getsize(wdata), "seconds": wt,
                            "best": {k: min(v) for k, v in wt.items()},
                            "ratio": min(wt["build"]) / min(wt["parse"])}
        os.unlink(wdata)
        os.unlink(wstore)

    py = sys.executable
    env_cmd = [py, "-m", "tarnkv"]
    procs = {
        "interpreter start (python -c pass)": process_seconds([py, "-c", "pass"], opts.reps),
        "tarnkv get, one key (whole process)": process_seconds(
            [*env_cmd, "get", store, "user:00000042"], opts.reps),
        "tarnkv build (whole process)": process_seconds(
            [*env_cmd, "build", data, "-o", store, "--key", "id", "-q"], 1),
    }

    best = {k: min(v) for k, v in times.items()}
    ratios = {"build": best["build"] / best["parse"], "dump": best["dump"] / best["write"],
              "floor": best["floor"] / best["parse"], "build_over_floor": best["build"] / best["floor"]}
    result = {
        "n": opts.n, "input_bytes": size, "store_bytes": os.path.getsize(store), "reps": opts.reps,
        "load_average_at_start": load, "python": platform.python_version(),
        "orjson": orjson.__version__, "cpu": _cpu(), "cores": os.cpu_count(),
        "seconds": times, "best": best, "ratios": ratios, "targets": TARGETS,
        "dump_output_identical_to_baseline": same_output, "processes": procs, "wide": wide,
    }
    os.makedirs(opts.out, exist_ok=True)
    with open(os.path.join(opts.out, "cli.json"), "w") as f:
        json.dump(result, f, indent=2)
    report = _report(result)
    with open(os.path.join(opts.out, "cli.md"), "w") as f:
        f.write(report)
    print(report)
    if not opts.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def _cpu() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def _report(r: dict) -> str:
    b = r["best"]
    mib = r["input_bytes"] / 2**20
    wide_rows = [
        f"| `tarnkv build` on {w['n']:,} records of ~{size} bytes ({w['input_bytes'] / w['n']:.0f} bytes a line, "
        f"escaped line breaks, accented letters) | {w['best']['build']:.3f} | the parse baseline over the same "
        f"file | {w['best']['parse']:.3f} | {w['ratio']:.2f}x | ≤ {r['targets']['build_wide']:.1f}x |"
        for size, w in r.get("wide", {}).items()
    ]
    lines = [
        f"# The command line against its baselines, N = {r['n']:,}",
        "",
        f"Machine: {r['cpu']}, {r['cores']} cores; Python {r['python']}, orjson {r['orjson']}; "
        f"load average {r['load_average_at_start']:.2f} at the start (other work on the machine "
        f"shows in the figures). Best of {r['reps']} alternating runs in one process.",
        "",
        f"Input: {r['n']:,} JSON Lines records, {mib:,.1f} MiB ({r['input_bytes'] / r['n']:.0f} "
        f"bytes a line); store {r['store_bytes'] / 2**20:,.1f} MiB.",
        "",
        "| operation | seconds | baseline | baseline seconds | ratio | target |",
        "|---|---:|---|---:|---:|---:|",
        f"| `tarnkv build data.jsonl -o data.trnk --key id -q` | {b['build']:.3f} | "
        f"`for line in f: orjson.loads(line)` over the same file | {b['parse']:.3f} | "
        f"{r['ratios']['build']:.2f}x | ≤ {r['targets']['build']:.1f}x |",
        f"| writer floor: the store's (key, MessagePack) pairs from memory through `put_raw` and "
        f"`build` | {b['floor']:.3f} | the parse baseline above | {b['parse']:.3f} | "
        f"{r['ratios']['floor']:.2f}x | |",
        f"| `tarnkv dump data.trnk -o dump.jsonl` | {b['dump']:.3f} | "
        f"`f.write(orjson.dumps({{\"key\": k, \"value\": v}}, option=OPT_APPEND_NEWLINE))` for "
        f"each pair of an in-memory list of (str, dict) | {b['write']:.3f} | "
        f"{r['ratios']['dump']:.2f}x | ≤ {r['targets']['dump']:.1f}x |",
        *wide_rows,
        "",
        f"The build takes {r['ratios']['build_over_floor']:.2f}x the writer's floor: reading and "
        f"converting the input costs the rest. The dump's bytes are identical to the "
        f"baseline's: {r['dump_output_identical_to_baseline']}.",
        "",
        "Whole processes, for reference (best of the runs):",
        "",
        "| process | seconds |",
        "|---|---:|",
    ]
    lines += [f"| {name} | {sec:.3f} |" for name, sec in r["processes"].items()]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
