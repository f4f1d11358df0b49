"""The exceptions of :mod:`tarnkv`.

Every failure that comes from a store is a :class:`TarnError`, so one ``except`` clause catches
them all; each is also an instance of the built-in class that describes it best, so code that
does not know this package still catches it (``OSError``, ``KeyError``, ``ValueError``).

================================ =========================================================
class                            raised when
================================ =========================================================
:class:`TarnError`               base class of everything below
:class:`CorruptStoreError`       the file is not a well-formed store, or an object's bytes
                                 do not match their CRC-32
:class:`UnsupportedVersionError` the file is a store of another format version
:class:`StoreChangedError`       a store read from a URL was replaced on its server after
                                 it was opened (a :class:`CorruptStoreError` too)
:class:`StoreIOError`            the operating system refused an operation on a file; it is
                                 an ``OSError`` with ``errno``, ``strerror`` and ``filename``,
                                 and also the matching subclass (``FileNotFoundError``, ...)
:class:`DuplicateKeyError`       a writer was given a key it already has (``KeyError`` too)
:class:`LimitError`              a key, an object or a count beyond what the format holds
                                 (``ValueError`` too): :class:`KeyTooLongError`,
                                 :class:`ObjectTooLargeError`, :class:`StoreFullError`
================================ =========================================================
"""

from __future__ import annotations

import errno as _errno
import os
from typing import Final

__all__ = [
    "TarnError",
    "CorruptStoreError",
    "UnsupportedVersionError",
    "StoreChangedError",
    "StoreIOError",
    "DuplicateKeyError",
    "LimitError",
    "KeyTooLongError",
    "ObjectTooLargeError",
    "StoreFullError",
    "UnreferencedObjectWarning",
    "io_error",
]

#: The format's limits: the longest key, the largest object, the most keys (or objects).
MAX_KEY_BYTES: Final = 0xFFFF
MAX_OBJECT_BYTES: Final = 0xFFFF_FFFF
MAX_ENTRIES: Final = 0xFFFF_FFFF


class TarnError(Exception):
    """Base class of every error this package raises about a store.

    ``detail`` is what went wrong without the store's name, which the message ends with
    (``"... in store 'x.trnk'"``), for callers that name the store their own way; None when the
    message names no store.
    """

    detail: str | None = None


class CorruptStoreError(TarnError):
    """The file is not a well-formed store file, or a checksum does not match.

    ``path`` is the store's path; ``key`` and ``offset`` name the key that was read and the
    file offset of its object's record when the failure concerns one object (else ``None``).
    """

    def __init__(self, message: str, path: str | bytes | None = None, key: str | bytes | None = None,
                 offset: int | None = None) -> None:
        super().__init__(message)
        self.path = path
        self.key = key
        self.offset = offset


class UnsupportedVersionError(CorruptStoreError):
    """The file is a store of a format version this package cannot read (``version``)."""

    def __init__(self, message: str, path: str | bytes | None = None, version: int | None = None) -> None:
        super().__init__(message, path)
        self.version = version


class StoreChangedError(CorruptStoreError):
    """A store read from a URL (``path``) is no longer the version the reader opened: it was
    replaced or removed on the server. Nothing of the new version was mixed into what was
    read; open the URL again to read the new version."""


class StoreIOError(TarnError, OSError):
    """The operating system refused an operation on a store file.

    An ``OSError`` with ``errno``, ``strerror`` and ``filename`` set (``filename2`` too for a
    rename); when the error number has a built-in subclass, the exception is also an instance
    of it, so ``except FileNotFoundError`` works as with ``open()``. ``busy`` is true when the
    file is locked by another live build writing it (``errno`` EWOULDBLOCK): worth trying
    again later.
    """

    busy: bool = False


def _io_subclass(base: type[OSError]) -> type[StoreIOError]:
    name = "Store" + base.__name__
    cls = type(name, (StoreIOError, base), {
        "__doc__": f"A :class:`StoreIOError` that is also a :class:`{base.__name__}`.",
        "__module__": __name__,
    })
    return cls


StoreFileNotFoundError: Final = _io_subclass(FileNotFoundError)
StoreFileExistsError: Final = _io_subclass(FileExistsError)
StorePermissionError: Final = _io_subclass(PermissionError)
StoreIsADirectoryError: Final = _io_subclass(IsADirectoryError)
StoreNotADirectoryError: Final = _io_subclass(NotADirectoryError)
StoreInterruptedError: Final = _io_subclass(InterruptedError)
StoreBlockingIOError: Final = _io_subclass(BlockingIOError)
StoreTimeoutError: Final = _io_subclass(TimeoutError)

