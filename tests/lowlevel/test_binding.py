"""The argument binding rule, once per message class, over the callables that can meet it."""

import pytest

from tarnkv import _tarnkv

W, R = _tarnkv._TarnWriter, _tarnkv._TarnReader


@pytest.fixture
def reader(make_store):
    return R(make_store({"a": b"x"}))


def call(target, reader, *args, **kwargs):
    if target == "W":
        return W(*args, **kwargs)
    if target == "R":
        return R(*args, **kwargs)
    obj = reader if target.startswith("r.") else W()
    return getattr(obj, target[2:])(*args, **kwargs)


@pytest.mark.parametrize("target, args, kwargs, message", [
    # too many positional arguments
    ("W", (1,), {}, "_TarnWriter.__new__() takes 0 positional arguments but 1 was given"),
    ("W", (1, 2), {}, "_TarnWriter.__new__() takes 0 positional arguments but 2 were given"),
    ("R", ("p", True, 1), {}, "_TarnReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("r.get_raw", (b"a", b"b"), {}, "_TarnReader.get_raw() takes 1 positional arguments but 2 were given"),
    ("r.exists", (b"a", b"b"), {}, "_TarnReader.exists() takes 1 positional arguments but 2 were given"),
    ("r.prefix_raw", (b"a", b"b"), {}, "_TarnReader.prefix_raw() takes 1 positional arguments but 2 were given"),
    ("r.__exit__", (1, 2, 3, 4), {}, "_TarnReader.__exit__() takes 3 positional arguments but 4 were given"),
    ("w.add_object_raw", (b"a", b"b"), {},
     "_TarnWriter.add_object_raw() takes 1 positional arguments but 2 were given"),
    ("w.add_key", (b"a", 0, 0), {}, "_TarnWriter.add_key() takes 2 positional arguments but 3 were given"),
    ("w.build", ("a", "b"), {}, "_TarnWriter.build() takes 1 positional arguments but 2 were given"),
    # unexpected keyword
    ("W", (), {"x": 1}, "_TarnWriter.__new__() got an unexpected keyword argument 'x'"),
    ("R", ("p",), {"verif": True}, "_TarnReader.__new__() got an unexpected keyword argument 'verif'"),
    ("r.get_raw", (), {"k": b"a"}, "_TarnReader.get_raw() got an unexpected keyword argument 'k'"),
    ("r.prefix_raw", (), {"key": b"a"}, "_TarnReader.prefix_raw() got an unexpected keyword argument 'key'"),
    ("w.add_key", (), {"key": b"a", "id": 0}, "_TarnWriter.add_key() got an unexpected keyword argument 'id'"),
    # multiple values
    ("r.get_raw", (b"a",), {"key": b"a"}, "_TarnReader.get_raw() got multiple values for argument 'key'"),
    ("R", ("p", True), {"verify": True}, "_TarnReader.__new__() got multiple values for argument 'verify'"),
    ("w.add_key", (b"a", 0), {"obj_id": 0}, "_TarnWriter.add_key() got multiple values for argument 'obj_id'"),
    ("w.build", ("p",), {"path": "p"}, "_TarnWriter.build() got multiple values for argument 'path'"),
    # missing required arguments: one, two, three names
    ("R", (), {}, "_TarnReader.__new__() missing 1 required positional argument: 'path'"),
    ("R", (), {"verify": True}, "_TarnReader.__new__() missing 1 required positional argument: 'path'"),
    ("r.get_raw", (), {}, "_TarnReader.get_raw() missing 1 required positional argument: 'key'"),
    ("r.exists", (), {}, "_TarnReader.exists() missing 1 required positional argument: 'key'"),
    ("r.prefix_raw", (), {}, "_TarnReader.prefix_raw() missing 1 required positional argument: 'prefix'"),
    ("w.add_object_raw", (), {}, "_TarnWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
    ("w.add_key", (), {}, "_TarnWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
    ("w.add_key", (), {"obj_id": 0}, "_TarnWriter.add_key() missing 1 required positional argument: 'key'"),
    ("w.build", (), {}, "_TarnWriter.build() missing 1 required positional argument: 'path'"),
    ("r.__exit__", (), {},
     "_TarnReader.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"),
    ("r.__exit__", (None,), {"_exc_tb": None},
     "_TarnReader.__exit__() missing 1 required positional argument: '_exc_val'"),
])
def test_binding_messages(reader, target, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        call(target, reader, *args, **kwargs)
    assert type(e.value) is TypeError
    assert e.value.args == (message,)


def test_binding_fails_before_any_conversion(reader):
    # An unconvertible argument is not looked at when the call shape is already wrong.
    with pytest.raises(TypeError, match="takes from 1 to 2"):
        R(b"not a str", 1, 2)
    with pytest.raises(TypeError, match="unexpected keyword"):
        W().add_key(1, "x", nope=1)


@pytest.mark.parametrize("name", ["keys", "items_raw", "objects_raw", "stats", "verify", "close", "__enter__"])
def test_methods_without_parameters_refuse_arguments(reader, name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(reader, name)(1)
    with pytest.raises(TypeError):
        getattr(reader, name)(x=1)


def test_every_parameter_can_be_given_by_keyword(reader, make_store):
    assert reader.get_raw(key="a") == b"x"
    assert reader.exists(key=b"a") is True
    assert reader.prefix_raw(prefix="") == [("a", b"x")]
    assert reader.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is False
    assert R(path=make_store(), verify=False).keys() == []


def test_keyword_names_need_not_be_interned(reader):
    name = "".join(["k", "e", "y"])  # a fresh, non-interned string
    assert reader.get_raw(**{name: "a"}) == b"x"
