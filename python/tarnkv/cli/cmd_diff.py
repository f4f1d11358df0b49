"""``tarnkv diff``: which keys two stores disagree on."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from itertools import islice
from typing import Any

from tarnkv.cli import jsonio, stores
from tarnkv.cli.errors import NO
from tarnkv.cli.output import stdout

LINES_PER_WRITE = 4096


def same(a: Any, b: Any) -> bool:
    """Equal as stored values: types must match (true is not 1), maps compare as maps."""
    if type(a) is not type(b):
        return False
    if type(a) is dict:
        return a.keys() == b.keys() and all(same(v, b[k]) for k, v in a.items())
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bool(a == b) or (a != a and b != b)  # NaN equals NaN here: it is the same value


def differences(a: Iterator[tuple[bytes, bytes]], b: Iterator[tuple[bytes, bytes]]
                ) -> Iterator[tuple[str, bytes]]:
    """("-", key) only in A, ("+", key) only in B, ("~", key) different objects; key order."""
    decode = stores.decode
    pa = next(a, None)
    pb = next(b, None)
    while pa is not None or pb is not None:
        if pb is None or (pa is not None and pa[0] < pb[0]):
            assert pa is not None
            yield "-", pa[0]
            pa = next(a, None)
        elif pa is None or pb[0] < pa[0]:
            yield "+", pb[0]
            pb = next(b, None)
        else:
            if pa[1] != pb[1] and not same(decode(pa[1]), decode(pb[1])):
                yield "~", pa[0]
            pa = next(a, None)
            pb = next(b, None)


def run(args: argparse.Namespace) -> int:
    ra = stores.open_store(args.a)
    rb = stores.open_store(args.b)
    counts = {"-": 0, "+": 0, "~": 0}
    out = stdout()
    # Compared as bytes: that is the stores' order (text with surrogate escapes sorts otherwise).
    kb = stores.key_bytes
    found = differences(((kb(k), v) for k, v in stores.raw_items(ra)),
                        ((kb(k), v) for k, v in stores.raw_items(rb)))
    # Errors while reading can come from either store: the error names its file.
    with stores.StoreErrors(None):
        while chunk := list(islice(found, LINES_PER_WRITE)):
            for sign, _ in chunk:
                counts[sign] += 1
            if not args.quiet:
                out.write(b"".join(sign.encode() + b" " + jsonio.dumps_key(k) + b"\n"
                                   for sign, k in chunk))
    if not any(counts.values()):
        return 0
    if not args.quiet:
        out.flush()
        sys.stderr.write(f"tarnkv: {args.a} and {args.b} differ: {counts['-']:,} keys only in "
                         f"{args.a}, {counts['+']:,} only in {args.b}, {counts['~']:,} with "
                         f"different objects\n")
    return NO
