"""``tarnkv merge``: stores and sets into one store or one set."""

from __future__ import annotations

import argparse
import os
import time

from tarnkv.cli import interrupts
from tarnkv.cli.cmd_build import _size_text
from tarnkv.cli.errors import CliError, os_error_text
from tarnkv.cli.output import refuse_overwriting
from tarnkv.cli.progress import Progress, wanted
from tarnkv.cli.stores import translate
from tarnkv.errors import TarnError


def run(args: argparse.Namespace) -> int:
    from tarnkv.sets import merge
    from tarnkv.sets.manifest import MANIFEST

    started = time.perf_counter()
    out = args.output
    for path in args.inputs:
        if not os.path.exists(path):
            raise CliError(f"{path}: No such file or directory")
    if args.shards is None:
        # Into one of its input stores is fine (every input is read before the output is
        # written); into a file of an input set is not.
        refuse_overwriting(out, args.inputs, may_be_input=True)
    # The merge publishes by renaming the store, or the set's manifest, into place.
    interrupts.published_when(interrupts.changed(out if args.shards is None else os.path.join(out, MANIFEST)))
    with Progress(wanted(args.quiet)) as progress:
        bar = progress.bar(f"merging into {out}", None)
        try:
            result = merge(args.inputs, out, shards=args.shards, progress=progress.callback(bar))
        except OSError as exc:
            if exc.filename is None or not isinstance(exc, TarnError):
                raise CliError(os_error_text(exc, out)) from None
            raise translate(exc, None) from None
        except TarnError as exc:
            raise translate(exc, None) from None
    if not args.quiet:
        seconds = time.perf_counter() - started
        shards = f"{result.shard_count} shards, " if result.shard_count is not None else ""
        print(f"{out}: {result.num_keys:,} keys, {result.num_objects:,} objects, {shards}"
              f"{_size_text(result.file_size)}, {seconds:.2f} s", flush=True)
    return 0
