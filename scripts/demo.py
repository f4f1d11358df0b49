"""The command line on a real data set: the Unicode character database that ships with Python.

Writes every named code point and its properties as JSON Lines, builds a store from it with the
name as key and "U+XXXX" as alias, then runs stats, get, prefix, verify, dump | head and cp,
printing each command and what it prints.

    python3 scripts/demo.py [DIR]       (make demo: DIR is build/demo)
"""

from __future__ import annotations

import json
import os
import shlex
import stat
import subprocess
import sys
import tempfile
import unicodedata


def records():
    for cp in range(sys.maxunicode + 1):
        ch = chr(cp)
        name = unicodedata.name(ch, None)
        if name is None:
            continue
        yield {
            "name": name,
            "code": f"U+{cp:04X}",
            "char": ch if unicodedata.category(ch)[0] not in "CZ" else None,
            "category": unicodedata.category(ch),
            "bidi": unicodedata.bidirectional(ch),
            "combining": unicodedata.combining(ch),
            "decomposition": unicodedata.decomposition(ch) or None,
            "numeric": unicodedata.numeric(ch, None),
            "mirrored": bool(unicodedata.mirrored(ch)),
            "east_asian_width": unicodedata.east_asian_width(ch),
        }


def shell(command: str, cwd: str, env: dict[str, str]) -> None:
    print(f"$ {command}", flush=True)
    proc = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=cwd, env=env)
    if proc.returncode not in (0, 1):
        sys.exit(f"demo: {command!r} failed with status {proc.returncode}")
    print(flush=True)


def main() -> int:
    out_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="tarnkv-demo-"))
    os.makedirs(os.path.join(out_dir, "bin"), exist_ok=True)
    os.makedirs(os.path.join(out_dir, "srv"), exist_ok=True)
    # `tarnkv` on PATH as the console script would be. It goes through scripts/tarnkv, so the
    # one left in DIR/bin works afterwards too, on the host as well as in the toolchain root.
    wrapper = os.path.join(out_dir, "bin", "tarnkv")
    launcher = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tarnkv")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\nexec {shlex.quote(launcher)} \"$@\"\n")
    os.chmod(wrapper, os.stat(wrapper).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    env = {**os.environ, "PATH": f"{os.path.dirname(wrapper)}{os.pathsep}{os.environ.get('PATH', '')}",
           "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}

    count = 0
    with open(os.path.join(out_dir, "unicode.jsonl"), "w", encoding="utf-8") as f:
        for rec in records():
            f.write(json.dumps(rec, ensure_ascii=False) + "\n")
            count += 1
    print(f"Unicode {unicodedata.unidata_version}: {count:,} named code points written to "
          f"{out_dir}/unicode.jsonl\n", flush=True)

    for command in [
        "head -n 1 unicode.jsonl",
        "tarnkv build unicode.jsonl -o unicode.trnk --key name --alias code",
        "tarnkv stats unicode.trnk",
        'tarnkv get unicode.trnk SNOWMAN U+1F600 "LATIN SMALL LETTER E WITH ACUTE"',
        'tarnkv get unicode.trnk "NO SUCH CHARACTER"; echo "exit status $?"',
        'tarnkv prefix unicode.trnk "LATIN SMALL LETTER A WITH" --limit 3',
        'tarnkv keys unicode.trnk --prefix "GREEK SMALL LETTER" --limit 5',
        "tarnkv verify unicode.trnk",
        "tarnkv dump unicode.trnk | head -n 3",
        "tarnkv cp unicode.trnk srv/unicode.trnk --verify && ls -l srv",
        "tarnkv diff unicode.trnk srv/unicode.trnk && echo identical",
    ]:
        shell(command, out_dir, env)
    return 0


if __name__ == "__main__":
    sys.exit(main())
