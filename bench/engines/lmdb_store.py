"""LMDB through the lmdb binding: sorted bulk insert with append, read-only environment."""

import time

import lmdb

LABEL = "LMDB"
BYTES_KEYS = True
NOTES = {
    "build": "keys encoded and the pairs sorted (timed, part of the build), then one write "
    "transaction with cursor.putmulti(append=True); commit syncs",
    "open": "lmdb.open(readonly=True, lock=False) + a read transaction",
    "get": "txn.get(key) with probe keys pre-encoded to bytes before timing",
    "exists": "cursor.set_key(key): positions without copying the value",
    "prefix": "cursor.set_range(prefix) then iterate while the key has the prefix "
    "(a Python loop: the binding has no range call)",
    "items": "list(cursor.iternext()): (bytes, bytes) pairs, keys not decoded",
    "integrity": "n/a (no checksums)",
}

MAP_SIZE = 1 << 40  # address space only; the file grows with the data


def build(pairs, directory):
    t0 = time.perf_counter()
    items = sorted((k.encode(), v) for k, v in pairs)
    prep = time.perf_counter() - t0
    env = lmdb.open(directory, map_size=MAP_SIZE, subdir=True, readahead=False)
    with env.begin(write=True) as txn:
        added, consumed = txn.cursor().putmulti(items, append=True)
        assert added == len(items) == consumed
    env.close()
    return {"encode_sort_s": prep}


class _Handle:
    def __init__(self, directory):
        self.env = lmdb.open(directory, subdir=True, readonly=True, lock=False, readahead=False)
        self.txn = self.env.begin(buffers=False)


def open(directory, verify):
    return _Handle(directory)


def close(h):
    h.txn.abort()
    h.env.close()


def ops(h):
    txn = h.txn
    presence = txn.cursor()
    scan = txn.cursor()

    def prefix(p):
        pb = p.encode()
        out = []
        if scan.set_range(pb):
            for k, v in scan:
                if not k.startswith(pb):
                    break
                out.append((k, v))
        return out

    def items():
        return list(txn.cursor().iternext())

    return {
        "get": txn.get,
        "exists": presence.set_key,
        "prefix": prefix,
        "items": items,
        "integrity": None,
    }


def version():
    return f"py-lmdb {lmdb.__version__}, LMDB {'.'.join(map(str, lmdb.version()))}"