_IO_CLASSES: dict[int, type[StoreIOError]] = {
    _errno.ENOENT: StoreFileNotFoundError,
    _errno.EEXIST: StoreFileExistsError,
    _errno.EACCES: StorePermissionError,
    _errno.EPERM: StorePermissionError,
    _errno.EISDIR: StoreIsADirectoryError,
    _errno.ENOTDIR: StoreNotADirectoryError,
    _errno.EINTR: StoreInterruptedError,
    _errno.EAGAIN: StoreBlockingIOError,
    _errno.ETIMEDOUT: StoreTimeoutError,
}


class DuplicateKeyError(TarnError, KeyError):
    """A writer with ``on_duplicate="error"`` was given a key it already maps.

    ``key`` is the key, ``existing_id`` the object it maps to and ``new_id`` the object it was
    to map to. The writer is left as it was before the call.
    """

    def __init__(self, message: str, key: str | bytes, existing_id: int, new_id: int) -> None:
        super().__init__(message)
        self.key = key
        self.existing_id = existing_id
        self.new_id = new_id

    def __str__(self) -> str:  # KeyError would show the message's repr
        return str(self.args[0])


class LimitError(TarnError, ValueError):
    """A key, object or count beyond what the store format can hold."""


class KeyTooLongError(LimitError):
    """A key longer than 65,535 bytes (its UTF-8 form, for a ``str``)."""


class ObjectTooLargeError(LimitError):
    """An encoded object of 4 GiB or more."""


class StoreFullError(LimitError):
    """A writer already holds 4,294,967,295 keys or objects."""


class UnreferencedObjectWarning(UserWarning):
    """``build()`` left out objects that were added with ``add()`` but never given a key."""


def _clip(value: object, limit: int = 80) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


_NOT_A_STORE: Final = "not a tarnkv store"


def _foreign(message: str) -> str:
    """The core's report of a file that does not begin as a store, in words: "bad magic [84,
    69, 88, 84]" names the first four bytes as numbers."""
    if message.startswith("bad magic [") and message.endswith("]"):
        try:
            head = bytes(int(b) for b in message[len("bad magic ["):-1].split(","))
        except ValueError:
            return message
        return f"{_NOT_A_STORE} (it begins with {head!r}, where a store begins with b'TRNK')"
    if message == "file too small for header":
        return f"{_NOT_A_STORE}, or a truncated one (shorter than a store's 40-byte header)"
    return message


def io_error(os_errno: int, path: str | bytes | None, strerror: str | None = None,
             filename2: str | bytes | None = None) -> StoreIOError:
    """The :class:`StoreIOError` of an operation on *path* that failed with *os_errno*: an
    instance of the matching built-in subclass (``FileNotFoundError`` for ENOENT, ...), whose
    ``strerror`` is *strerror* or the system's text for the number."""
    cls = _IO_CLASSES.get(os_errno, StoreIOError)
    text = os.strerror(os_errno) if strerror is None else strerror
    if filename2 is not None:
        return cls(os_errno, text, path, None, filename2)
    return cls(os_errno, text, path)


# --- Called by the native module, which passes what the core reported -----------------------


def _from_core(kind: str, message: str, os_errno: int, path: str | bytes | None,
               key: object = None, offset: int | None = None, filename2: str | bytes | None = None,
               version: int = 0, busy: bool = False) -> BaseException:
    """The exception for a failure of the store core.

    kind: "corrupt", "version", "io" or "general"; message: the core's text without its kind;
    os_errno: the system error number of an I/O failure (0 when there is none); busy: the
    file is locked by another live build.
    """
    if kind == "io":
        if os_errno == _errno.ENODEV and path is not None and os.path.isdir(path):
            os_errno = _errno.EISDIR  # a directory opens, and only its mapping fails
        strerror: str | None = None
        if busy:
            strerror = "another build is writing this file"  # its lock is taken: try again later
        elif not os_errno:
            strerror = message
            os_errno = _errno.EIO
        made = io_error(os_errno, path, strerror, filename2)
        made.busy = bool(busy)
        return made
    where = f" in store {_clip(path)}" if path is not None else ""
    exc: TarnError
    if kind == "version":
        detail = f"unsupported store format version {version}"
        exc = UnsupportedVersionError(f"{detail}{where}", path, version)
    elif kind == "corrupt":
        about = f" (key {_clip(key)})" if key is not None else ""
        detail = f"{_foreign(message)}{about}"
        exc = CorruptStoreError(f"{detail}{where}", path, key if isinstance(key, (str, bytes)) else None, offset)
    else:
        detail = message
        exc = TarnError(f"{detail}{where}")
    if where:
        exc.detail = detail
    return exc
