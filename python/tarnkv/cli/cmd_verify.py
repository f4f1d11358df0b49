"""``tarnkv verify``: the deep check of one or more stores."""

from __future__ import annotations

import argparse
import os
import sys

from tarnkv.cli import stores
from tarnkv.cli.errors import CliError
from tarnkv.cli.progress import Progress, wanted


def run(args: argparse.Namespace) -> int:
    status = 0
    with Progress(wanted(args.quiet)) as progress:
        for path in args.stores:
            try:
                reader = stores.open_store(path, check_reads=False)
                bar = progress.bar(f"verifying {path}", _size(path))
                stores.verify(reader, path, progress.callback(bar))
                progress.done(bar)
                info = reader.stats()
                reader.close()
            except CliError as exc:
                sys.stderr.write(f"tarnkv: {exc.message}\n")
                status = max(status, exc.status)
                continue
            if not args.quiet:
                if "shards" in info:
                    what = f"store set of {info['shard_count']:,} shards, every key in its shard"
                else:
                    what = f"CRC-32 {info['file_crc32']}"
                sys.stdout.write(f"{path}: ok ({info['num_keys']:,} keys, "
                                 f"{info['num_objects']:,} objects, {what})\n")
                sys.stdout.flush()
    return status


def _size(path: str) -> int | None:
    try:
        if os.path.isdir(path):
            return None  # a set: its total is its own to tell
        return os.path.getsize(path)
    except OSError:
        return None
