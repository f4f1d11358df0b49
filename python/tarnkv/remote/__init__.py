"""Stores that live behind a URL: object storage (``s3://bucket/key``) and web servers
(``http://``, ``https://``)."""

from __future__ import annotations

import os
from urllib.parse import urlsplit

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tarnkv.remote.reader import RemoteReader

__all__ = ["is_url", "split_s3", "RemoteReader"]


def __getattr__(name: str) -> Any:
    # The reader's module imports the client libraries' glue: only when asked for.
    if name == "RemoteReader":
        from tarnkv.remote.reader import RemoteReader

        return RemoteReader
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

#: The schemes the package reaches itself; others go through fsspec when it knows them.
NATIVE_SCHEMES = ("s3", "http", "https")


def is_url(location: object) -> bool:
    """Whether *location* is a URL (``scheme://...``) rather than a local path."""
    if isinstance(location, os.PathLike):
        location = os.fspath(location)
    if isinstance(location, bytes):
        return False
    if not isinstance(location, str):
        return False
    scheme, sep, _ = location.partition("://")
    return bool(sep) and scheme.replace("+", "").replace("-", "").replace(":", "").isalnum()


def split_s3(url: str) -> tuple[str, str]:
    """``s3://bucket/some/key`` -> ``("bucket", "some/key")``; ValueError for anything else."""
    parts = urlsplit(url)
    if parts.scheme != "s3" or not parts.netloc:
        raise ValueError(f"not an S3 URL (s3://bucket/key): {url!r}")
    return parts.netloc, parts.path.lstrip("/")
