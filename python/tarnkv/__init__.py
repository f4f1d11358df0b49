"""Immutable single-file key → object stores (``.trnk`` files).

Write a store once, then open it anywhere and read it as a mapping::

    import tarnkv

    with tarnkv.TarnWriter.create("users.trnk") as w:
        w.put("user:1", {"name": "Ada", "langs": ["en", "fr"]}, "email:ada@example.org")

    with tarnkv.open("users.trnk") as r:
        r["user:1"]["name"]                      # 'Ada'
        r["email:ada@example.org"] == r["user:1"]  # True: two keys, one object
        list(r.prefix("user:"))                  # [('user:1', {...})]

:class:`TarnWriter` collects objects and keys and builds the file atomically;
:class:`TarnReader` (also :func:`open`) maps it and serves lookups, batches, prefix scans and
lazy iteration. Objects are MessagePack by default (see :mod:`tarnkv.codec`); failures are
:class:`TarnError` subclasses (see :mod:`tarnkv.errors`).
"""

# The low-level module first: in an interpreter that cannot load the extensions, the error
# names it.
from tarnkv._tarnkv import __version__

from tarnkv import errors
from tarnkv._native import key_hash
from tarnkv.codec import Codec
from tarnkv.errors import (
    CorruptStoreError,
    DuplicateKeyError,
    KeyTooLongError,
    LimitError,
    ObjectTooLargeError,
    StoreFullError,
    StoreIOError,
    TarnError,
    UnreferencedObjectWarning,
    UnsupportedVersionError,
)
from tarnkv.reader import StoreStats, TarnReader
from tarnkv.writer import BuildResult, TarnWriter
from tarnkv.sets import SetReader
from tarnkv.opening import open

__all__ = [
    "TarnReader",
    "SetReader",
    "TarnWriter",
    "open",
    "BuildResult",
    "StoreStats",
    "Codec",
    "key_hash",
    "TarnError",
    "CorruptStoreError",
    "UnsupportedVersionError",
    "StoreIOError",
    "DuplicateKeyError",
    "LimitError",
    "KeyTooLongError",
    "ObjectTooLargeError",
    "StoreFullError",
    "UnreferencedObjectWarning",
    "errors",
    "__version__",
]
