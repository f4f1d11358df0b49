"""TarnReader as a Mapping, compared with a plain dict holding the same data.

The model is a dict from key bytes to objects; a reader must answer every question the same
way, for keys given as str or as bytes, and iterate in unsigned bytewise key order."""

import os
from collections.abc import ItemsView, KeysView, Mapping, ValuesView

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnkv

# Short keys from a small alphabet, so that prefixes and shared beginnings are common; bytes
# above 0x7f make keys that are not UTF-8.
key_bytes = st.binary(min_size=0, max_size=6).map(lambda b: bytes(c % 6 + (0x61 if c < 200 else 0xC0) for c in b))
values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=5) | st.binary(max_size=5),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3) | st.integers(0, 9), inner,
                                                                max_size=3),
    max_leaves=6,
)
models = st.dictionaries(key_bytes, values, max_size=25)


def as_str(b):
    return b.decode("utf-8", "surrogateescape")


def build_reader(tmp_path, model, **options):
    path = tmp_path / "m.trnk"
    w = tarnkv.TarnWriter(**options)
    for k, v in model.items():
        w.put(k, v)
    w.build(path)
    return tarnkv.open(path, **options)


SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@SETTINGS
@given(model=models, probes=st.lists(key_bytes, max_size=10))
def test_reader_answers_like_a_dict(tmp_path, model, probes):
    order = sorted(model)
    with build_reader(tmp_path, model) as r:
        assert isinstance(r, Mapping)
        assert len(r) == len(model)
        assert list(r) == [as_str(k) for k in order]
        assert list(r.keys(raw=True)) == order
        assert list(r.values()) == [model[k] for k in order]
        assert list(r.items()) == [(as_str(k), model[k]) for k in order]
        assert r == {as_str(k): v for k, v in model.items()}
        for k in list(model) + probes:
            present = k in model
            for form in (k, as_str(k)):
                assert (form in r) is present
                assert r.get(form, "absent") == model.get(k, "absent")
                if present:
                    assert r[form] == model[k]
                else:
                    with pytest.raises(KeyError):
                        r[form]
        assert r.get_many(probes + list(model), default="absent") == [model.get(k, "absent")
                                                                      for k in probes + list(model)]


@SETTINGS
@given(model=models, prefix=key_bytes, limit=st.none() | st.integers(0, 5))
def test_prefix_scans_match_the_sorted_model(tmp_path, model, prefix, limit):
    expected = [(as_str(k), model[k]) for k in sorted(model) if k.startswith(prefix)]
    with build_reader(tmp_path, model) as r:
        for form in (prefix, as_str(prefix)):
            assert r.count_prefix(form) == len(expected)
            assert list(r.prefix(form, limit=limit)) == expected[:limit]
            assert [k for k, _ in r.prefix_raw(form)] == [k for k, _ in expected]
            assert list(r.prefix_keys(form, raw=True)) == [k.encode("utf-8", "surrogateescape")
                                                           for k, _ in expected]


@pytest.mark.parametrize("codec", ["msgpack", None])
def test_raw_forms_give_the_stored_bytes(tmp_path, codec):
    import msgpack

    model = {b"a": [1, 2], b"b": {"x": b"y"}} if codec else {b"a": b"\x00\x01", b"b": b""}
    stored = {k: msgpack.packb(v, use_bin_type=True) if codec else v for k, v in model.items()}
    with build_reader(tmp_path, model, codec=codec) as r:
        assert r.get_raw("a") == stored[b"a"]
        assert r.get_raw("zz", b"-") == b"-"
        assert list(r.items_raw()) == [("a", stored[b"a"]), ("b", stored[b"b"])]
        assert list(r.values_raw()) == [stored[b"a"], stored[b"b"]]
        assert r.get_many_raw(["b", "zz", 7]) == [stored[b"b"], None, None]
        view = r.get_view(b"a")
        assert isinstance(view, memoryview) and view.readonly and bytes(view) == stored[b"a"]
        assert r.get_view("zz") is None


def test_views_and_iterators_are_lazy_views(tmp_path):
    with build_reader(tmp_path, {b"b": 2, b"a": 1}) as r:
        keys, values, items = r.keys(), r.values(), r.items()
        assert isinstance(keys, KeysView) and isinstance(values, ValuesView) and isinstance(items, ItemsView)
        assert "a" in keys and b"a" in keys and "c" not in keys
        assert 2 in values and ("a", 1) in items and ("a", 2) not in items
        it = iter(r)
        assert it.__length_hint__() == 2
        assert next(it) == "a"
        assert it.__length_hint__() == 1


def test_keys_that_are_not_utf8_round_trip(tmp_path):
    model = {b"\xff\xfe": 1, b"caf\xc3\xa9": 2, b"\xc3": 3, b"": 4}
    with build_reader(tmp_path, model) as r:
        for key in r:
            assert r[key] == model[os.fsencode(key)]
        assert sorted(r.keys(raw=True)) == sorted(model)
        assert r["café"] == 2 and r["\udcff\udcfe"] == 1


@pytest.mark.parametrize("key", [1, 1.5, None, ("a",), bytearray(b"a"), "\ud800"])
def test_keys_of_other_types_are_simply_absent(tmp_path, key):
    with build_reader(tmp_path, {b"a": 1}) as r:
        assert key not in r
        assert r.get(key) is None
        with pytest.raises(KeyError):
            r[key]
        assert r.get_many([key, "a"]) == [None, 1]
