"""Tables and chart of bench/compare.py: Markdown per N, one PNG for the whole run."""

import os
import platform
import sys

ORDER = ["tarnkv", "lmdb", "leveldb", "sqlite", "dict"]
SELF = "tarnkv"

# key, label, unit, scale (figure -> unit)
ROWS = [
    ("build_s", "build", "s", 1),
    ("size_bytes", "file size on disk", "MiB", 1 / 2**20),
    ("open_first_s", "open, first in a fresh process", "ms", 1e3),
    ("open_s", "open, repeated (best)", "ms", 1e3),
    ("open_verify_s", "open, verify=True", "ms", 1e3),
    ("get_hit_s", "get, hit", "ns/call", 1e9),
    ("get_miss_s", "get, miss", "ns/call", 1e9),
    ("exists_s", "exists (present keys)", "ns/call", 1e9),
    ("get_same_s", "get, one key repeated (cache-hot)", "ns/call", 1e9),
    ("prefix_s", "prefix scan, 100 keys", "µs/scan", 1e6),
    ("items_s", "full enumeration (items)", "ms", 1e3),
    ("integrity_s", "integrity check", "ms", 1e3),
    ("mem_open.VmRSS", "RSS growth after open", "MiB", 1 / 2**20),
    ("mem_open.RssAnon", "… anonymous part", "MiB", 1 / 2**20),
    ("mem_workload.VmRSS", "RSS growth after workload", "MiB", 1 / 2**20),
    ("floor_s", "loop floor: `len(k)`", "ns/call", 1e9),
]

# Rows compared against another row of the other engines (verify=True open against their open).
RATIO_AGAINST = {"open_verify_s": "open_s"}

# Figures that explain another one, shown under the engine's notes.
EXTRAS = [
    ("add_calls_s", "of the build, the add_object_raw / add_key calls took"),
    ("build_call_s", "and the build() call"),
    ("encode_sort_s", "of the build, encoding and sorting the pairs took"),
    ("ops_setup_s", "query setup before the timings (untimed)"),
]

TARGETS = [
    ("`get_raw` hit", "get_hit_s", "lmdb", 0.5, "LMDB `txn.get`"),
    ("`get_raw` hit", "get_hit_s", "dict", 1.0, "`dict.get`"),
    ("`get_raw` miss", "get_miss_s", "lmdb", 0.6, "LMDB `txn.get` miss"),
    ("`exists`", "exists_s", "lmdb", 0.6, "LMDB presence check"),
    ("full enumeration (`items_raw`)", "items_s", "lmdb", 0.5, "full LMDB cursor read"),
    ("`prefix_raw`, ~100 matches", "prefix_s", "lmdb", 0.5, "LMDB cursor range read"),
    ("build (Python calls + `build`)", "build_s", "lmdb", 0.5, "LMDB sorted bulk insert"),
    ("build (Python calls + `build`)", "build_s", "dict", 1.0, "a pickled dict"),
    ("`open(verify=False)`, first in a fresh process", "open_first_s", "dict", 0.08,
     "`pickle.load`, first in a fresh process"),
]
RSS_TARGET = 1.3  # reader RSS after open against the index section on disk
VERIFIED_OPEN_TARGET = 0.8  # open(verify=True) of 1 GiB against map + populate + CRC in one thread


def machine():
    cpu = "unknown"
    mem = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = f"{int(line.split()[1]) / 2**20:.1f} GiB"
                    break
    except OSError:
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)),
        "memory": mem,
        "kernel": f"{platform.system()} {platform.release()}",
        "python": sys.version.split()[0],
        "loadavg": os.getloadavg()[0],
    }


def get(fig, key):
    for part in key.split("."):
        if not isinstance(fig, dict) or part not in fig:
            return None
        fig = fig[part]
    return fig


def fmt(x):
    if x is None:
        return "n/a"
    if x == 0:
        return "0"
    a = abs(x)
    if a >= 100:
        return f"{x:,.0f}"
    if a >= 10:
        return f"{x:.1f}"
    if a >= 1:
        return f"{x:.2f}"
    return f"{x:.3g}"


def ratio(a, b):
    if a is None or b is None or b <= 0:
        return None
    return a / b


