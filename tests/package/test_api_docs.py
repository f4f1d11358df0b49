"""Every public name of the package says what it is."""

import inspect

import pytest

import tarnkv
from tarnkv import codec, errors, files, records

CLASSES = [tarnkv.TarnReader, tarnkv.TarnWriter, tarnkv.BuildResult, tarnkv.Codec]


def public_members(cls):
    for name, value in inspect.getmembers(cls):
        if not name.startswith("_") and (callable(value) or isinstance(value, property)):
            yield name, value
        elif name in ("__getitem__", "__contains__", "__iter__", "__len__", "__enter__", "__exit__"):
            yield name, value


@pytest.mark.parametrize("module", [tarnkv, errors, codec, records, files])
def test_modules_and_their_names_have_docstrings(module):
    assert module.__doc__
    for name in getattr(module, "__all__", []):
        obj = getattr(module, name)
        if inspect.ismodule(obj) or isinstance(obj, str):
            continue
        assert obj.__doc__ and obj.__doc__.strip(), name


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_public_methods_have_docstrings(cls):
    missing = [name for name, member in public_members(cls) if not (getattr(member, "__doc__", None) or "").strip()]
    assert missing == []
