"""``tarnkv cp``: install a store where readers may have the old one open."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, BinaryIO, cast

from tarnkv.cli import stores
from tarnkv.cli.errors import NO, CliError
from tarnkv.cli.install import install, install_fetched, install_set, upload, upload_set
from tarnkv.cli.progress import Progress, wanted
from tarnkv.remote import is_url

if TYPE_CHECKING:
    from tarnkv.sets.manifest import ShardEntry


def run(args: argparse.Namespace) -> int:
    if is_url(args.dst):
        return _upload(args)
    if is_url(args.src):
        return _download(args)
    if os.path.isdir(args.src):
        return _copy_set(args)
    with Progress(wanted(args.quiet)) as progress:
        copying = progress.bar(f"copying {args.src}", _size(args.src))

        install(args.src, args.dst, check=_checker(args, progress), allow_empty=args.allow_empty,
                progress=progress.callback(copying))
    return 0


def _upload(args: argparse.Namespace) -> int:
    """A local store published as an object (a set: each shard, then the manifest)."""
    if is_url(args.src):
        raise CliError(f"{args.src}: copy from a URL to a local file, or from a local file to a URL")
    if os.path.isdir(args.src):
        return _upload_set(args)
    with Progress(wanted(args.quiet)) as progress:
        check = _checker(args, progress)
        uploading = progress.bar(f"uploading {args.src}", _size(args.src))
        upload(args.src, args.dst, check=check, allow_empty=args.allow_empty, progress=progress.callback(uploading))
    return 0


def _upload_set(args: argparse.Namespace) -> int:
    with Progress(wanted(args.quiet)) as progress:
        uploading = progress.bar(f"uploading {args.src}", None)

        def check(path: str, entry: ShardEntry) -> None:
            _check_copy(path, path, args.dst, _against_manifest(args, path, entry))

        upload_set(args.src, args.dst, check=check, allow_empty=args.allow_empty,
                   progress=progress.callback(uploading))
    return 0


def _against_manifest(args: argparse.Namespace, name: str, entry: ShardEntry) -> Callable[[Any], None]:
    """The check of a copied shard: it is the store the set's manifest describes (and sound in
    depth with --verify)."""
    def check(reader: Any) -> None:
        st = reader.stats()
        if (st["file_crc32"], st["num_keys"], st["num_objects"]) != \
                (entry.file_crc32, entry.num_keys, entry.num_objects):
            raise CliError(f"{name}: does not match {args.src}'s manifest", NO)
        if args.verify:
            stores.verify(reader, name)

    return check


def _checker(args: argparse.Namespace, progress: Progress) -> Callable[[str], int]:
    """The check of a copy of one store (at the path it is given) before it is installed:
    whole, and with ``--verify`` verified in depth under a progress bar. Errors name the
    source: a temporary copy is an implementation detail."""
    def check(path: str) -> int:
        def deep(reader: Any) -> None:
            bar = progress.bar(f"verifying {args.src}", _size(path))
            try:
                stores.verify(reader, args.src, progress.callback(bar))
            finally:
                progress.done(bar)

        return _check_copy(path, args.src, args.dst, deep if args.verify else None)

    return check


def _check_copy(tmp: str, name: str, dst: str, deep: Callable[[Any], None] | None) -> int:
    """Checks the complete copy ``tmp`` of the store ``name``: always that it is whole, and in
    depth with ``deep(reader)``. Returns its number of keys."""
    try:
        reader = stores.open_store(tmp, check_reads=False, name=name)
        try:
            keys = stores.check_complete(reader, name)
            if deep is not None:
                deep(reader)
            return keys
        finally:
            reader.close()
    except CliError as exc:
        raise CliError(f"{exc.message}; {dst} left as it was", exc.status) from None


def _size(path: str) -> int | None:
    try:
        return os.path.getsize(path)
    except OSError:
        return None


def _copy_set(args: argparse.Namespace) -> int:
    """A whole set: every shard installed under its name, then the manifest, last."""
    with Progress(wanted(args.quiet)) as progress:
        copying = progress.bar(f"copying {args.src}", None)

        def check(tmp: str, entry: ShardEntry) -> None:
            name = os.path.join(args.src, entry.file)
            _check_copy(tmp, name, args.dst, _against_manifest(args, name, entry))

        install_set(args.src, args.dst, check=check, allow_empty=args.allow_empty,
                    progress=progress.callback(copying))
    return 0


class _Noting:
    """A binary file whose writes are also told to ``wrote(n)``."""

    def __init__(self, out: BinaryIO, wrote: Callable[[int], None]) -> None:
        self._out = out
        self._wrote = wrote

    def write(self, data: bytes | memoryview) -> int:
        n = self._out.write(data)
        self._wrote(n)
        return n

    def tell(self) -> int:
        return self._out.tell()


def _download(args: argparse.Namespace) -> int:
    """A store at a URL: the version seen first is downloaded, checked and installed."""
    from tarnkv.remote.sources import pinned

    with stores.StoreErrors(args.src):
        source = pinned(args.src, stores.storage_options(args.src))

    def fill(fd: int, wrote: Callable[[int], None]) -> None:
        with open(fd, "wb", closefd=False) as out, stores.StoreErrors(args.src):
            source.download(cast(BinaryIO, _Noting(out, wrote)))

    with Progress(wanted(args.quiet)) as progress:
        install_fetched(args.src, args.dst, fill=fill, check=_checker(args, progress), allow_empty=args.allow_empty)
    return 0
