"""A record's key, alias keys and object: the rules every build shares.

The command line's build (one store or a set) and :func:`tarnkv.dask.build_set` take keys
and values from records here, so one input makes one store whichever of them builds it: the
key a field's value stands for (numbers in every digit, dates as ISO 8601), the alias keys of
a record, and values MessagePack has no form for in their stored forms (``tarnkv.forms``).
Each problem is a ``ValueError`` whose text the caller places after where the record is.

:class:`RecordRoles` says which field is which. When the package was built with its JSON
Lines converter (:data:`JSON_LINES_CONVERTER`), :func:`convert_json_lines` turns lines of
JSON objects into packed batches of records without the interpreter lock, and
:func:`put_json_batch` (or a writer's ``put_many_raw``) stores them.
"""

from __future__ import annotations

import datetime
import decimal
import math
import uuid
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, cast

import msgpack

from tarnkv import _native, forms

__all__ = ["Key", "Field", "RecordRoles", "field_key", "frame_key", "exact", "aliases", "found_fields", "storable",
           "native_value", "JSON_LINES_CONVERTER", "convert_json_lines", "put_json_batch", "dump_json_lines"]

Key = str | bytes

#: A field's name, or a function of the record that gives the field's value.
Field = str | Callable[[Any], Any]


@dataclass(frozen=True, slots=True)
class RecordRoles:
    """Which field of a record is its key, which are its alias keys and which its object (the
    whole record when ``value`` is None), and how objects are stored.

    ``codec`` is what encodes the objects (a :func:`tarnkv.open` codec name or object);
    ``json_values``: a named value field holds JSON text, stored as the value it spells;
    ``big_ints``: what an integer beyond 64 bits in a value does (``"error"`` or ``"text"``).
    """

    key: Field
    aliases: tuple[Field, ...] = ()
    value: Field | None = None
    codec: object = "msgpack"
    json_values: bool = False
    big_ints: forms.BigInts = "error"

    def names(self) -> tuple[str, tuple[str, ...], str | None]:
        """The key, alias and value fields by name; TypeError when one is a function."""
        if any(callable(f) for f in (self.key, *self.aliases, self.value)):
            raise TypeError("a field is given by a function, not by its name")
        return cast(str, self.key), cast(tuple[str, ...], self.aliases), cast(str | None, self.value)

    def columns(self) -> list[str] | None:
        """The named columns a build needs, when it needs fewer than all of them."""
        key, alias_fields, value = self.names()
        if value is None:
            return None
        return list(dict.fromkeys([key, *alias_fields, value]))

_KINDS: dict[type, str] = {dict: "an object", list: "an array", tuple: "an array"}


def field_key(value: Any, field: str) -> str | bytes | None:
    """The key a field's value stands for; None when the value is null. ValueError, whose text
    names ``field``, for a value that can't be a key."""
    kind = type(value)
    if kind is str or kind is bytes:
        return value  # type: ignore[no-any-return]
    if value is None:
        return None
    if kind is bool:
        return "true" if value else "false"
    if kind is int:
        return str(value)  # every digit, however long
    if kind is float:
        if not math.isfinite(value):
            raise ValueError(f"field {field!r} holds {value!r}, which can't be a key")
        return forms.float_text(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (decimal.Decimal, uuid.UUID)):
        return str(value)
    what = _KINDS.get(kind, f"a value of type {kind.__name__}")
    raise ValueError(f"field {field!r} holds {what}, not a string or number")


def frame_key(value: Any, field: str) -> Key | None:
    """:func:`field_key` of a value from a DataFrame or a bag of records: NumPy scalars as
    their plain values, and a missing number (NaN) null. TypeError for a value that can't be
    a key."""
    if type(value).__module__ == "numpy" and callable(getattr(value, "item", None)):
        value = value.item()
    if isinstance(value, float) and value != value:
        return None  # a missing number in a DataFrame
    try:
        return field_key(value, field)
    except ValueError as exc:
        raise TypeError(str(exc)) from None


def exact(key: Key) -> Key:
    """A key read from text that was not UTF-8 carries surrogate escapes: its original bytes."""
    if type(key) is str:
        try:
            key.encode("utf-8")
        except UnicodeEncodeError:
            return key.encode("utf-8", "surrogateescape")
    return key


def aliases(record: dict[str, Any], fields: Sequence[str], key: Key) -> list[Key]:
    """The alias keys of a record: each alias field's value, or each item of a list value;
    nulls (and empty CSV cells) add nothing, and a key named twice in one record counts once."""
    out: list[Key] = []
    for field in fields:
        try:
            value = record[field]
        except KeyError:
            raise ValueError(f"no alias field {field!r}{found_fields(record)}") from None
        items = value if type(value) is list else (value,)
        for item in items:
            alias = field_key(item, field)
            if alias is None:
                continue
            alias = exact(alias)
            if alias != key and alias not in out:
                out.append(alias)
    return out


def found_fields(record: Iterable[str]) -> str:
    """`` (fields: 'a', 'b', ...)`` for a message about a field the record lacks."""
    names = list(record)
    shown = ", ".join(repr(f) for f in names[:20]) + (", ..." if len(names) > 20 else "")
    return f" (fields: {shown})" if names else " (the record has no fields)"


_PLAIN = (str, float, bool, bytes, msgpack.ExtType)


