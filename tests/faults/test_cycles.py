"""Reference cycles through the objects that hold a reader (a walk, a view of an object) are
collected like any other: a codec that keeps what it is handed, for a store or a set, does not
keep the reader, and so the store's mapping, alive after gc.collect()."""

import gc
import os
import weakref

import msgpack
import pytest

import tarnkv
import tarnkv.sets

ROUNDS = 50


class KeepsWhatItServes(tarnkv.Codec):
    """A codec holding an object made from the reader it serves: codec -> it -> reader -> codec."""

    __slots__ = ("kept",)

    def __init__(self):
        super().__init__(msgpack.packb, msgpack.unpackb, name="keeps")
        self.kept = None


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    base = tmp_path_factory.mktemp("cycles")
    w = tarnkv.TarnWriter()
    for i in range(20):
        w.put(f"k{i:02d}", {"i": i})
    w.build(base / "one.trnk")
    tarnkv.sets.merge([base / "one.trnk"], base / "set", shards=2)
    return base


def mappings(directory):
    """How many mappings of files under *directory* the process holds."""
    prefix = os.path.realpath(directory) + os.sep
    with open("/proc/self/maps") as f:
        return sum(1 for line in f if line.rstrip("\n").split(None, 5)[-1].startswith(prefix))


MAKERS = {
    "iterator": lambda r: iter(r.items()),
    "keys": lambda r: iter(r),
    "view": lambda r: r.get_view("k03"),
}


@pytest.mark.parametrize("kind", ["one.trnk", "set"])
@pytest.mark.parametrize("made", sorted(MAKERS))
def test_a_cycle_through_a_walk_or_a_view_is_collected(stores, kind, made):
    path = stores / kind
    gc.collect()
    mapped = mappings(stores)
    gone = []
    for _ in range(ROUNDS):
        codec = KeepsWhatItServes()
        reader = tarnkv.open(path, codec=codec)
        codec.kept = MAKERS[made](reader)
        bytes(codec.kept) if made == "view" else next(codec.kept)  # in use, not just made
        gone.append(weakref.ref(reader))
        del reader, codec
    gc.collect()
    assert sum(ref() is not None for ref in gone) == 0
    assert mappings(stores) == mapped
