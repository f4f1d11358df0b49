"""Build a store from the Unicode character database that ships with Python, then open,
verify, inspect and query it, printing timings.

Every named code point gets its name as a key (for example "LATIN SMALL LETTER E WITH ACUTE")
and an alias key "U+00E9" for the same object, a MessagePack record of its code point,
general category and decomposition.
"""

from __future__ import annotations

import os
import random
import sys
import tempfile
import time
import unicodedata

import msgpack

from tarnkv import _tarnkv


def records():
    for cp in range(sys.maxunicode + 1):
        ch = chr(cp)
        name = unicodedata.name(ch, None)
        if name is None:
            continue
        record = {
            "cp": cp,
            "category": unicodedata.category(ch),
            "decomposition": unicodedata.decomposition(ch),
        }
        yield name, f"U+{cp:04X}", msgpack.packb(record)


def timed(label, fn, per=None):
    t0 = time.perf_counter()
    result = fn()
    dt = time.perf_counter() - t0
    extra = f"  ({dt / per * 1e9:.0f} ns each)" if per else ""
    print(f"  {label:<34} {dt * 1e3:9.2f} ms{extra}")
    return result


def main() -> int:
    out_dir = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="tarnkv-demo-")
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "unicode.trnk")
    print(f"Unicode {unicodedata.unidata_version} character database -> {path}\n")

    rows = list(records())
    names = [name for name, _, _ in rows]

    def build():
        w = _tarnkv._TarnWriter()
        for name, alias, obj in rows:
            oid = w.add_object_raw(obj)
            w.add_key(name, oid)
            w.add_key(alias, oid)
        print("  ", end="", flush=True)
        w.build(path)
        return w

    print("timings:")
    writer = timed(f"build ({len(rows)} objects)", build)
    timed("open, verify=True", lambda: _tarnkv._TarnReader(path))
    reader = timed("open, verify=False", lambda: _tarnkv._TarnReader(path, verify=False))
    timed("verify() (whole file + objects)", reader.verify)
    probe = names[:]
    random.Random(7).shuffle(probe)
    get = reader.get_raw
    timed(f"get_raw x {len(probe)} (shuffled)", lambda: [get(k) for k in probe], per=len(probe))
    timed("keys()", reader.keys)
    timed("items_raw()", reader.items_raw)

    print(f"\n{writer!r}\n{reader!r}\n\nstats():")
    for key, value in reader.stats().items():
        print(f"  {key:<13} {value!r}")

    print("\nlookups:")
    for key in ["LATIN SMALL LETTER E WITH ACUTE", "U+1F600", "SNOWMAN", "GREEK SMALL LETTER LAMDA",
                "NO SUCH CHARACTER"]:
        raw = reader.get_raw(key)
        shown = msgpack.unpackb(raw) if raw is not None else None
        print(f"  {key!r:<36} -> {shown}")
    print(f"  exists('U+0041') = {reader.exists('U+0041')}, exists(b'U+D800') = {reader.exists(b'U+D800')}")

    prefix = "LATIN SMALL LETTER A WITH"
    hits = reader.prefix_raw(prefix)
    print(f"\nprefix_raw({prefix!r}): {len(hits)} keys")
    for key, raw in hits[:8]:
        rec = msgpack.unpackb(raw)
        print(f"  {chr(rec['cp'])}  U+{rec['cp']:04X}  {key}  [{rec['decomposition']}]")
    if len(hits) > 8:
        print(f"  ... and {len(hits) - 8} more")
    assert reader.verify() is True
    return 0


if __name__ == "__main__":
    sys.exit(main())
