"""Immutable single-file key to object stores (``.trnk`` files).

:class:`TarnWriter` and :class:`TarnReader` wrap the native classes of :mod:`tarnkv._tarnkv`
and encode / decode objects with MessagePack; the native classes take and return the encoded
bytes (the methods whose names end in ``_raw``).
"""

from __future__ import annotations

from tarnkv._tarnkv import _TarnReader, _TarnWriter, __version__

__all__ = ["TarnReader", "TarnWriter", "__version__"]


def _msgpack():
    import msgpack  # imported on first use: the native layer does not need it

    return msgpack


class TarnWriter:
    """Collects objects and keys, then writes one store file atomically."""

    def __init__(self) -> None:
        self._w = _TarnWriter()

    def add(self, obj, *keys) -> int:
        """Store *obj* (MessagePack-encodable), map each of *keys* to it, return its ID."""
        oid = self._w.add_object_raw(_msgpack().packb(obj, use_bin_type=True))
        for key in keys:
            self._w.add_key(key, oid)
        return oid

    def add_raw(self, raw: bytes) -> int:
        return self._w.add_object_raw(raw)

    def add_key(self, key, obj_id: int) -> None:
        self._w.add_key(key, obj_id)

    def build(self, path) -> None:
        self._w.build(str(path))

    def __repr__(self) -> str:
        return repr(self._w).replace("_TarnWriter", "TarnWriter", 1)


class TarnReader:
    """Reads a store file; objects come back decoded from MessagePack."""

    def __init__(self, path, verify: bool = True) -> None:
        self._r = _TarnReader(str(path), bool(verify))

    @staticmethod
    def _decode(raw: bytes):
        return _msgpack().unpackb(raw, raw=False)

    def get(self, key, default=None):
        raw = self._r.get_raw(key)
        return default if raw is None else self._decode(raw)

    def __getitem__(self, key):
        raw = self._r.get_raw(key)
        if raw is None:
            raise KeyError(key)
        return self._decode(raw)

    def __contains__(self, key) -> bool:
        return self._r.exists(key)

    def __len__(self) -> int:
        return self._r.stats()["num_keys"]

    def __iter__(self):
        return iter(self._r.keys())

    def keys(self) -> list[str]:
        return self._r.keys()

    def items(self) -> list[tuple[str, object]]:
        return [(k, self._decode(v)) for k, v in self._r.items_raw()]

    def prefix(self, prefix) -> list[tuple[str, object]]:
        return [(k, self._decode(v)) for k, v in self._r.prefix_raw(prefix)]

    def raw(self) -> _TarnReader:
        """The native reader, for the ``*_raw`` methods."""
        return self._r

    def verify(self) -> bool:
        return self._r.verify()

    def stats(self) -> dict:
        return self._r.stats()

    def close(self) -> None:
        self._r.close()

    def __enter__(self) -> TarnReader:
        return self

    def __exit__(self, *exc) -> bool:
        return False

    def __repr__(self) -> str:
        return repr(self._r).replace("_TarnReader", "TarnReader", 1)