def engines_of(run):
    return [e for e in ORDER if e in run["engines"]] + sorted(
        e for e in run["engines"] if e not in ORDER)


def build_reps(run):
    reps = {f.get("build_reps", 1) for f in run["engines"].values()}
    return "/".join(str(r) for r in sorted(reps))


def markdown(run):
    names = engines_of(run)
    figs = run["engines"]
    labels = [figs[e].get("label", e) for e in names]
    others = [e for e in names if e != SELF]
    m = run["machine"]
    out = []
    w = out.append
    w(f"# tarnkv against other stores, N = {run['n']:,}\n")
    w(f"Machine: {m['cpu']}, {m['cores']} cores ({m['usable_cores']} usable), {m['memory']} RAM, "
      f"{m['kernel']}, Python {m['python']}; load average {m.get('loadavg', 0):.2f} when the "
      "run began (other work on the machine shows in the figures).  ")
    w("Engines: " + "; ".join(figs[e].get("version", e) for e in names) + ".\n")
    w(f"Data: {run['n']:,} keys `user:%08d` inserted in shuffled order, each mapped to its own "
      f"MessagePack record of 30-60 bytes (mean {run['value_bytes_mean']:.1f}), seed {run['seed']}. "
      f"Probes: {run['probes']:,} present keys in random order, {run['probes']:,} absent keys "
      f"(`user:%08dx`, each sorting between two present keys), {run['prefix_probes']:,} prefixes "
      f"`user:%06d` of 100 keys each. Every time is the best of {run['reps']} runs (open: at "
      f"least 5; the first open in a process: one per process) in each of "
      f"{run.get('rounds', 1)} fresh read processes per engine, run in turn; stores are read from a "
      f"warm page cache; the garbage collector is off while a timing runs. Each engine builds "
      f"in one process (the best of {build_reps(run)} builds) and is read in a second, fresh one.\n")

    w("## Figures\n")
    w("| operation | unit | " + " | ".join(labels) + " |")
    w("|---|---|" + "---:|" * len(names))
    for key, label, unit, scale in ROWS:
        vals = [get(figs[e], key) for e in names]
        if all(v is None for v in vals):
            continue
        cells = [fmt(v * scale) if v is not None else "n/a" for v in vals]
        w(f"| {label} | {unit} | " + " | ".join(cells) + " |")
    w("")

    if SELF in figs and others:
        w("## tarnkv ÷ each engine\n")
        w("Below 1 means tarnkv is faster or smaller. The `verify=True` open is set against each "
          "engine's own open. \"floor subtracted\" removes the cost of the loop and of one call "
          "of a trivial builtin, measured in the same process with the same keys.\n")
        w("| operation | " + " | ".join(figs[e].get("label", e) for e in others) + " |")
        w("|---|" + "---:|" * len(others))
        for key, label, unit, scale in ROWS:
            if key == "floor_s" or key.startswith("mem_workload"):
                continue
            mine = get(figs[SELF], key)
            if mine is None:
                continue
            theirs = [get(figs[e], RATIO_AGAINST.get(key, key)) for e in others]
            cells = [fmt(ratio(mine, t)) + ("x" if ratio(mine, t) is not None else "") for t in theirs]
            w(f"| {label} | " + " | ".join(cells) + " |")
            if key.endswith("_s") and key in ("get_hit_s", "get_miss_s", "exists_s", "get_same_s"):
                f0 = get(figs[SELF], "floor_s")
                cells = []
                for e in others:
                    t, f1 = get(figs[e], key), get(figs[e], "floor_s")
                    r = None
                    if None not in (t, f1, f0) and mine > f0 and t > f1:
                        r = ratio(mine - f0, t - f1)
                    cells.append(fmt(r) + "x" if r is not None else "n/a")
                w(f"| {label}, floor subtracted | " + " | ".join(cells) + " |")
        w("")
        w(targets(run))

    w("## How each engine does each operation\n")
    for e in names:
        w(f"- **{figs[e].get('label', e)}**")
        for op, txt in figs[e].get("notes", {}).items():
            w(f"  - {op}: {txt}")
        parts = [f"{what} {fmt(figs[e][k])} s" for k, what in EXTRAS
                 if figs[e].get(k) is not None and figs[e][k] >= 1e-3]
        if parts:
            w("  - detail: " + "; ".join(parts))
    w("")
    w("Every lookup timing is the same loop, `for k in keys: fn(k)`, with `fn` bound before the "
      "loop and the same probe keys. LMDB and LevelDB take `bytes` keys: their probe lists are "
      "encoded once before timing, which spares them the `str.encode` that the other engines' "
      "loops do not need either (tarnkv reads the UTF-8 of a `str` key directly). SQLite has no "
      "lookup call, so its `fn` is a small closure around `execute(...).fetchone()`.\n")
    return "\n".join(out)


