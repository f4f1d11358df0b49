"""Opening, building and checking stores: the one place the commands meet the package API."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import tarnkv
from tarnkv.cli.errors import FAIL, NO, CliError, os_error_text

Progress = Callable[[int, int], None] | None


def translate(exc: BaseException, path: str) -> CliError:
    """The command-line form of an error the package raised about the store at ``path``."""
    text = str(exc)
    if path not in text:
        text = f"{path}: {text}"
    if isinstance(exc, tarnkv.CorruptStoreError):
        return CliError(text if "corrupt" in text.lower() else f"{text} (corrupt store)", NO)
    if isinstance(exc, OSError):
        return CliError(os_error_text(exc) if exc.filename else text, FAIL)
    return CliError(text, FAIL)


class StoreErrors:
    """``with StoreErrors(path):`` turns the package's errors into command-line errors."""

    def __init__(self, path: str) -> None:
        self.path = path

    def __enter__(self) -> None:
        return None

    def __exit__(self, et: Any, ev: BaseException | None, tb: Any) -> None:
        # Only the package's own errors: an OSError from writing the output (a closed pipe,
        # a full disk) is not about the store.
        if isinstance(ev, tarnkv.TarnError):
            raise translate(ev, self.path) from None


def open_store(path: str, *, check_reads: bool = True) -> Any:
    """A reader for ``path``. The whole-file checksum is left to ``verify``: the commands that
    read objects check each one's own checksum as they go."""
    with StoreErrors(path):
        return tarnkv.open(path, verify=False, check_reads=check_reads)


def verify(reader: Any, path: str, progress: Progress = None) -> None:
    with StoreErrors(path):
        reader.verify(progress=progress)


def new_writer(on_duplicate: str) -> Any:
    """A writer of objects the caller has already encoded as MessagePack."""
    return tarnkv.TarnWriter(codec=None, on_duplicate=on_duplicate)


def build(writer: Any, path: str, progress: Progress = None) -> Any:
    with StoreErrors(path):
        return writer.build(path, progress=progress)


def raw_items(reader: Any, prefix: bytes = b"") -> Iterator[tuple[bytes, bytes]]:
    """Every (key bytes, object bytes) pair in key order, or those under ``prefix``, lazily."""
    if prefix:
        return reader.prefix_raw(prefix, raw_keys=True)
    return reader.items_raw(raw_keys=True)


def raw_keys(reader: Any, prefix: bytes = b"") -> Iterator[bytes]:
    """Every key's exact bytes in key order, or those under ``prefix``, lazily."""
    if prefix:
        return (k for k, _ in reader.prefix_raw(prefix, raw_keys=True))
    return reader.keys(raw=True)


def object_sizes(reader: Any) -> list[int]:
    """The size of each distinct object that a key names."""
    return [len(o) for o in reader.objects_raw()]


def decode(raw: bytes) -> Any:
    return _unpackb(raw, raw=False, strict_map_key=False)


from msgpack import unpackb as _unpackb  # noqa: E402
