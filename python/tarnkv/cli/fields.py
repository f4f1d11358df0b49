"""Turning a record's fields into keys and storable values.

The build loop handles plain string keys inline; everything else comes here, where each
problem is reported as a ``ValueError`` whose text the caller places after the line number.
The rules themselves (key text of numbers and dates, stored forms of dates, durations,
decimals, integers beyond 64 bits) are the package's, in ``tarnkv.forms``.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import msgpack

from tarnkv import forms

Key = str | bytes

key_text = forms.key_text


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
            alias = key_text(item, field)
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
