"""JSON in and out: orjson when it is installed, the standard library's json otherwise.

Values JSON has no form for travel in small wrapper objects, and ``build`` unwraps them again
so that every store a dump comes from reads back from it unchanged:

- bytes: ``{"$bytes": "<base64>"}``
- a MessagePack extension value (timestamps included): ``{"$ext": <type code>, "$bytes": "<base64>"}``
- a float JSON has no number for: ``{"$float": "NaN"}``, ``"Infinity"`` or ``"-Infinity"``
- a map JSON can't write as an object (a key that is not text, or that is one of these four
  names): ``{"$map": [[key, value], ...]}``, keys and values in these same forms

Numbers are read exactly: an integer too long for 64 bits comes back as a Python int with
all its digits, never as a float.
"""

from __future__ import annotations

import base64
import binascii
import json as _json
import math
import re
from collections.abc import Callable
from typing import Any

import msgpack

from tarnkv import forms

try:
    import orjson
except ImportError:  # pragma: no cover - exercised only where orjson is missing
    orjson = None  # type: ignore[assignment]

BYTES = "$bytes"
EXT = "$ext"
FLOAT = "$float"
MAP = "$map"
WRAPPER_NAMES = frozenset((BYTES, EXT, FLOAT, MAP))
# A line that might hold a wrapper holds one of these: only such lines are walked after parsing.
WRAPPER_MARKS = (b'"$bytes"', b'"$float"', b'"$map"')
_FLOAT_NAMES = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}

# A line whose output failed: a producer that stops midway ends its output with it, so that a
# consumer reading the output back (`tarnkv build -`) refuses it rather than take what came
# before for the whole. It is not JSON and, in CSV, one field where a dump has two.
FAILURE_MARK = "!tarnkv: incomplete output: "

# Integers beyond 64 bits have 19 digits at least: a text without such a run has none.
_LONG_DIGITS = re.compile(rb"[0-9]{19}")
_LONG_DIGITS_TEXT = re.compile(r"[0-9]{19}")


def might_wrap(data: bytes) -> bool:
    """Whether ``data`` (JSON text) may hold a wrapper object."""
    return any(mark in data for mark in WRAPPER_MARKS)


def _pairs(items: list[Any]) -> list[list[Any]]:
    return [[items[i], items[i + 1]] for i in range(0, len(items), 2)]


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _dump_node(x: Any) -> tuple[list[Any] | None, Any]:
    kind = type(x)
    if kind is str or kind is int or kind is bool or x is None:
        return None, x
    if kind is float:
        if math.isfinite(x):
            return None, x
        return None, {FLOAT: "NaN" if x != x else ("Infinity" if x > 0 else "-Infinity")}
    if kind is list or kind is tuple:
        return list(x), list
    if kind is dict:
        if all(type(k) is str and k not in WRAPPER_NAMES for k in x):
            names = list(x)
            return list(x.values()), lambda values: dict(zip(names, values))
        return [item for pair in x.items() for item in pair], lambda items: {MAP: _pairs(items)}
    if isinstance(x, (bytes, bytearray, memoryview)):
        return None, {BYTES: _b64(bytes(x))}
    if isinstance(x, msgpack.Timestamp):
        return None, {EXT: -1, BYTES: _b64(x.to_bytes())}
    if isinstance(x, msgpack.ExtType):
        return None, {EXT: x.code, BYTES: _b64(x.data)}
    raise TypeError(f"a value of type {kind.__name__} has no JSON form")


def json_form(value: Any) -> Any:
    """A decoded stored value as JSON can hold it, with the wrappers above wherever JSON alone
    would change it."""
    return forms.rebuild(value, _dump_node)


def _wrapped(value: dict[str, Any]) -> tuple[list[Any] | None, Any] | None:
    """What a wrapper object stands for (as ``_unwrap_node`` answers), or None when ``value``
    is not one."""
    if len(value) == 1:
        if type(data := value.get(BYTES)) is str:
            return None, _base64(data)
        if FLOAT in value and type(name := value[FLOAT]) is str:
            if name not in _FLOAT_NAMES:
                raise ValueError(f"{FLOAT} holds {name!r}, not NaN, Infinity or -Infinity")
            return None, _FLOAT_NAMES[name]
        if type(pairs := value.get(MAP)) is list:
            if any(type(p) is not list or len(p) != 2 for p in pairs):
                raise ValueError(f"{MAP} holds no list of [key, value] pairs")
            return [item for pair in pairs for item in pair], _map_of_pairs
    elif len(value) == 2 and type(data := value.get(BYTES)) is str and type(code := value.get(EXT)) is int:
        return None, _extension(code, _base64(data))
    return None


