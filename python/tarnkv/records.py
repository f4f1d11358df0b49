"""A record's key, alias keys and object: the rules every build shares.

The command line's build (one store or a set) and :func:`tarnkv.dask.build_set` take keys
and values from records here, so one input makes one store whichever of them builds it: the
key a field's value stands for (numbers in every digit, dates as ISO 8601), the alias keys of
a record, and values MessagePack has no form for in their stored forms (``tarnkv.forms``).
Each problem is a ``ValueError`` whose text the caller places after where the record is.
"""

from __future__ import annotations

import datetime
import decimal
import math
import uuid
from collections.abc import Iterable
from typing import Any

import msgpack

from tarnkv import forms

__all__ = ["Key", "field_key", "frame_key", "exact", "aliases", "found_fields", "storable", "native_value"]

Key = str | bytes

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


def aliases(record: dict[str, Any], fields: list[str], key: Key) -> list[Key]:
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
