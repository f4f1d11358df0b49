"""Generated stores against plain Python models: whatever objects and key mappings a writer
receives, the file it builds is byte for byte the layout a few lines of Python predict, and the
reader answers every lookup, prefix scan and enumeration as a dict and a sorted list do."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from store_helpers import quiet_stdout, raw_store, record_offsets

from tarnkv import _tarnkv

# Few distinct bytes, so that keys share prefixes, collide as str and bytes, and hold NUL,
# non-UTF-8 bytes (0xff, a lone 0xc3) and multi-byte characters.
KEY_BYTES = [0x00, 0x61, 0x62, 0xC3, 0xA9, 0xFF]
byte_keys = st.lists(st.sampled_from(KEY_BYTES), max_size=5).map(bytes)
text_keys = st.text(alphabet="ab\u00e9\x00", max_size=4)
keys = st.one_of(byte_keys, text_keys)

stores = st.lists(st.binary(max_size=24), max_size=12).flatmap(
    lambda objects: st.tuples(
        st.just(objects),
        # (key, object ID) in the order add_key sees them; a later mapping of a key wins.
        st.lists(st.tuples(keys, st.integers(0, len(objects) - 1)), max_size=20) if objects else st.just([]),
        st.lists(keys, max_size=6),  # probes that may or may not be in the store
    ))


def as_bytes(key):
    return key.encode() if isinstance(key, str) else key


def text(key):
    return key.decode("utf-8", "replace")


@pytest.fixture(scope="module")
def store_path(tmp_path_factory):
    return str(tmp_path_factory.mktemp("model") / "model.trnk")


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(stores)
def test_builder_and_reader_agree_with_models(store_path, store):
    objects, mappings, probes = store
    w = _tarnkv._TarnWriter()
    assert [w.add_object_raw(o) for o in objects] == list(range(len(objects)))
    model = {}
    for key, oid in mappings:
        w.add_key(key, oid)
        model[as_bytes(key)] = oid
    with quiet_stdout():
        w.build(store_path)

    ordered = sorted(model)  # bytes sort unsigned, shorter prefix first: the index order
    offsets = record_offsets(objects)
    with open(store_path, "rb") as f:
        assert f.read() == raw_store(objects, [(k, offsets[model[k]]) for k in ordered])

    r = _tarnkv._TarnReader(store_path)
    assert r.verify() is True
    assert r.keys() == [text(k) for k in ordered]
    assert r.items_raw() == [(text(k), objects[model[k]]) for k in ordered]
    first_use = list(dict.fromkeys(model[k] for k in ordered))
    assert r.objects_raw() == [objects[i] for i in first_use]
    for probe in [as_bytes(p) for p in probes] + ordered:
        expected = objects[model[probe]] if probe in model else None
        assert r.get_raw(probe) == expected
        assert r.exists(probe) is (expected is not None)
        for cut in range(len(probe) + 1):
            prefix = probe[:cut]
            assert r.prefix_raw(prefix) == [(text(k), objects[model[k]]) for k in ordered if k.startswith(prefix)]
