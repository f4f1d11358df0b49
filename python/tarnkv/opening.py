"""Opening what a path names: a store file, or a store set's directory; or either at a URL."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from tarnkv.mapping import StrPath
from tarnkv.reader import TarnReader
from tarnkv.remote import is_url
from tarnkv.sets.reader import SetReader

if TYPE_CHECKING:
    from tarnkv.remote.reader import RemoteReader
    from tarnkv.remote.setreader import RemoteSetReader

__all__ = ["open"]


def open(path: StrPath, *, verify: bool | None = None, check_reads: bool = True, codec: object = "msgpack",
         storage_options: Mapping[str, Any] | None = None) -> TarnReader | SetReader | RemoteReader | RemoteSetReader:
    """Opens the store file at *path* for reading, the same as :class:`TarnReader`\\ ``(...)``;
    or, when *path* is the directory of a store set, the set as a :class:`~tarnkv.sets.SetReader`
    (the same reading API over all its shards).

    *path* may also be a URL: ``s3://bucket/key``, ``http://`` or ``https://`` (and other
    schemes fsspec has a working file system for), read with ranged requests as a
    :class:`~tarnkv.remote.RemoteReader` with *storage_options*; or ``simplecache::URL``, which
    downloads the store once into a local cache and maps the copy as a local store. A URL
    ending in ``.set`` (or ``/``) is a store set there, read as a
    :class:`~tarnkv.remote.setreader.RemoteSetReader`.
    *verify* (the whole-file check at open) defaults to true for local files and false for
    URLs, where it would download the whole store."""
    if isinstance(path, str) and path.startswith("simplecache::"):
        from tarnkv.remote.cache import PREFIX, cached_copy

        local = cached_copy(path[len(PREFIX):], storage_options)
        return TarnReader(local, verify=bool(verify), check_reads=check_reads, codec=codec)
    if is_url(path):
        url = os.fsdecode(path)
        if url.endswith((".set", ".set/", "/")):
            from tarnkv.remote.setreader import RemoteSetReader

            return RemoteSetReader(url, storage_options=storage_options, verify=bool(verify),
                                   check_reads=check_reads, codec=codec)
        from tarnkv.remote.reader import RemoteReader

        return RemoteReader(url, storage_options=storage_options, verify=bool(verify), check_reads=check_reads,
                            codec=codec)
    if storage_options:
        raise TypeError("storage_options apply to URLs only")
    verify = True if verify is None else verify
    if os.path.isdir(path):
        # A set, or (without a manifest) IsADirectoryError saying it is not one.
        return SetReader(path, verify=verify, check_reads=check_reads, codec=codec)
    return TarnReader(path, verify=verify, check_reads=check_reads, codec=codec)
