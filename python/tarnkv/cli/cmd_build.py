"""``tarnkv build``: stream records from data files into a new store."""

from __future__ import annotations

import argparse
import os
import time

import tarnkv
from tarnkv.cli import stores
from tarnkv.cli.errors import CliError
from tarnkv.cli.inputs import open_source
from tarnkv.cli.loader import Loader, WriterSink, check_fields
from tarnkv.cli.output import refuse_overwriting, size_text
from tarnkv.cli.progress import Progress, wanted
from tarnkv.cli.records import open_reader
from tarnkv.records import RecordRoles
from tarnkv.remote import is_url


def _check_output(out: str) -> None:
    if is_url(out):
        stores.check_url_output(out)
        return
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory")
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        raise CliError(f"{directory}: no such directory")


def run(args: argparse.Namespace) -> int:
    if args.shards is not None:
        from tarnkv.cli import cmd_build_set

        return cmd_build_set.run(args)
    if args.workers is not None or args.scheduler is not None:
        raise CliError("--workers and --scheduler run a set build: give --shards N too")
    started = time.perf_counter()
    out = args.output
    if args.inputs.count("-") > 1:
        raise CliError('standard input ("-") can be read only once')
    _check_output(out)
    if not is_url(out):
        refuse_overwriting(out, args.inputs)
    roles = RecordRoles(args.key, tuple(args.alias), args.value, json_values=args.json_values, big_ints=args.big_ints)
    # Past the limit the build spills sorted runs beside the output (or in the temporary
    # directory, for a URL).
    limit = args.memory_limit if args.memory_limit is not None else stores.default_memory_limit()
    spill_dir = None if is_url(out) else os.path.dirname(out) or "."
    writer = stores.new_writer(args.on_duplicate, args.compress, limit, spill_dir)
    loader = Loader(WriterSink(writer), roles)
    with Progress(wanted(args.quiet)) as progress:
        for path in args.inputs:
            source = open_source(path, args.format)
            try:
                reader = open_reader(source, roles.columns())
                check_fields(reader, roles)
                bar = progress.bar(f"reading {source.name}", source.size, records=True)
                loader.load(reader, bar)
                progress.done(bar)
            finally:
                source.close()
        bar = progress.bar(f"writing {out}", None)
        try:
            result = stores.build(writer, out, progress.callback(bar))
        except tarnkv.DuplicateKeyError as exc:  # keys given again after a spill
            raise loader.duplicate(exc) from None
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"{out}: {loader.records:,} records, {result.num_keys:,} keys, "
              f"{result.num_objects:,} objects, {size_text(result.file_size)}, {seconds:.2f} s",
              flush=True)
        if args.on_duplicate != "error":
            print(_duplicates_text(out, args.on_duplicate, writer.repeated_keys,
                                   loader.records - writer.num_objects, result.dropped_objects), flush=True)
    return 0


def _count(n: int, what: str) -> str:
    return f"{n:,} {what}" if n == 1 else f"{n:,} {what}s"


def _duplicates_text(out: str, policy: str, repeated: int, idle_records: int, dropped: int) -> str:
    """What --on-duplicate first or last did: keys given again, and what they cost."""
    if policy == "first":
        return (f"{out}: --on-duplicate first: {_count(repeated, 'key')} given again kept the first "
                f"record's object; {_count(idle_records, 'record')} stored nothing (every key taken)")
    return (f"{out}: --on-duplicate last: {_count(repeated, 'key')} re-pointed to a later record; "
            f"{_count(dropped, 'earlier object')} dropped (no key left)")
