"""LevelDB through plyvel: one write batch, then a full compaction."""

import plyvel

LABEL = "LevelDB"
BYTES_KEYS = True
NOTES = {
    "build": "keys encoded inside the batch loop, one write batch, then compact_range(); "
    "bloom filter 10 bits/key",
    "open": "plyvel.DB(directory) (default 8 MiB block cache)",
    "get": "db.get(key) with probe keys pre-encoded to bytes before timing",
    "exists": "db.get(key) (no cheaper presence check)",
    "prefix": "list(db.iterator(prefix=...))",
    "items": "list(db.iterator()): (bytes, bytes) pairs, keys not decoded",
    "integrity": "list(db.iterator(verify_checksums=True, fill_cache=False)): block CRCs",
}


def build(pairs, directory):
    db = plyvel.DB(directory, create_if_missing=True, error_if_exists=True, bloom_filter_bits=10)
    wb = db.write_batch()
    put = wb.put
    for k, v in pairs:
        put(k.encode(), v)
    wb.write()
    db.compact_range()
    db.close()
    return {}


def open(directory, verify):
    return plyvel.DB(directory, bloom_filter_bits=10)


def close(db):
    db.close()


def ops(db):
    def prefix(p):
        return list(db.iterator(prefix=p.encode()))

    def items():
        return list(db.iterator())

    def integrity():
        n = 0
        for _ in db.iterator(verify_checksums=True, fill_cache=False):
            n += 1
        return n

    return {
        "get": db.get,
        "exists": db.get,
        "prefix": prefix,
        "items": items,
        "integrity": integrity,
    }


def version():
    return f"plyvel {plyvel.__version__}, LevelDB {plyvel.__leveldb_version__}"
