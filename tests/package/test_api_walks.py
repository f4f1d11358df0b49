"""Walks and prefix scans at the edges of how they are made: answers made ahead in batches (a
store of 63, 64, 65 keys; a close() or a bad record right at a batch's end), compressed stores
through every walk, and prefix runs that begin or end on either side of the index's marks."""

import struct
import zlib

import msgpack
import pytest

import tarnkv
from tarnkv import _tarnkv
from store_helpers import damage_object


WALKS = {
    "items_raw": lambda r: r.items_raw(),
    "values_raw": lambda r: r.values_raw(),
    "items": lambda r: iter(r.items()),
    "values": lambda r: iter(r.values()),
    "keys": lambda r: iter(r),
    "keys_raw": lambda r: iter(r.keys(raw=True)),
}


def expected(walk, model):
    """What a walk named *walk* yields over a store of *model* (str keys, objects), in order."""
    order = sorted(model)
    packed = {k: msgpack.packb(model[k]) for k in order}
    return {
        "items_raw": [(k, packed[k]) for k in order],
        "values_raw": [packed[k] for k in order],
        "items": [(k, model[k]) for k in order],
        "values": [model[k] for k in order],
        "keys": order,
        "keys_raw": [k.encode() for k in order],
    }[walk]


@pytest.mark.parametrize("compression", [None, "zstd"])
@pytest.mark.parametrize("n", [0, 1, 63, 64, 65, 129])
def test_every_walk_yields_each_entry_once_across_batches(build, n, compression):
    # Objects big and alike enough that the compressed store really compresses them.
    model = {f"k{i:04d}": f"object {i} " + "payload " * (i % 7) for i in range(n)}
    with tarnkv.open(build(model, compression=compression)) as r:
        assert r.compression == compression
        for name, walk in WALKS.items():
            it = walk(r)
            assert it.__length_hint__() == n
            got = list(it)
            assert got == expected(name, model), name
            assert next(it, "end") == "end" and it.__length_hint__() == 0
        # Runs from the middle, cut short by a limit at and around a batch's length.
        for limit in (0, 1, 63, 64, 65, None):
            assert list(r.prefix_raw("k", limit=limit)) == expected("items_raw", model)[:limit]
            assert list(r.prefix_keys("k0", limit=limit)) == [k for k in sorted(model) if k.startswith("k0")][:limit]


@pytest.mark.parametrize("walk", ["items_raw", "values_raw", "keys", "keys_raw"])
@pytest.mark.parametrize("taken", [63, 64, 65])
def test_a_close_between_batches_ends_the_walk(build, walk, taken):
    with tarnkv.open(build({f"k{i:03d}": i for i in range(200)})) as r:
        it = WALKS[walk](r)
        head = [next(it) for _ in range(taken)]
        assert head == expected(walk, {f"k{i:03d}": i for i in range(200)})[:taken]
        assert it.__length_hint__() == 200 - taken
        r.close()
        with pytest.raises(ValueError, match="closed store"):
            next(it)


@pytest.mark.parametrize("bad", [0, 63, 64, 65])
def test_a_bad_record_at_a_batch_edge_raises_at_its_own_turn(build, bad):
    n = 130
    path = build({f"k{i:03d}": f"object {i}" for i in range(n)})
    offset = damage_object(path, bad)
    with tarnkv.open(path) as r:
        for walk in (r.items_raw, r.values_raw):
            it = walk()
            before = [next(it) for _ in range(bad)]
            assert len(before) == bad
            with pytest.raises(tarnkv.CorruptStoreError) as info:
                next(it)
            assert (info.value.key, info.value.offset) == (f"k{bad:03d}", offset)
            assert len(list(it)) == n - bad - 1  # and goes on past it
        # The keys alone never read the record.
        assert len(list(r)) == n


def test_prefix_runs_on_both_sides_of_the_marks(build):
    # Groups of 1 to 40 keys, so that runs start and end at every place relative to the index's
    # marks; every prefix of every key is scanned, with prefixes between and around the keys.
    keys = [f"g{g:02d}/{j:02d}" for g in range(40) for j in range(g % 40 + 1)]
    path = build({k: len(k) for k in keys})
    keys.sort()
    probes = {k[:i] for k in keys for i in range(len(k) + 1)}
    probes |= {p + "\x00" for p in list(probes)} | {"", "0", "h", "g00/00/", "g40", "g39/40", "\xff"}
    raw = _tarnkv._TarnReader(str(path))
    with tarnkv.open(path) as r:
        for p in sorted(probes):
            run = [k for k in keys if k.startswith(p)]
            assert r.count_prefix(p) == len(run), p
            assert list(r.prefix_keys(p)) == run, p
            assert [k for k, _ in raw.prefix_raw(p)] == run, p
            assert list(r.prefix(p, limit=3)) == [(k, len(k)) for k in run[:3]], p