def targets(run):
    figs = run["engines"]
    me = figs[SELF]
    out = ["## Targets\n"]
    if run["n"] != 1_000_000:
        out.append(f"The targets are set at N = 1,000,000; at N = {run['n']:,} they are shown for "
                   "reference only.\n")
    out.append("| operation | target | measured | result |")
    out.append("|---|---|---:|---|")
    for label, key, other, limit, what in TARGETS:
        r = ratio(get(me, key), get(figs.get(other, {}), key))
        res = "n/a" if r is None else ("met" if r <= limit else "missed")
        out.append(f"| {label} | ≤ {limit}x {what} | {fmt(r)}x | {res} |" if r is not None
                   else f"| {label} | ≤ {limit}x {what} | n/a | n/a |")
    idx = get(me, "index_section_bytes")
    rss = get(me, "mem_open.VmRSS")
    anon = get(me, "mem_open.RssAnon")
    if idx:
        r = rss / idx
        out.append(f"| reader memory after open | ≤ {RSS_TARGET}x the index section on disk "
                   f"({idx / 2**20:.1f} MiB) | {fmt(r)}x ({rss / 2**20:.1f} MiB RSS; "
                   f"anonymous {anon / 2**20:.1f} MiB = {fmt(anon / idx)}x) | "
                   f"{'met' if r <= RSS_TARGET else 'missed'} |")
    verified = run.get("verified_open_over_floor")
    if verified is not None:
        out.append(f"| `open(verify=True)`, 1 GiB store | ≤ {VERIFIED_OPEN_TARGET}x mapping + "
                   f"populating + CRC in one thread (`core.txt`) | {fmt(verified)}x | "
                   f"{'met' if verified <= VERIFIED_OPEN_TARGET else 'missed'} |")
    out.append("")
    out.append("Reader memory is judged on the whole RSS growth after `open(verify=False)`: "
               "the memory the reader allocates, and any pages of the mapping it leaves "
               "resident. The open walks the index in the mapping and gives its pages back; "
               "lookups then read keys in place, and the pages they touch come back as the "
               "file's (shared, reclaimable) cache pages, counted in the RSS after the "
               "workload.\n")
    return "\n".join(out)


