"""A plain dict saved and loaded with pickle."""

import bisect
import builtins
import os
import pickle

LABEL = "dict+pickle"
BYTES_KEYS = False
NOTES = {
    "build": "dict(pairs), pickle.dump (highest protocol), then fsync like the others",
    "open": "pickle.load of the whole dict",
    "get": "dict.get",
    "exists": "dict.__contains__",
    "prefix": "bisect on a sorted key list (sorted once, before timing; its cost is "
    "reported as the setup time) + one dict lookup per match",
    "items": "list(d.items())",
    "integrity": "n/a",
}


def _path(directory):
    return os.path.join(directory, "store.pickle")


def build(pairs, directory):
    d = dict(pairs)
    with builtins.open(_path(directory), "wb") as f:
        pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)
        f.flush()
        os.fsync(f.fileno())
    return {}


def open(directory, verify):
    with builtins.open(_path(directory), "rb") as f:
        return pickle.load(f)


def close(d):
    pass


def ops(d):
    skeys = sorted(d)  # the worker reports this as the setup time of ops()
    left = bisect.bisect_left

    def prefix(p):
        end = p[:-1] + chr(ord(p[-1]) + 1)
        lo = left(skeys, p)
        hi = left(skeys, end, lo)
        return [(k, d[k]) for k in skeys[lo:hi]]

    def items():
        return list(d.items())

    return {
        "get": d.get,
        "exists": d.__contains__,
        "prefix": prefix,
        "items": items,
        "integrity": None,
    }


def version():
    import sys

    return f"pickle protocol {pickle.HIGHEST_PROTOCOL}, Python {sys.version.split()[0]}"
