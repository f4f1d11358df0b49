"""The partition tasks of :func:`tarnkv.dask.build_set`: records (or DataFrame rows) into a
run file, with keys and objects as :mod:`tarnkv.records` makes them."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Any

from tarnkv import forms
from tarnkv.codec import resolve
from tarnkv.errors import LimitError
from tarnkv.records import Field, RecordRoles, frame_key, native_value
from tarnkv.sets.build import PartitionResult, Plan, RunSink
from tarnkv.sets.errors import RecordError

__all__ = ["records_partition", "frame_partition", "codec_name"]


def codec_name(codec: object) -> str | None:
    """What the manifest says the objects are."""
    if codec is None or isinstance(codec, str):
        return codec
    name = getattr(codec, "name", None)
    return name if isinstance(name, str) and name else type(codec).__qualname__


def _encoder(codec: object) -> Callable[[Any], bytes]:
    if codec == "msgpack":
        import msgpack

        packer = msgpack.Packer(use_bin_type=True, default=native_value)
        return packer.pack  # type: ignore[no-any-return]
    if codec is None:
        def raw(obj: Any) -> bytes:
            if isinstance(obj, (bytes, bytearray, memoryview)):
                return bytes(obj)
            raise TypeError(f"with codec=None objects must be bytes-like, not {type(obj).__name__}")
        return raw
    _, encode, kwargs, _, _ = resolve(codec)
    if kwargs:
        return lambda obj: encode(obj, **kwargs)
    return encode  # type: ignore[no-any-return]


def _get(record: Any, where: Field, role: str) -> Any:
    if callable(where):
        return where(record)
    if not isinstance(record, Mapping):
        raise TypeError(f"the record is a {type(record).__name__}, not a mapping with a {role} field {where!r}")
    try:
        return record[where]
    except KeyError:
        raise KeyError(f"no {role} field {where!r}") from None


def records_partition(records: Iterable[Any], index: int, plan: Plan, roles: RecordRoles) -> PartitionResult:
    """The partition task of a bag of records."""
    encode = _encoder(roles.codec)
    key_field, alias_fields, value_field = roles.key, roles.aliases, roles.value
    key_role = roles.key if isinstance(roles.key, str) else "key"
    with RunSink(plan, index) as sink:
        for seq, record in enumerate(records):
            try:
                key = frame_key(_get(record, key_field, "key"), key_role)
                if key is None:
                    raise ValueError("the key is null")
                aliases: list[str | bytes] = []
                for field in alias_fields:
                    found = _get(record, field, "alias")
                    for item in found if isinstance(found, (list, tuple)) else (found,):
                        alias = frame_key(item, field if isinstance(field, str) else "alias")
                        if alias is not None and alias != key and alias not in aliases:
                            aliases.append(alias)
                obj = record if value_field is None else _get(record, value_field, "value")
                try:
                    data = encode(obj)
                except OverflowError:
                    found = forms.find_wide_int(obj, value_field if isinstance(value_field, str) else "")
                    if found is None:
                        raise
                    raise ValueError(forms.wide_int_text(*found)) from None
                sink.add(seq, key, data, *aliases)
            except (KeyError, TypeError, ValueError, OverflowError, LimitError) as exc:
                if isinstance(exc, RecordError) or type(exc).__name__ == "SetDuplicateKeyError":
                    raise
                text = exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc)
                raise RecordError(f"partition {index}, record {seq}: {text}", index, seq) from None
        return sink.finish()


def frame_partition(frame: Any, index: int, plan: Plan, roles: RecordRoles) -> PartitionResult:
    """The partition task of a DataFrame: each row is a record (a dict of its columns)."""
    return records_partition(frame.to_dict(orient="records"), index, plan, roles)
