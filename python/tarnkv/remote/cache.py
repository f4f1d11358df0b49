"""Opening a remote store through a local copy: ``simplecache::URL`` (fsspec's convention).

The first open downloads the whole store into the cache directory, checks it, and maps it as
a local store; later opens of the same version map the cached file without a download. The
cached file's name holds a hash of the URL and of the object's version, so a store replaced
on the server is downloaded again, never mixed with the old copy."""

from __future__ import annotations

import hashlib
import os
import tempfile
from collections.abc import Mapping
from typing import Any

from tarnkv.remote.reader import download_source
from tarnkv.remote.sources import pinned

__all__ = ["PREFIX", "cached_copy", "default_cache_dir"]

PREFIX = "simplecache::"


def default_cache_dir() -> str:
    """Where copies go when ``cache_storage`` is not given: ``tarnkv-cache`` in the system's
    temporary directory."""
    return os.path.join(tempfile.gettempdir(), "tarnkv-cache")


def cached_copy(url: str, storage_options: Mapping[str, Any] | None = None) -> str:
    """The local path of a checked copy of the store at *url* (without the prefix).

    *storage_options* may hold ``simplecache`` (a dict with ``cache_storage``, the cache
    directory) and the URL's scheme (a dict of the options for the URL itself), as fsspec
    takes them for chained URLs; any other keys are the URL's options."""
    opts = dict(storage_options or {})
    cache_opts = dict(opts.pop("simplecache", None) or {})
    scheme = url.partition("://")[0].lower()
    inner = opts.pop(scheme, None)
    if inner is not None:
        opts = {**opts, **inner}
    directory = os.fspath(cache_opts.pop("cache_storage", None) or default_cache_dir())
    if cache_opts:
        raise TypeError(f"unknown simplecache option(s): {', '.join(sorted(cache_opts))}")
    source = pinned(url, opts)  # its version names the copy
    digest = hashlib.sha256(f"{url}\0{source.version}".encode()).hexdigest()[:40]
    path = os.path.join(directory, f"{digest}.trnk")
    if not os.path.exists(path):
        os.makedirs(directory, exist_ok=True)
        download_source(source, path, verify=True)
    return path
