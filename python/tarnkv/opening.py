"""Opening what a path names: a store file, or a store set's directory."""

from __future__ import annotations

import os

from tarnkv.mapping import StrPath
from tarnkv.reader import TarnReader
from tarnkv.sets.reader import SetReader

__all__ = ["open"]


def open(path: StrPath, *, verify: bool = True, check_reads: bool = True,
         codec: object = "msgpack") -> TarnReader | SetReader:
    """Opens the store file at *path* for reading, the same as :class:`TarnReader`\\ ``(...)``;
    or, when *path* is the directory of a store set, the set as a :class:`~tarnkv.sets.SetReader`
    (the same reading API over all its shards)."""
    if os.path.isdir(path):
        # A set, or (without a manifest) IsADirectoryError saying it is not one.
        return SetReader(path, verify=verify, check_reads=check_reads, codec=codec)
    return TarnReader(path, verify=verify, check_reads=check_reads, codec=codec)
