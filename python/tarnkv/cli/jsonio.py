"""JSON in and out: orjson when it is installed, the standard library's json otherwise.

Values JSON has no form for travel in small wrapper objects, and ``build`` unwraps them again
so that a dump reads back into the same store:

- bytes: ``{"$bytes": "<base64>"}``
- a MessagePack extension value: ``{"$ext": <type code>, "$bytes": "<base64>"}``

MessagePack timestamps, dates and times are written as ISO 8601 text and non-string map keys
as their text (JSON objects have string keys only); floats that are not finite become null.
"""

from __future__ import annotations

import base64
import binascii
import datetime
import decimal
import uuid
from collections.abc import Callable
from typing import Any

import msgpack

try:
    import orjson
except ImportError:  # pragma: no cover - exercised only where orjson is missing
    orjson = None  # type: ignore[assignment]

BYTES = "$bytes"
EXT = "$ext"
# A line that might hold a wrapper: only such lines are walked after parsing.
WRAPPER_MARK = b'"$bytes"'


def to_json(obj: Any) -> Any:
    """``default`` hook of the encoders: the wrappers and text forms above."""
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return {BYTES: base64.b64encode(obj).decode("ascii")}
    if isinstance(obj, msgpack.Timestamp):
        return obj.to_datetime().isoformat()
    if isinstance(obj, msgpack.ExtType):
        return {EXT: obj.code, BYTES: base64.b64encode(obj.data).decode("ascii")}
    if isinstance(obj, (datetime.date, datetime.time)):
        return obj.isoformat()
    if isinstance(obj, datetime.timedelta):
        return obj.total_seconds()
    if isinstance(obj, (decimal.Decimal, uuid.UUID)):
        return str(obj)
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    raise TypeError(f"{type(obj).__name__} has no JSON form")


if orjson is not None:
    JSONDecodeError: type[ValueError] = orjson.JSONDecodeError
    loads: Callable[[bytes], Any] = orjson.loads
    _dumps = orjson.dumps
    _NL = orjson.OPT_APPEND_NEWLINE
    _NON_STR = orjson.OPT_NON_STR_KEYS

    def dumps_line(obj: Any) -> bytes:
        """``obj`` as compact JSON text and a newline."""
        try:
            return _dumps(obj, default=to_json, option=_NL)
        except TypeError:
            # Map keys that are not strings (MessagePack allows them): retried, as the option
            # costs time on every object.
            return _dumps(obj, default=to_json, option=_NL | _NON_STR)

    def dumps(obj: Any) -> bytes:
        return dumps_line(obj)[:-1]

else:  # pragma: no cover
    import json as _json

    JSONDecodeError = ValueError
    loads = _json.loads
    _encoder = _json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), default=to_json,
                                 allow_nan=True)

    def dumps(obj: Any) -> bytes:
        return _encoder.encode(obj).encode("utf-8", "surrogatepass")

    def dumps_line(obj: Any) -> bytes:
        return dumps(obj) + b"\n"


def decode_wrapper(value: dict[str, Any]) -> Any:
    """The value a wrapper object stands for, or the object itself when it is not one."""
    data = value.get(BYTES)
    if type(data) is not str:
        return value
    if len(value) == 1:
        kind = None
    elif len(value) == 2 and type(value.get(EXT)) is int:
        kind = value[EXT]
    else:
        return value
    try:
        raw = base64.b64decode(data, validate=True)
    except (binascii.Error, ValueError):
        raise ValueError(f"{BYTES} holds no valid base64") from None
    return raw if kind is None else msgpack.ExtType(kind, raw)


def unwrap(obj: Any) -> Any:
    """``obj`` with every wrapper object replaced by the value it stands for."""
    if type(obj) is dict:
        if BYTES in obj:
            got = decode_wrapper(obj)
            if got is not obj:
                return got
        return {k: unwrap(v) for k, v in obj.items()}
    if type(obj) is list:
        return [unwrap(v) for v in obj]
    return obj


def key_json(key: str | bytes) -> Any:
    """A key for JSON output: its text when it is UTF-8, else a bytes wrapper. Text keys come
    from the reader with surrogate escapes standing for bytes that are not UTF-8."""
    if isinstance(key, str):
        try:
            key.encode("utf-8")
            return key
        except UnicodeEncodeError:
            key = key.encode("utf-8", "surrogateescape")
    try:
        return key.decode("utf-8")
    except UnicodeDecodeError:
        return {BYTES: base64.b64encode(key).decode("ascii")}
