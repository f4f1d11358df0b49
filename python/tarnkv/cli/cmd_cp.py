"""``tarnkv cp``: install a store where readers may have the old one open."""

from __future__ import annotations

import argparse
import os

from tarnkv.cli import stores
from tarnkv.cli.errors import CliError
from tarnkv.cli.install import install, install_set
from tarnkv.cli.progress import Progress, wanted


def run(args: argparse.Namespace) -> int:
    if os.path.isdir(args.src):
        return _copy_set(args)
    with Progress(wanted(args.quiet)) as progress:
        copying = progress.bar(f"copying {args.src}", _size(args.src))

        def check(tmp: str) -> None:
            # Errors name the source: the temporary copy is an implementation detail.
            reader = stores.open_store(tmp, check_reads=False, name=args.src)
            bar = progress.bar(f"verifying {args.src}", _size(tmp))
            try:
                stores.verify(reader, args.src, progress.callback(bar))
            except CliError as exc:
                raise CliError(f"{exc.message}; {args.dst} left as it was", exc.status) from None
            finally:
                reader.close()
                progress.done(bar)

        install(args.src, args.dst, check=check if args.verify else None,
                progress=progress.callback(copying))
    return 0


def _size(path: str) -> int | None:
    try:
        return os.path.getsize(path)
    except OSError:
        return None


def _copy_set(args: argparse.Namespace) -> int:
    """A whole set: every shard installed under its name, then the manifest, last."""
    from tarnkv.sets import manifest as mf

    with Progress(wanted(args.quiet)) as progress:
        copying = progress.bar(f"copying {args.src}", None)

        def check(tmp: str, shard: int) -> None:
            entry = mf.read(args.src).shards[shard]
            name = os.path.join(args.src, entry.file)
            reader = stores.open_store(tmp, check_reads=False, name=name)
            try:
                stores.verify(reader, name)
                st = reader.stats()
                if (st["file_crc32"], st["num_keys"], st["num_objects"]) != \
                        (entry.file_crc32, entry.num_keys, entry.num_objects):
                    raise CliError(f"{name}: does not match {args.src}'s manifest", 1)
            except CliError as exc:
                raise CliError(f"{exc.message}; {args.dst} left as it was", exc.status) from None
            finally:
                reader.close()

        install_set(args.src, args.dst, check=check if args.verify else None,
                    progress=progress.callback(copying))
    return 0