def _storable_node(value: Any, big_ints: forms.BigInts) -> tuple[list[Any] | None, Any]:
    kind = type(value)
    if kind is dict:
        names = [k if type(k) in (str, int, bytes) else str(k) for k in value]
        return list(value.values()), lambda values: dict(zip(names, values))
    if kind is list or kind is tuple:
        return list(value), list
    if kind is int:
        if not forms.fits(value):
            if big_ints != "text":
                raise OverflowError
            return None, str(value)
        return None, value
    if value is None or kind in _PLAIN:
        return None, value
    try:
        converted = forms.plain(value)
    except TypeError as exc:
        raise ValueError(str(exc)) from None
    return (converted, list) if type(converted) is list else (None, converted)


def storable(value: Any, big_ints: forms.BigInts = "error", path: str = "") -> Any:
    """``value`` with what MessagePack can't carry (dates, decimals, ...) in their stored
    forms, and integers beyond 64 bits as their text when ``big_ints`` is ``"text"``.

    ValueError names what can't be stored; an integer beyond 64 bits by where it is in
    ``value``, which is the field ``path`` of its record (the record itself when empty)."""
    try:
        return forms.rebuild(value, lambda node: _storable_node(node, big_ints))
    except OverflowError:
        found = forms.find_wide_int(value, path)
        where, number = found if found else (path, 0)
        raise ValueError(forms.wide_int_text(where, number) +
                         " (--big-ints text stores it as its digits)") from None


def native_value(value: Any) -> Any:
    """The packer's ``default`` for values MessagePack has no form for: their stored forms
    (dates and times as ISO 8601, durations in nanoseconds, decimals and UUIDs as text),
    NumPy scalars and arrays as plain values, pandas' missing time as null. OverflowError for
    an integer beyond 64 bits, which is never changed silently."""
    item = getattr(value, "item", None)
    if callable(item) and type(value).__module__ == "numpy":
        return value.tolist() if hasattr(value, "shape") and value.shape else item()
    if type(value).__name__ == "NaTType":  # pandas' missing time
        return None
    if type(value) is int:
        raise OverflowError("an integer beyond 64 bits")
    return forms.plain(value)


# The native converter and dump: there when the package was built with yyjson.
_TRANSCODE: Any = getattr(_native, "transcode_json_lines", None)
_PUT_BATCH: Any = getattr(_native, "put_json_batch", None)
_DUMP: Any = getattr(_native, "dump_json_lines", None)
_NEWLINES: Any = getattr(_native, "count_newlines", None)

#: Whether :func:`convert_json_lines` and :func:`dump_json_lines` are there in this build.
JSON_LINES_CONVERTER: bool = _TRANSCODE is not None


def _converter(what: Any) -> Any:
    if what is None:
        raise RuntimeError("this build of tarnkv has no JSON Lines converter")
    return what


def convert_json_lines(data: bytes, start: int, roles: RecordRoles, end: int | None = None) -> tuple[bytes, int, int]:
    """The lines of ``data[start:end]`` (to the end of ``data`` when ``end`` is None) as one
    packed batch of records (each its key, alias keys and MessagePack object, as ``roles`` name
    them), converted without the interpreter lock.

    Returns ``(batch, stop, count)``: the batch holds the ``count`` lines before offset
    ``stop``, one record each; the line at ``stop`` is the first the converter leaves to the
    Python rules of this module (``stop == end`` when it took them all). Fields must be
    named. RuntimeError when the build has no converter (:data:`JSON_LINES_CONVERTER`)."""
    key, alias_fields, value = roles.names()
    fields = (data, start, key.encode(), tuple(a.encode() for a in alias_fields),
              None if value is None else value.encode())
    convert = _converter(_TRANSCODE)
    batch, stop, count = convert(*fields) if end is None else convert(*fields, end)
    return batch, int(stop), int(count)


def newlines(data: bytes, start: int, end: int) -> int:
    """The number of newlines in ``data[start:end]``: natively when the build has the
    converter (at memory speed), else by ``bytes.count`` (a byte at a time)."""
    if _NEWLINES is not None:
        return int(_NEWLINES(data, start, end))
    return data.count(b"\n", start, end)


def put_json_batch(put: Callable[..., object], batch: bytes, skip: int = 0) -> int:
    """Calls ``put(key, object bytes, *alias keys)`` (keys as bytes) for the records of a
    packed batch from the ``skip``-th on, up to the first whose call raises; returns that
    record's index (the record count when none did). A writer's ``put_many_raw`` stores a
    batch faster, in one call."""
    return int(_converter(_PUT_BATCH)(put, batch, skip))


def dump_json_lines(reader: Any, prefix: bytes, skip: int, count: int) -> tuple[bytes, int, tuple[bytes, bytes] | None]:
    """``{"key": ..., "value": ...}`` lines for up to ``count`` entries of a
    :class:`tarnkv.TarnReader` under ``prefix``, from the ``skip``-th on, made without
    decoding objects in Python. Returns ``(lines, used, pending)``: ``used`` entries were
    taken; when the last of them is one the native dump can't write (a key that is not UTF-8,
    an extension type, ...) it is ``pending``, its ``(key, object)`` bytes, and not among the
    lines. RuntimeError when the build has no converter (:data:`JSON_LINES_CONVERTER`)."""
    lines, used, pending = _converter(_DUMP)(reader, prefix, skip, count)
    return lines, int(used), pending
