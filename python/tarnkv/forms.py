"""How record values that MessagePack has no type for are stored, and how field values become keys.

The command line and :func:`tarnkv.dask.build_set` share these rules, so one input makes one
store whichever of them builds it:

- dates, times and datetimes: ISO 8601 text with every digit of the fraction the value carries
  (pandas' nanosecond timestamps included);
- durations: their whole number of nanoseconds (an integer);
- decimals and UUIDs: their text; sets, frozensets and tuples: lists.

MessagePack integers span ``-2**63`` to ``2**64 - 1``. A number beyond them is never changed
silently: as a key it keeps its digits (a key is text); as a value it is refused unless the
caller asks for it to be stored as its decimal text.
"""

from __future__ import annotations

import datetime
import decimal
import math
import uuid
from collections.abc import Callable, Iterator
from typing import Any, Final, Literal

__all__ = ["INT_MIN", "INT_MAX", "BigInts", "fits", "plain", "duration_ns", "key_text", "float_text",
           "wide_int_text", "find_wide_int", "rebuild"]

#: The integers MessagePack holds.
INT_MIN: Final = -(1 << 63)
INT_MAX: Final = (1 << 64) - 1

#: What a value's integer beyond 64 bits does: ``"error"`` refuses it, ``"text"`` stores its digits.
BigInts = Literal["error", "text"]

_KINDS: dict[type, str] = {dict: "an object", list: "an array", tuple: "an array"}


def fits(value: int) -> bool:
    return INT_MIN <= value <= INT_MAX


def duration_ns(value: datetime.timedelta) -> int:
    """A duration's whole nanoseconds (pandas' Timedelta keeps its own in ``value``)."""
    ns = getattr(value, "value", None) if type(value) is not datetime.timedelta else None
    if type(ns) is int:
        return ns
    return (value.days * 86400 + value.seconds) * 1_000_000_000 + value.microseconds * 1000


def plain(value: Any) -> Any:
    """The stored form of a value MessagePack has no type for (see above); TypeError for a
    value that has none."""
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return duration_ns(value)
    if isinstance(value, (decimal.Decimal, uuid.UUID)):
        return str(value)
    if isinstance(value, (set, frozenset, tuple)):
        return list(value)
    raise TypeError(f"a value of type {type(value).__name__} can't be stored")


def float_text(value: float) -> str:
    """A finite float as the command line's JSON writes it: the shortest digits that read back,
    in plain notation for exponents -5 to 15 ("1.0", "0.00001"), else scientific ("1e+16")."""
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    digits, exponent = _shortest(abs(value))
    n = len(digits)
    if -5 <= exponent <= 15:
        if exponent >= 0:
            if n <= exponent + 1:
                return f"{sign}{digits}{'0' * (exponent + 1 - n)}.0"
            return f"{sign}{digits[:exponent + 1]}.{digits[exponent + 1:]}"
        return f"{sign}0.{'0' * (-exponent - 1)}{digits}"
    body = digits[0] + (f".{digits[1:]}" if n > 1 else "")
    return f"{sign}{body}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


def _shortest(value: float) -> tuple[str, int]:
    """The shortest significant digits of a non-negative float that read back, and the decimal
    exponent of the first."""
    if value == 0:
        return "0", 0
    text = repr(value)
    mantissa, _, exp = text.partition("e")
    whole, _, frac = mantissa.partition(".")
    exponent = int(exp) if exp else 0
    if frac == "0":
        frac = ""
    digits = (whole + frac).lstrip("0")
    # The first significant digit's place: in the whole part, or after leading zeros of frac.
    if whole.strip("0"):
        exponent += len(whole.lstrip("0")) - 1
    else:
        exponent -= len(frac) - len(frac.lstrip("0")) + 1
    return digits.rstrip("0") or "0", exponent


def key_text(value: Any, field: str) -> str | bytes | None:
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
        return float_text(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (decimal.Decimal, uuid.UUID)):
        return str(value)
    what = _KINDS.get(kind, f"a value of type {kind.__name__}")
    raise ValueError(f"field {field!r} holds {what}, not a string or number")


def _paths(value: Any, path: str) -> Iterator[tuple[str, Any]]:
    """(path, item) for every item inside ``value``, without recursion."""
    stack = [(path, value)]
    while stack:
        where, item = stack.pop()
        yield where, item
        if type(item) is dict:
            stack.extend((f"{where}.{k}" if where else str(k), v) for k, v in reversed(item.items()))
        elif type(item) is list or type(item) is tuple:
            stack.extend((f"{where}[{i}]", v) for i, v in reversed(list(enumerate(item))))


def find_wide_int(value: Any, path: str = "") -> tuple[str, int] | None:
    """The first integer beyond MessagePack's 64 bits in ``value`` and where it is
    (``"a.b[2]"``, from ``path``), or None."""
    for where, item in _paths(value, path):
        if type(item) is int and not fits(item):
            return where, item
    return None


def wide_int_text(where: str, number: int) -> str:
    """The problem of an integer value beyond 64 bits, for a message."""
    digits = str(number)
    shown = digits if len(digits) <= 40 else f"{digits[:20]}...{digits[-8:]} ({len(digits)} digits)"
    place = f"field {where!r} holds" if where else "the value is"
    return f"{place} the integer {shown}, beyond the 64 bits MessagePack holds"


#: ``expand(node)`` of :func:`rebuild`.
Expand = Callable[[Any], tuple[list[Any] | None, Any]]


def rebuild(root: Any, expand: Expand) -> Any:
    """Rebuilds a tree of values bottom-up with a stack of its own, so that depth costs no
    recursion (values may be nested a thousand levels deep): ``expand(node)`` gives
    ``(None, value)`` for a finished value, or ``(children, build)``, where ``build(results)``
    makes the node's value from its children's."""
    children, build = expand(root)
    if children is None:
        return build
    stack: list[tuple[list[Any], Any, list[Any]]] = [(children, build, [])]
    while True:
        children, build, done = stack[-1]
        if len(done) < len(children):
            kids, made = expand(children[len(done)])
            if kids is None:
                done.append(made)
            else:
                stack.append((kids, made, []))
            continue
        stack.pop()
        value = build(done)
        if not stack:
            return value
        stack[-1][2].append(value)