def chart(runs, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ops = [("build_s", "build"), ("open_first_s", "first open"), ("get_hit_s", "get hit"),
           ("get_miss_s", "get miss"), ("exists_s", "exists"), ("prefix_s", "prefix 100"),
           ("items_s", "items"), ("integrity_s", "integrity")]
    space = [("size_bytes", "file size"), ("mem_open.VmRSS", "RSS after open"),
             ("mem_workload.VmRSS", "RSS after workload")]
    fig, axes = plt.subplots(len(runs), 2, figsize=(15, 5 * len(runs)), squeeze=False,
                             gridspec_kw={"width_ratios": [3, 1.3]})
    for row, run in zip(axes, runs):
        names = engines_of(run)
        figs = run["engines"]
        width = 0.8 / len(names)
        for col, rows, unit, scale in ((0, ops, "seconds per operation", 1),
                                       (1, space, "MiB", 1 / 2**20)):
            ax = row[col]
            for i, e in enumerate(names):
                xs, ys = [], []
                for j, (key, _) in enumerate(rows):
                    v = get(figs[e], key)
                    if v is not None and v > 0:
                        xs.append(j + (i - (len(names) - 1) / 2) * width)
                        ys.append(v * scale)
                ax.bar(xs, ys, width, label=figs[e].get("label", e))
            ax.set_yscale("log")
            ax.set_xticks(range(len(rows)))
            ax.set_xticklabels([lab for _, lab in rows])
            ax.set_ylabel(unit + " (log)")
            ax.grid(axis="y", which="major", alpha=0.3)
        row[0].set_title(f"N = {run['n']:,}: time per operation (lower is better)")
        row[1].set_title(f"N = {run['n']:,}: disk and memory")
        row[0].legend(ncol=len(names), fontsize="small")
    m = runs[0]["machine"]
    fig.suptitle(f"tarnkv against other stores — {m['cpu']}, {m['cores']} cores, "
                 f"Python {m['python']}")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# How cost per key grows with the number of keys: (figure, label, per key?) for the growth rows.
GROWTH = [
    ("get_hit_s", "get, hit", False),
    ("get_miss_s", "get, miss", False),
    ("open_first_s", "open, first in a fresh process", True),
    ("build_s", "build (Python calls + write)", True),
]
GROWTH_ENGINES = ["tarnkv", "lmdb"]


def per_key_ns(run, engine, key, per_key):
    v = get(run["engines"].get(engine, {}), key)
    if v is None:
        return None
    return v * 1e9 / (run["n"] if per_key else 1)


def growth_markdown(runs):
    runs = sorted(runs, key=lambda r: r["n"])
    engines = [e for e in GROWTH_ENGINES if any(e in r["engines"] for r in runs)]
    labels = {e: runs[-1]["engines"].get(e, {}).get("label", e) for e in engines}
    out = ["# Cost per key as the store grows\n",
           "Nanoseconds per key, each N in its own run of `bench/compare.py` (one process per "
           "engine and phase, as in `compare-N.md`): a lookup's time per call; the first open "
           "and the build divided by N. Load average when each run began: " +
           ", ".join(f"{r['n']:,}: {r['machine'].get('loadavg', 0):.2f}" for r in runs) + ".\n"]
    head = "| N | " + " | ".join(f"{labels[e]} {lab}" for _, lab, _ in GROWTH for e in engines)
    if "tarnkv" in engines and len(engines) > 1:
        head += " | " + " | ".join(f"tarnkv ÷ {labels[e]}, {lab}" for _, lab, _ in GROWTH
                                   for e in engines if e != "tarnkv")
    out.append(head + " |")
    cols = len(GROWTH) * len(engines) + (len(GROWTH) * (len(engines) - 1) if "tarnkv" in engines else 0)
    out.append("|---:|" + "---:|" * cols)
    for r in runs:
        cells = [fmt(per_key_ns(r, e, k, pk)) for k, _, pk in GROWTH for e in engines]
        if "tarnkv" in engines and len(engines) > 1:
            for k, _, pk in GROWTH:
                mine = per_key_ns(r, "tarnkv", k, pk)
                for e in engines:
                    if e != "tarnkv":
                        q = ratio(mine, per_key_ns(r, e, k, pk))
                        cells.append(fmt(q) + "x" if q is not None else "n/a")
        out.append(f"| {r['n']:,} | " + " | ".join(cells) + " |")
    out.append("")
    return "\n".join(out)


def growth_chart(runs, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    runs = sorted(runs, key=lambda r: r["n"])
    fig, axes = plt.subplots(1, len(GROWTH), figsize=(4.2 * len(GROWTH), 4.2), squeeze=False)
    for ax, (key, label, pk) in zip(axes[0], GROWTH):
        for e in GROWTH_ENGINES:
            pts = [(r["n"], per_key_ns(r, e, key, pk)) for r in runs if e in r["engines"]]
            pts = [(n, v) for n, v in pts if v]
            if pts:
                name = runs[-1]["engines"].get(e, {}).get("label", e)
                ax.plot([n for n, _ in pts], [v for _, v in pts], marker="o", label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("keys (log)")
        ax.set_ylabel("ns per key (log)")
        ax.set_title(label)
        ax.grid(which="both", alpha=0.3)
        ax.legend(fontsize="small")
    m = runs[-1]["machine"]
    fig.suptitle(f"Cost per key against N — {m['cpu']}, {m['cores']} cores, Python {m['python']}")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
