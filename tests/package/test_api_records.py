"""The records module's public pieces that the command line and set builds are made of: which
field is which, and the native JSON Lines conversion behind them."""

from __future__ import annotations

import pickle

import msgpack
import pytest

import tarnkv
from tarnkv import records
from tarnkv.records import RecordRoles

converter = pytest.mark.skipif(not records.JSON_LINES_CONVERTER, reason="built without the JSON Lines converter")


def test_roles_by_name_and_by_function():
    roles = RecordRoles("id", ("ean", "id", "sku"), "doc", json_values=True)
    assert roles.names() == ("id", ("ean", "id", "sku"), "doc")
    assert roles.columns() == ["id", "ean", "sku", "doc"]  # each once, in order
    assert RecordRoles("id", ("ean",)).columns() is None  # the whole record is the object
    assert (RecordRoles("id").codec, RecordRoles("id").big_ints) == ("msgpack", "error")
    assert pickle.loads(pickle.dumps(roles)) == roles  # set builds send them to workers
    for by_function in (RecordRoles(len), RecordRoles("id", (len,)), RecordRoles("id", (), len)):
        with pytest.raises(TypeError, match="function"):
            by_function.columns()


@converter
def test_converted_lines_follow_the_roles_and_stop_at_the_line_left_to_python(tmp_path):
    data = (b'{"id": "a", "alt": ["x", "y"], "v": {"n": 1}}\n{"id": "b", "alt": "z", "v": 2}\n'
            b'[1, 2]\n{"id": "c", "alt": null, "v": 3}\n')
    roles = RecordRoles("id", ("alt",), "v")
    batch, stop, count = records.convert_json_lines(data, 0, roles)
    assert (count, data[stop:stop + 6]) == (2, b"[1, 2]")
    got: list[tuple[bytes, ...]] = []
    assert records.put_json_batch(lambda *a: got.append(a), batch) == 2
    assert [(k, msgpack.unpackb(v), aliases) for k, v, *aliases in got] == [
        (b"a", {"n": 1}, [b"x", b"y"]), (b"b", 2, [b"z"])]
    assert records.put_json_batch(lambda *a: got.append(a), batch, 1) == 2 and got[-1][0] == b"b"
    rest, stop2, count2 = records.convert_json_lines(data, data.index(b"\n", stop) + 1, roles)
    assert (stop2, count2) == (len(data), 1)
    writer = tarnkv.TarnWriter()
    assert writer.put_many_raw(batch, 0) == 2 and writer.put_many_raw(rest, 0) == 1
    writer.build(tmp_path / "s.trnk")
    with tarnkv.open(tmp_path / "s.trnk") as reader:
        assert dict(reader.items()) == {"a": {"n": 1}, "b": 2, "c": 3, "x": {"n": 1}, "y": {"n": 1}, "z": 2}
        lines, used, pending = records.dump_json_lines(reader, b"", 0, 10)
    assert (used, pending) == (6, None)
    assert lines.splitlines()[0] == b'{"key":"a","value":{"n":1}}'
