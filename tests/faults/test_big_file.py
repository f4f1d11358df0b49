"""A store larger than 4 GiB: objects beyond 4 GiB are found, read and verified, and offsets in
messages are full 64-bit numbers. The file is crafted sparse: one zero-filled object of
2^32 - 1 bytes (a hole on disk), then a few real records and the index."""

import os
import struct
import zlib

import pytest

import tarnkv
from tarnkv import _tarnkv

ZERO_LEN = 2**32 - 1
CHUNK = 1 << 26


def crc_of_zeros(n, crc=0):
    zeros = bytes(CHUNK)
    while n:
        step = min(n, CHUNK)
        crc = zlib.crc32(memoryview(zeros)[:step], crc)
        n -= step
    return crc


@pytest.fixture(scope="module")
def big_store(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.trnk"
    zero_crc = crc_of_zeros(ZERO_LEN)
    tail_objects = [b"beyond four gigabytes", b"", b"\x93\x01\x02\x03"]
    offsets = [40]
    tail = b""
    pos = 40 + 8 + ZERO_LEN
    for obj in tail_objects:
        offsets.append(pos + len(tail))
        tail += struct.pack(">II", len(obj), zlib.crc32(obj)) + obj
    keys = [(b"t0", offsets[1]), (b"t1", offsets[2]), (b"t2", offsets[3]), (b"zeros", 40)]
    index = b"".join(struct.pack(">H", len(k)) + k + struct.pack(">Q", o) for k, o in keys)
    index_offset = pos + len(tail)
    record0 = struct.pack(">II", ZERO_LEN, zero_crc)
    body_crc = zlib.crc32(index, zlib.crc32(tail, crc_of_zeros(ZERO_LEN, zlib.crc32(record0))))
    header = b"TRNK\x02\0\0\0" + struct.pack(">IIQQI4x", len(keys), 4, index_offset, 40, body_crc)
    try:
        with open(path, "wb") as f:
            f.write(header + record0)
            f.seek(pos)
            f.write(tail + index)
    except OSError as e:
        pytest.skip(f"the file system cannot hold a sparse 4 GiB file: {e}")
    yield path, offsets
    os.unlink(path)


@pytest.mark.slow
def test_objects_beyond_four_gib_are_read_and_verified(big_store):
    path, offsets = big_store
    assert offsets[1] > 2**32
    r = _tarnkv._TarnReader(str(path))
    assert r.get_raw("t0") == b"beyond four gigabytes"
    assert r.get_raw(b"t1") == b""
    assert [k for k, _ in r.prefix_raw("t")] == ["t0", "t1", "t2"]
    assert r.stats()["index_offset"] > 2**32
    assert r.verify() is True


def test_offsets_beyond_four_gib_print_in_full(tmp_path):
    bad = 2**40 + 5
    crafted = tmp_path / "far.trnk"
    entry = struct.pack(">H", 1) + b"x" + struct.pack(">Q", bad)
    crafted.write_bytes(b"TRNK\x02\0\0\0" + struct.pack(">IIQQI4x", 1, 0, 40, 40, zlib.crc32(entry)) + entry)
    far = _tarnkv._TarnReader(str(crafted))
    assert far.exists("x")
    with pytest.raises(RuntimeError) as e:
        far.get_raw("x")
    assert e.value.args == (f"TarnCorruptError: offset {bad} out of bounds",)
    with pytest.raises(RuntimeError) as e:
        far.verify()
    assert e.value.args == (f"TarnCorruptError: object offset {bad} out of bounds",)


def test_the_package_reads_and_verifies_beyond_four_gib(big_store):
    path, offsets = big_store
    r = tarnkv.open(path, codec=None)
    assert r["t0"] == b"beyond four gigabytes"
    assert r.get_many(["t1", "t2", "zeros"])[:2] == [b"", b"\x93\x01\x02\x03"]
    assert bytes(r.get_view("t0")) == b"beyond four gigabytes"
    assert [k for k, _ in r.prefix_raw("t")] == ["t0", "t1", "t2"]
    assert r.stats()["index_offset"] > 2**32
    assert r.verify() is True
    # The msgpack default decodes the stored bytes; the bytes past 4 GiB are one MessagePack array.
    assert tarnkv.open(path, verify=False)["t2"] == [1, 2, 3]


def test_the_package_names_offsets_beyond_four_gib_in_full(tmp_path):
    bad = 2**40 + 5
    crafted = tmp_path / "far.trnk"
    entry = struct.pack(">H", 1) + b"x" + struct.pack(">Q", bad)
    crafted.write_bytes(b"TRNK\x02\0\0\0" + struct.pack(">IIQQI4x", 1, 0, 40, 40, zlib.crc32(entry)) + entry)
    far = tarnkv.open(crafted, codec=None)
    assert "x" in far
    with pytest.raises(tarnkv.CorruptStoreError) as e:
        far["x"]
    assert e.value.offset == bad and f"offset {bad} out of bounds" in str(e.value)
    with pytest.raises(tarnkv.CorruptStoreError) as e:
        far.verify()
    assert f"object offset {bad} out of bounds" in str(e.value)
