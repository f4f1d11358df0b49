"""Fixtures for the package tests: stores built through the public writer."""

import struct
import zlib

import pytest

import tarnkv


@pytest.fixture
def build(tmp_path):
    """build(mapping, **writer options) -> path of a store holding each value under its key."""
    counter = iter(range(1_000_000))

    def make(mapping, name=None, **options):
        path = tmp_path / (name or f"s{next(counter)}.trnk")
        w = tarnkv.TarnWriter(**options)
        for key, value in mapping.items():
            w.put(key, value)
        w.build(path)
        return path

    return make


def first_record(path):
    """(offset, length) of the first object record of a store file."""
    blob = path.read_bytes()
    (length,) = struct.unpack_from(">I", blob, 40)
    return 40, length


def rewrite_body_crc(blob):
    """The file with its header CRC made right again for its (changed) body."""
    blob = bytearray(blob)
    struct.pack_into(">I", blob, 32, zlib.crc32(bytes(blob[40:])))
    return bytes(blob)
