"""SQLite: a WITHOUT ROWID table, read back immutable with a memory map."""

import os
import sqlite3

LABEL = "SQLite"
BYTES_KEYS = False
NOTES = {
    "build": "one transaction of executemany INSERT into t(k TEXT PRIMARY KEY, v BLOB) "
    "WITHOUT ROWID, default journal and synchronous=FULL",
    "open": "connect('file:...?immutable=1', uri=True) + PRAGMA mmap_size=1 TiB",
    "get": "a closure: execute('SELECT v FROM t WHERE k=?').fetchone()",
    "exists": "a closure: execute('SELECT 1 FROM t WHERE k=?').fetchone() is not None",
    "prefix": "SELECT k, v FROM t WHERE k >= ? AND k < ? (fetchall)",
    "items": "SELECT k, v FROM t (fetchall; table order is key order)",
    "integrity": "PRAGMA integrity_check",
}


def _path(directory):
    return os.path.join(directory, "store.sqlite")


def build(pairs, directory):
    con = sqlite3.connect(_path(directory), isolation_level=None)
    con.execute("CREATE TABLE t (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID")
    con.execute("BEGIN")
    con.executemany("INSERT INTO t VALUES (?, ?)", pairs)
    con.execute("COMMIT")
    con.close()
    return {}


def open(directory, verify):
    con = sqlite3.connect(f"file:{_path(directory)}?immutable=1", uri=True)
    con.execute("PRAGMA mmap_size=1099511627776")
    return con


def close(con):
    con.close()


def ops(con):
    execute = con.execute

    def get(k):
        row = execute("SELECT v FROM t WHERE k=?", (k,)).fetchone()
        return None if row is None else row[0]

    def exists(k):
        return execute("SELECT 1 FROM t WHERE k=?", (k,)).fetchone() is not None

    def prefix(p):
        end = p[:-1] + chr(ord(p[-1]) + 1)
        return execute("SELECT k, v FROM t WHERE k >= ? AND k < ?", (p, end)).fetchall()

    def items():
        return execute("SELECT k, v FROM t").fetchall()

    def integrity():
        (result,) = execute("PRAGMA integrity_check").fetchone()
        assert result == "ok", result
        return result

    return {"get": get, "exists": exists, "prefix": prefix, "items": items, "integrity": integrity}


def version():
    return f"SQLite {sqlite3.sqlite_version}"
