"""Reading one store file: :class:`TarnReader`."""

from __future__ import annotations

from typing import Any, Self, TypedDict, cast

from tarnkv import _native
from tarnkv.codec import resolve
from tarnkv.mapping import KeyOrderedMapping, StrPath

__all__ = ["TarnReader", "StoreStats"]



class StoreStats(TypedDict):
    """What :meth:`TarnReader.stats` returns: the header's values and the file's size."""

    path: str | bytes
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size: int
    file_size_kb: float
    file_crc32: str


class TarnReader(_native.Reader, KeyOrderedMapping):
    """A store file opened for reading: an immutable mapping from keys to decoded objects.

    ``TarnReader(path, *, verify=True, check_reads=True, codec="msgpack")``

    - ``verify``: check the CRC-32 of the whole file while opening (one pass over it).
    - ``check_reads``: check each object's own CRC-32 whenever it is read, so that a damaged
      object raises :class:`~tarnkv.CorruptStoreError` instead of coming back wrong.
    - ``codec``: how objects are decoded; see :mod:`tarnkv.codec`.

    Keys are ``str`` or ``bytes`` (a ``str`` stands for its UTF-8 bytes, so ``"a"`` and
    ``b"a"`` are one key). Keys come back as ``str``; bytes that are not UTF-8 come back as
    surrogate escapes (as :func:`os.fsdecode` makes them), which find their key again;
    ``keys(raw=True)`` gives the exact bytes. Everything iterates lazily in key order
    (unsigned bytewise order of the keys' bytes).

    The reader is safe to share between threads and usable in a child after ``fork()``; it
    pickles as its path and options, and unpickling opens the file again. ``close()`` (or the
    end of a ``with`` block) unmaps the file; later calls raise ``ValueError``.
    """

    __slots__ = ()

    def __new__(cls, path: StrPath, *, verify: bool = True, check_reads: bool = True,
                codec: object = "msgpack") -> Self:
        _, _, _, decode, decode_kwargs = resolve(codec)
        return super().__new__(cls, path, verify=verify, check_reads=check_reads, decode=decode,
                               decode_kwargs=decode_kwargs, codec=codec, native_msgpack=codec == "msgpack")

    def stats(self) -> StoreStats:
        """The store's header values and size: ``path``, ``version``, ``num_keys``,
        ``num_objects``, ``index_offset``, ``data_offset``, ``file_size`` (bytes),
        ``file_size_kb`` and ``file_crc32`` (the stored CRC as ``"0x"`` and 8 hex digits)."""
        return cast(StoreStats, super().stats())

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self.path, self._verified, self.check_reads, self.codec))

    def __repr__(self) -> str:
        if self.closed:
            return f"{type(self).__name__}({self.path!r}, closed)"
        return f"{type(self).__name__}({self.path!r}, keys={len(self)})"


def _reopen(path: StrPath, verify: bool, check_reads: bool, codec: object) -> TarnReader:
    return TarnReader(path, verify=verify, check_reads=check_reads, codec=codec)
