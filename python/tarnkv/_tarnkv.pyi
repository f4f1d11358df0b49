# The low-level extension module; the package's own classes are tarnkv.TarnReader and
# tarnkv.TarnWriter.
from typing import Final, Literal, SupportsIndex, TypedDict, final, type_check_only

__version__: Final = "0.2.0"
__all__ = ["_TarnWriter", "_TarnReader", "__version__"]

@type_check_only
class _Stats(TypedDict):
    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size_kb: float
    file_crc32: str

@final
class _TarnWriter:
    """Low-level writer — accepts pre-serialised msgpack bytes per object.
    **Use `tarnkv.TarnWriter` (Python wrapper) instead of this directly.**"""

    def __new__(cls) -> _TarnWriter: ...
    def add_object_raw(self, raw_bytes: bytes) -> int:
        """Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."""
    def add_key(self, key: str | bytes, obj_id: SupportsIndex) -> None:
        """Map *key* (str or bytes) to *obj_id*."""
    def build(self, path: str) -> None:
        """Atomically write the `.trnk` file: tmp → fsync → rename."""

@final
class _TarnReader:
    """Low-level reader — returns raw msgpack bytes.
    **Use `tarnkv.TarnReader` (Python wrapper) instead of this directly.**

    Thread-safe for reads: the index is immutable after construction and the
    mmap is read-only.  Share one instance freely across threads."""

    def __new__(cls, path: str, verify: bool = True) -> _TarnReader: ...
    def get_raw(self, key: str | bytes) -> bytes | None:
        """O(1) exact-match lookup. Returns raw msgpack bytes or `None`."""
    def exists(self, key: str | bytes) -> bool:
        """Key presence check — no I/O beyond the in-memory hash index."""
    def prefix_raw(self, prefix: str | bytes) -> list[tuple[str, bytes]]:
        """Sorted prefix scan. Returns `list[tuple[str, bytes]]`."""
    def keys(self) -> list[str]:
        """All keys in sorted order."""
    def items_raw(self) -> list[tuple[str, bytes]]:
        """All `(key, raw_bytes)` pairs in sorted key order."""
    def objects_raw(self) -> list[bytes]:
        """Unique objects only (deduplicated by file offset)."""
    def stats(self) -> _Stats:
        """Return file metadata as a `dict`."""
    def verify(self) -> Literal[True]:
        """Deep CRC32 integrity check (whole-file + per-object)."""
    def close(self) -> None: ...
    def __enter__(self) -> _TarnReader: ...
    def __exit__(self, _exc_type: object, _exc_val: object, _exc_tb: object) -> Literal[False]: ...
