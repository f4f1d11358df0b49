"""Helpers shared by every Python test suite, importable as ``store_helpers`` (pytest puts
``tests/`` on ``sys.path``; see ``[tool.pytest.ini_options]`` in pyproject.toml).

Building stores through the writer, crafting store files byte by byte (including files the
writer never produces), parsing them back, silencing the build's summary line, and running
code in a child interpreter that imports the same ``tarnkv``. Fixtures built on these live in
``tests/conftest.py``.
"""

import os
import struct
import subprocess
import sys
import zlib

from tarnkv import _tarnkv

HEADER = struct.Struct(">4sB3xIIQQI4x")  # magic, version, num_keys, num_objects, index_offset, data_offset, crc


def as_key(k):
    return k.encode() if isinstance(k, str) else k


def write_store(path, mapping, extra_objects=()):
    """Builds a store with the writer: one object per distinct value, keys mapped to it."""
    w = _tarnkv._TarnWriter()
    ids = {}
    for value in list(mapping.values()) + list(extra_objects):
        if value not in ids:
            ids[value] = w.add_object_raw(value)
    for key, value in mapping.items():
        w.add_key(key, ids[value])
    w.build(str(path))
    return str(path)


def build_store(path, mapping):
    """Build a store at *path* from {key: object bytes}, one object per key; the build's
    summary line is swallowed. Returns the writer."""
    w = _tarnkv._TarnWriter()
    for key, obj in mapping.items():
        w.add_key(key, w.add_object_raw(obj))
    with quiet_stdout():
        w.build(str(path))
    return w


class quiet_stdout:
    """Redirect file descriptor 1 (where build() reports) to /dev/null for a block."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)
        return False


def child_env():
    """The environment for a child interpreter that must import the same tarnkv and helpers."""
    return {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


def run_python(code, *args, timeout=120, **kw):
    """Run *code* in a child interpreter that imports the same tarnkv."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=child_env(), **kw)


def record_offsets(objects):
    offsets, pos = [], HEADER.size
    for obj in objects:
        offsets.append(pos)
        pos += 8 + len(obj)
    return offsets


def raw_store(objects=(), index=(), *, magic=b"TRNK", version=2, num_keys=None, num_objects=None,
              index_offset=None, crc=None, object_crcs=None, index_bytes=None, tail=b""):
    """A store file's bytes, consistent unless told otherwise.

    index: (key, offset) pairs written in the given order (no sorting, duplicates kept).
    crc: the stored whole-file CRC (default: the right one for the body).
    """
    crcs = object_crcs or [zlib.crc32(o) for o in objects]
    data = b"".join(struct.pack(">II", len(o), c) + o for o, c in zip(objects, crcs))
    if index_bytes is None:
        index_bytes = b"".join(struct.pack(">H", len(as_key(k))) + as_key(k) + struct.pack(">Q", off)
                               for k, off in index)
    body = data + index_bytes + tail
    header = HEADER.pack(
        magic, version,
        len(index) if num_keys is None else num_keys,
        len(objects) if num_objects is None else num_objects,
        HEADER.size + len(data) if index_offset is None else index_offset,
        HEADER.size,
        zlib.crc32(body) if crc is None else crc,
    )
    return header + body


def parse_store(blob):
    """(header fields, objects in file order, [(key bytes, object index)]) of a store file."""
    magic, version, nk, no, index_offset, data_offset, crc = HEADER.unpack_from(blob)
    objects, by_offset, pos = [], {}, HEADER.size
    for _ in range(no):
        n, ocrc = struct.unpack_from(">II", blob, pos)
        assert ocrc == zlib.crc32(blob[pos + 8:pos + 8 + n])
        by_offset[pos] = len(objects)
        objects.append(blob[pos + 8:pos + 8 + n])
        pos += 8 + n
    assert pos == index_offset
    entries = []
    for _ in range(nk):
        (klen,) = struct.unpack_from(">H", blob, pos)
        key = blob[pos + 2:pos + 2 + klen]
        (off,) = struct.unpack_from(">Q", blob, pos + 2 + klen)
        entries.append((key, by_offset[off]))
        pos += 10 + klen
    assert pos == len(blob)
    assert crc == zlib.crc32(blob[HEADER.size:])
    header = dict(magic=magic, version=version, num_keys=nk, num_objects=no,
                  index_offset=index_offset, data_offset=data_offset, file_crc32=crc)
    return header, objects, entries


def rss_kib():
    """The process's resident set size in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def rewrite_body_crc(blob):
    """The file with its header CRC made right again for its (changed) body."""
    blob = bytearray(blob)
    struct.pack_into(">I", blob, 32, zlib.crc32(bytes(blob[40:])))
    return bytes(blob)


def damage_object(path, index):
    """Flips a bit in the object of the store's *index*-th record (the file's CRC made right
    again, so that only the record's own check can tell); returns the record's offset."""
    blob = bytearray(path.read_bytes())
    offset = 40
    for _ in range(index):
        offset += 8 + struct.unpack_from(">I", blob, offset)[0]
    blob[offset + 8 + 3] ^= 0x20
    path.write_bytes(rewrite_body_crc(blob))
    return offset