def test_prefix_scans_take_their_arguments_as_the_mapping_does(build):
    # The reader's own prefix() and prefix_raw() against the generic scan every mapping uses.
    model = {f"k{i:03d}": i for i in range(150)}
    with tarnkv.open(build(model)) as r:
        for p, limit in [("k1", None), (b"k1", 7), ("k", 0), ("k", 200), ("", 3), ("z", None), ("k14", True)]:
            assert list(r.prefix_raw(p, limit=limit)) == list(r._scan(tarnkv._native.SCAN_ITEMS_RAW, p, limit))
            assert list(r.prefix(prefix=p, limit=limit)) == list(r._scan(tarnkv._native.SCAN_ITEMS, p, limit))
        assert r.prefix_raw("k0").__length_hint__() == 100
        with pytest.raises(TypeError):
            r.prefix_raw("k", 3)  # the limit is keyword-only
        with pytest.raises(TypeError):
            r.prefix()
        with pytest.raises(TypeError, match="prefix must be str or bytes, not int"):
            r.prefix_raw(1)
        with pytest.raises(ValueError, match="limit must be None or at least 0, not -1"):
            r.prefix_raw("k", limit=-1)
        with pytest.raises(TypeError):
            r.prefix("k", limit="3")
    with pytest.raises(ValueError, match="closed store"):
        r.prefix_raw("k")


# --- Batches from compressed stores -----------------------------------------------------------

def big_records(n):
    """n objects of about 1 KiB each, alike enough to compress: over 4 MiB in all from 4,500 on."""
    return {f"r{i:05d}": {"id": i, "text": f"record {i} " * (60 + i % 40), "tags": [i % 7, i % 11]}
            for i in range(n)}


def test_large_compressed_batches_match_the_plain_store(build):
    model = big_records(6000)
    packed, plain = build(model, compression="zstd"), build(model)
    keys = sorted(model, key=lambda k: (int(k[1:]) * 7919) % 6000)  # scattered, not key order
    asked = keys[:3000] + ["absent", b"r00001", 7] + keys[3000:]
    with tarnkv.open(packed) as r, tarnkv.open(plain) as u:
        assert r.compression == "zstd"
        raw = r.get_many_raw(asked, default=b"-")
        assert raw == u.get_many_raw(asked, default=b"-")
        assert raw[3000:3003] == [b"-", u.get_raw("r00001"), b"-"]
        assert r.get_many(asked) == [model.get(k if isinstance(k, str) else "", None) if k != b"r00001"
                                     else model["r00001"] for k in asked]
        # Just under and over the size from which a batch is decompressed apart.
        for n in (4095, 4096, 4097):
            assert r.get_many_raw(keys[:n]) == u.get_many_raw(keys[:n])


def test_a_damaged_object_in_a_large_compressed_batch_names_its_key(build, tmp_path):
    model = big_records(5000)
    path = build(model, compression="zstd")
    data = bytearray(path.read_bytes())
    victim = 4600  # in the second piece the batch decompresses
    pos = 40
    pos += 8 + struct.unpack_from(">I", data, pos)[0]  # the dictionary record
    for _ in range(victim):
        pos += 8 + struct.unpack_from(">I", data, pos)[0]
    n = struct.unpack_from(">I", data, pos)[0]
    body = bytearray(data[pos + 8:pos + 8 + n])
    assert body[0] != 0  # compressed
    body[2] ^= 0x01  # the content size, now wrong; the record's CRC is made right again
    data[pos + 8:pos + 8 + n] = body
    struct.pack_into(">I", data, pos + 4, zlib.crc32(body))
    bad = tmp_path / "bad.trnk"
    bad.write_bytes(bytes(data))
    keys = sorted(model)
    with tarnkv.open(bad, verify=False) as r:
        assert r.get_many(keys[:victim]) == [model[k] for k in keys[:victim]]
        for read in (r.get_many, r.get_many_raw):
            with pytest.raises(tarnkv.CorruptStoreError, match=f"'r{victim:05d}'"):
                read(keys)
