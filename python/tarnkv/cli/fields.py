"""Turning a record's fields into keys and storable values.

The build loop handles plain string keys inline; everything else comes here, where each
problem is reported as a ``ValueError`` whose text the caller places after the line number.
"""

from __future__ import annotations

import datetime
import decimal
import math
import uuid
from typing import Any

import msgpack

from tarnkv.cli import jsonio

Key = str | bytes

_KINDS: dict[type, str] = {dict: "an object", list: "an array", tuple: "an array"}


def key_text(value: Any, field: str) -> Key | None:
    """The key a field's value stands for; None when the value is null (or an empty CSV cell)."""
    kind = type(value)
    if kind is str or kind is bytes:
        return value  # type: ignore[no-any-return]
    if value is None:
        return None
    if kind is bool:
        return "true" if value else "false"
    if kind is int:
        return str(value)
    if kind is float:
        if not math.isfinite(value):
            raise ValueError(f"field {field!r} holds {value!r}, which can't be a key")
        return jsonio.dumps(value).decode("ascii")
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (decimal.Decimal, uuid.UUID)):
        return str(value)
    what = _KINDS.get(kind, f"a value of type {kind.__name__}")
    raise ValueError(f"field {field!r} holds {what}, not a string or number")


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
            raise ValueError(f"no alias field {field!r}") from None
        items = value if type(value) is list else (value,)
        for item in items:
            alias = key_text(item, field)
            if alias is None:
                continue
            alias = exact(alias)
            if alias != key and alias not in out:
                out.append(alias)
    return out


def storable(value: Any) -> Any:
    """``value`` with what MessagePack can't carry (dates, decimals, ...) in JSON's text forms."""
    kind = type(value)
    if kind is dict:
        return {k if type(k) in (str, int, bytes) else str(k): storable(v) for k, v in value.items()}
    if kind is list or kind is tuple:
        return [storable(v) for v in value]
    if value is None or kind in (str, int, float, bool, bytes, msgpack.ExtType):
        return value
    try:
        return storable(jsonio.to_json(value))
    except TypeError:
        raise ValueError(f"a value of type {kind.__name__} can't be stored") from None