def _extension(code: int, data: bytes) -> Any:
    """The MessagePack extension value of type ``code``: a timestamp for -1, whose other
    negative codes are reserved."""
    if code == -1:
        try:
            return msgpack.Timestamp.from_bytes(data)
        except ValueError:
            raise ValueError(f"{EXT} -1 (a timestamp) holds {len(data)} bytes, not 4, 8 or 12") from None
    if not 0 <= code <= 127:
        raise ValueError(f"{EXT} holds {code}, not an extension type code (0 to 127, or -1)")
    return msgpack.ExtType(code, data)


def _base64(data: str) -> bytes:
    try:
        return base64.b64decode(data, validate=True)
    except (binascii.Error, ValueError):
        raise ValueError(f"{BYTES} holds no valid base64") from None


def _map_of_pairs(items: list[Any]) -> dict[Any, Any]:
    out: dict[Any, Any] = {}
    for i in range(0, len(items), 2):
        key = items[i]
        if type(key) in (list, dict):
            raise ValueError(f"a {MAP} key is an array or an object, which no map key can be")
        out[key] = items[i + 1]
    return out


def _unwrap_node(x: Any) -> tuple[list[Any] | None, Any]:
    kind = type(x)
    if kind is dict:
        if len(x) <= 2 and (wrapped := _wrapped(x)) is not None:
            return wrapped
        names = list(x)
        return list(x.values()), lambda values: dict(zip(names, values))
    if kind is list:
        return list(x), list
    return None, x


def unwrap(obj: Any) -> Any:
    """``obj`` with every wrapper object replaced by the value it stands for; ValueError for a
    wrapper that holds nonsense."""
    return forms.rebuild(obj, _unwrap_node)


# --- Reading --------------------------------------------------------------------------------

def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


if orjson is not None:
    JSONDecodeError: type[ValueError] = orjson.JSONDecodeError
    loads: Callable[[bytes | str], Any] = orjson.loads
    _dumps = orjson.dumps
else:  # pragma: no cover
    JSONDecodeError = ValueError
    loads = _json.loads

# The exact parser for texts with long runs of digits: the standard library's, which keeps
# every digit of an integer. It accepts whatever orjson accepts, with the same results.
_exact_loads = _json.JSONDecoder(parse_constant=_reject_constant).decode


def loads_exact(text: bytes | str) -> Any:
    """``loads``, but an integer beyond 64 bits keeps its digits (orjson would make it a float)."""
    value = loads(text)
    if not has_long_digits(text):
        return value
    return _exact_loads(text.decode("utf-8") if isinstance(text, bytes) else text)


def has_long_digits(data: bytes | str) -> bool:
    """Whether ``data`` may hold an integer ``loads`` would not keep exactly."""
    found = _LONG_DIGITS.search(data) if isinstance(data, bytes) else _LONG_DIGITS_TEXT.search(data)
    return found is not None


# --- Writing --------------------------------------------------------------------------------

_std_encoder = _json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False)


def _encode_form(form: Any) -> bytes:
    """JSON text of a tree of plain JSON values, at any depth."""
    if orjson is not None:
        try:
            return _dumps(form)
        except TypeError:  # nested deeper than orjson goes
            pass
    return _std_encoder.encode(form).encode("utf-8")


def _needs_form(text: bytes) -> bool:
    # orjson writes NaN and the infinities as null, and a map whose keys look like wrappers as
    # it is: the exact form decides where either may be.
    return b"null" in text or b'"$' in text


def dumps(obj: Any) -> bytes:
    """A decoded stored value as compact JSON text, wrapped where JSON alone would change it."""
    if orjson is not None:
        try:
            text = _dumps(obj)
            if not _needs_form(text):
                return text
        except TypeError:  # bytes, extension types, maps with other keys, great depth
            pass
    return _encode_form(json_form(obj))


def dumps_line(obj: Any) -> bytes:
    """``dumps`` and a newline."""
    return dumps(obj) + b"\n"


def entry_line(key: str | bytes, value: Any) -> bytes:
    """A ``{"key": ..., "value": ...}`` line."""
    return b'{"key":' + dumps_key(key) + b',"value":' + dumps(value) + b"}\n"


def dumps_key(key: str | bytes) -> bytes:
    """A key as JSON text (see ``key_json``)."""
    return _encode_form(key_json(key))


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


def failure_line(message: str) -> bytes:
    """The last line of an output that could not be finished (see ``FAILURE_MARK``)."""
    return (FAILURE_MARK + message.replace("\n", " ")).encode("utf-8", "backslashreplace") + b"\n"
