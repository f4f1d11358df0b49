"""How objects become bytes in a store and back.

A store holds each object as bytes; the codec decides how. ``codec=`` of
:class:`~tarnkv.TarnReader` and :class:`~tarnkv.TarnWriter` takes:

- ``"msgpack"`` (the default): MessagePack, written with ``packb(obj, use_bin_type=True)`` and
  read with ``unpackb(data, raw=False, strict_map_key=False)``, so that what was written reads
  back (``bytes`` stay ``bytes``, ``str`` stay ``str``, maps with ``int`` keys work). Tuples read
  back as lists, as MessagePack has no tuple.
- ``None``: no codec; objects are ``bytes`` (or any bytes-like object) in, ``bytes`` out.
- any object with ``encode(obj) -> bytes`` and ``decode(data: bytes) -> object`` methods, such
  as :class:`Codec` or a class of your own (it must be picklable to pickle a reader).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, Final, Protocol, runtime_checkable

__all__ = ["Codec", "CodecLike", "MSGPACK"]


@runtime_checkable
class CodecLike(Protocol):
    """What ``codec=`` accepts besides ``"msgpack"`` and ``None``."""

    def encode(self, obj: Any, /) -> bytes: ...

    def decode(self, data: bytes, /) -> Any: ...


class Codec:
    """A codec made of two functions: ``Codec(encode, decode)``.

    ``encode`` turns an object into ``bytes``; ``decode`` turns those bytes back into an
    object. Keyword arguments to pass on every call can be given as dicts.
    """

    __slots__ = ("name", "_encode", "_decode", "_encode_kwargs", "_decode_kwargs")

    def __init__(self, encode: Callable[..., bytes], decode: Callable[..., Any], *,
                 encode_kwargs: Mapping[str, Any] | None = None, decode_kwargs: Mapping[str, Any] | None = None,
                 name: str | None = None) -> None:
        self.name = name
        self._encode = encode
        self._decode = decode
        self._encode_kwargs = dict(encode_kwargs or {})
        self._decode_kwargs = dict(decode_kwargs or {})

    def encode(self, obj: Any, /) -> bytes:
        """The bytes that store *obj*."""
        return self._encode(obj, **self._encode_kwargs)

    def decode(self, data: bytes, /) -> Any:
        """The object stored as *data*."""
        return self._decode(data, **self._decode_kwargs)

    def __repr__(self) -> str:
        return f"Codec({self.name!r})" if self.name else super().__repr__()

    def __reduce__(self) -> tuple[Any, ...]:
        if self.name == "msgpack":
            return (_msgpack, ())
        return (_rebuild, (self._encode, self._decode, self._encode_kwargs, self._decode_kwargs, self.name))


def _rebuild(encode: Callable[..., bytes], decode: Callable[..., Any], encode_kwargs: dict[str, Any],
             decode_kwargs: dict[str, Any], name: str | None) -> Codec:
    return Codec(encode, decode, encode_kwargs=encode_kwargs, decode_kwargs=decode_kwargs, name=name)


_MSGPACK: Codec | None = None


def _msgpack() -> Codec:
    global _MSGPACK
    if _MSGPACK is None:
        import msgpack

        _MSGPACK = Codec(msgpack.packb, msgpack.unpackb, encode_kwargs={"use_bin_type": True},
                         decode_kwargs={"raw": False, "strict_map_key": False}, name="msgpack")
    return _MSGPACK


#: The name of the default codec.
MSGPACK: Final = "msgpack"


def resolve(codec: object) -> tuple[object, Any, dict[str, Any] | None, Any, dict[str, Any] | None]:
    """(codec object, encode function, its keyword arguments, decode function, its keyword
    arguments) for the native classes; functions are None for ``codec=None``."""
    if codec is None:
        return None, None, None, None, None
    if isinstance(codec, str):
        if codec != MSGPACK:
            raise ValueError(f"unknown codec {codec!r}: use 'msgpack', None or an object with encode/decode")
        codec = _msgpack()
    if isinstance(codec, Codec):
        return codec, codec._encode, codec._encode_kwargs, codec._decode, codec._decode_kwargs
    encode = getattr(codec, "encode", None)
    decode = getattr(codec, "decode", None)
    if not callable(encode) or not callable(decode):
        raise TypeError(f"codec must be 'msgpack', None or an object with encode() and decode() methods, "
                        f"not {type(codec).__name__}")
    return codec, encode, None, decode, None
