"""This module: _TarnWriter / _TarnReader from tarnkv._tarnkv."""

import os
import time

from tarnkv._tarnkv import _TarnReader, _TarnWriter

LABEL = "tarnkv"
BYTES_KEYS = False
NOTES = {
    "build": "add_object_raw + add_key per record, then build (sorts, writes, fsyncs, renames)",
    "open": "_TarnReader(path, verify=False); the verify=True row adds the whole-file CRC",
    "exists": "exists(key)",
    "prefix": "prefix_raw(prefix)",
    "items": "items_raw()",
    "integrity": "verify()",
}


def _path(directory):
    return os.path.join(directory, "store.trnk")


def build(pairs, directory):
    t0 = time.perf_counter()
    w = _TarnWriter()
    add_object = w.add_object_raw
    add_key = w.add_key
    for k, v in pairs:
        add_key(k, add_object(v))
    t1 = time.perf_counter()
    # build() prints its summary line on fd 1, which the driver captures.
    w.build(_path(directory))
    return {"add_calls_s": t1 - t0, "build_call_s": time.perf_counter() - t1}


def open(directory, verify):
    return _TarnReader(_path(directory), verify=verify)


def close(r):
    r.close()


def index_section_bytes(r, directory):
    return os.path.getsize(_path(directory)) - r.stats()["index_offset"]


def ops(r):
    return {
        "get": r.get_raw,
        "exists": r.exists,
        "prefix": r.prefix_raw,
        "items": r.items_raw,
        "integrity": r.verify,
    }


def version():
    from tarnkv import _tarnkv

    return f"tarnkv {_tarnkv.__version__}"
