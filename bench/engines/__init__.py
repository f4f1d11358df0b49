"""The stores compared by bench/compare.py, one module each.

Every engine module defines:

    LABEL          name shown in the tables
    BYTES_KEYS     True when lookups take bytes: the probe key lists are then encoded once,
                   before timing, so the timed loop is the same for every engine
    build(pairs, directory)  -> dict of extra figures (seconds); pairs is a list of
                   (str key, bytes value) in shuffled order; everything the engine needs
                   (encoding, sorting, a final sync) happens inside build
    open(directory, verify)  -> a handle (verify only matters for engines that check on open)
    close(handle)
    ops(handle)    -> dict of callables made once, outside the timed loops:
                   get(key) -> bytes | None, exists(key) -> bool, prefix(str) -> list,
                   items() -> list, integrity() -> object (or None when the engine has none)
    NOTES          dict of operation -> note on how the operation is done
"""

import importlib

ENGINES = {
    "tarnkv": "engines.tarn",
    "lmdb": "engines.lmdb_store",
    "leveldb": "engines.leveldb_store",
    "sqlite": "engines.sqlite_store",
    "dict": "engines.pickle_dict",
}


def load(name):
    return importlib.import_module(ENGINES[name])
