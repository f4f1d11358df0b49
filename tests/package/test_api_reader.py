"""TarnReader: per-read CRC checks, errors, close and views, verification, statistics."""

import errno
import os
import struct
import zlib

import pytest

import tarnkv
from store_helpers import damage_object, rewrite_body_crc


def first_record(path):
    """(offset, length) of the first object record of a store file."""
    blob = path.read_bytes()
    (length,) = struct.unpack_from(">I", blob, 40)
    return 40, length


def mapped(path):
    """Whether this process maps the file at *path*."""
    with open("/proc/self/maps") as f:
        return any(line.rstrip().endswith(str(path)) for line in f)


# --- Integrity ------------------------------------------------------------------------------

@pytest.fixture
def damaged(build, tmp_path):
    """A store whose first object has one byte flipped, with the whole-file CRC made right again
    (so opening with verify=True succeeds): only the object's own CRC can tell."""
    path = build({"a": "first object", "b": "second object"})
    offset, _ = first_record(path)
    blob = bytearray(path.read_bytes())
    blob[offset + 8 + 3] ^= 0x20
    path.write_bytes(rewrite_body_crc(blob))
    return path, offset


READS = {
    "getitem": lambda r: r["a"],
    "get": lambda r: r.get("a"),
    "get_raw": lambda r: r.get_raw("a"),
    "get_view": lambda r: r.get_view("a"),
    "get_many": lambda r: r.get_many(["b", "a"]),
    "get_many_raw": lambda r: r.get_many_raw(["a"]),
    "items": lambda r: list(r.items()),
    "values_raw": lambda r: list(r.values_raw()),
    "prefix": lambda r: list(r.prefix("a")),
}


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_check_reads_catches_a_flipped_object_byte(damaged, read):
    path, offset = damaged
    with tarnkv.open(path) as r:
        with pytest.raises(tarnkv.CorruptStoreError) as info:
            read(r)
        e = info.value
        assert (e.key, e.offset, e.path) == ("a", offset, str(path))
        assert f"offset {offset}" in str(e) and "'a'" in str(e) and str(path) in str(e)
        assert r["b"] == "second object"  # the other objects still read
    with tarnkv.open(path, check_reads=False) as r:
        assert read(r) is not None  # unchecked: the damage goes unseen
        with pytest.raises(tarnkv.CorruptStoreError, match="object CRC32 mismatch"):
            r.verify()


def test_opening_refuses_damaged_and_foreign_files(build, tmp_path):
    path = build({"a": 1})
    blob = path.read_bytes()
    cases = {
        "crc.trnk": blob[:-1] + bytes([blob[-1] ^ 1]),
        "magic.trnk": b"XXXX" + blob[4:],
        "short.trnk": blob[:20],
    }
    for name, content in cases.items():
        (tmp_path / name).write_bytes(content)
        with pytest.raises(tarnkv.CorruptStoreError) as info:
            tarnkv.open(tmp_path / name)
        assert info.value.path == str(tmp_path / name) and name in str(info.value)
    (tmp_path / "v3.trnk").write_bytes(blob[:4] + b"\x03" + blob[5:])
    with pytest.raises(tarnkv.UnsupportedVersionError, match="version 3") as info:
        tarnkv.open(tmp_path / "v3.trnk")
    assert info.value.version == 3
    # verify=False skips the whole-file CRC; verify() still finds it.
    r = tarnkv.open(tmp_path / "crc.trnk", verify=False)
    with pytest.raises(tarnkv.CorruptStoreError, match="file CRC32 mismatch"):
        r.verify()


def test_verify_reports_progress_and_stops_when_asked(build):
    path = build({f"k{i}": "x" * 100 for i in range(50)})
    calls = []
    with tarnkv.open(path) as r:
        assert r.verify(progress=lambda done, total: calls.append((done, total))) is True
        assert calls[-1][0] == calls[-1][1] > 0

        def stop(done, total):
            r.close()  # closing from the callback is allowed: the check holds its own pin
            raise InterruptedError("stop")

        with pytest.raises(InterruptedError):
            r.verify(progress=stop)
        assert r.closed


# --- Errors with errno and filename ------------------------------------------------------------

def test_io_errors_are_oserrors_with_errno_and_filename(tmp_path, build):
    missing = tmp_path / "missing.trnk"
    with pytest.raises(FileNotFoundError) as info:
        tarnkv.open(missing)
    e = info.value
    assert isinstance(e, tarnkv.StoreIOError) and isinstance(e, tarnkv.TarnError)
    assert (e.errno, e.filename, e.strerror) == (errno.ENOENT, str(missing), os.strerror(errno.ENOENT))
    with pytest.raises(IsADirectoryError) as info:
        tarnkv.open(tmp_path)
    assert info.value.errno == errno.EISDIR and info.value.filename == str(tmp_path)

    w = tarnkv.TarnWriter()
    w.put("a", 1)
    with pytest.raises(FileNotFoundError) as info:
        w.build(tmp_path / "no-dir" / "x.trnk")
    assert info.value.filename == str(tmp_path / "no-dir" / "x.trnk.tmp")
    (tmp_path / "dir.trnk").mkdir()
    (tmp_path / "dir.trnk" / "keep").touch()
    with pytest.raises(tarnkv.StoreIOError) as info:
        w.build(tmp_path / "dir.trnk")  # the rename over a non-empty directory fails
    assert info.value.filename2 == str(tmp_path / "dir.trnk") and info.value.errno in (errno.EISDIR, errno.ENOTEMPTY)
    if os.geteuid() != 0:
        locked = build({"a": 1})
        locked.chmod(0)
        with pytest.raises(PermissionError):
            tarnkv.open(locked)


def test_paths_may_be_str_bytes_or_pathlike(build):
    path = build({"a": 1})
    for form in (str(path), os.fsencode(path), path):
        with tarnkv.open(form) as r:
            assert r.path == os.fspath(form) and r["a"] == 1
    with pytest.raises(ValueError, match="NUL"):
        tarnkv.open(str(path) + "\0x")


def test_lookups_take_key_and_default_by_position_or_name(build):
    with tarnkv.open(build({"a": 1})) as r:
        assert r.get(key="zz", default=5) == 5 and r.get("a", default=0) == 1
        assert r.get_raw("zz", 7) == 7 and r.get_many(keys=["a", "zz"], default=0) == [1, 0]
        assert r.get_many_raw(["zz"], default=b"") == [b""]
        for call, message in [
            (lambda: r.get(), r"get\(\) missing 1 required positional argument: 'key'"),
            (lambda: r.get("a", 1, 2), r"get\(\) takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: r.get_view("a", key="a"), r"get_view\(\) got multiple values for argument 'key'"),
            (lambda: r.get_many(["a"], dflt=1), r"get_many\(\) got an unexpected keyword argument 'dflt'"),
            (lambda: r.get_many_raw(), r"get_many_raw\(\) missing 1 required positional argument: 'keys'"),
        ]:
            with pytest.raises(TypeError, match=message):
                call()


def test_constructors_take_their_options_by_name_only(build):
    path = build({"a": 1})
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given"):
        tarnkv._native.Reader(path, False)
    with tarnkv._native.Reader(path, verify=0, check_reads=[]) as r:  # flags are truth values
        assert r.get_raw("a") == b"\x01"
    with pytest.raises(TypeError, match=r"argument 'on_duplicate' must be str, not int"):
        tarnkv._native.Writer(on_duplicate=1)
    with pytest.raises(ValueError, match=r"not 'x'"):
        tarnkv._native.Writer(on_duplicate="x")

# --- Close, context managers and views -------------------------------------------------------

CALLS = {
    "getitem": lambda r: r["a"], "get": lambda r: r.get("a"), "contains": lambda r: "a" in r,
    "len": len, "iter": iter, "keys": lambda r: list(r.keys()), "get_many": lambda r: r.get_many(["a"]),
    "get_view": lambda r: r.get_view("a"), "prefix": lambda r: r.prefix("a"),
    "count_prefix": lambda r: r.count_prefix("a"), "verify": lambda r: r.verify(), "stats": lambda r: r.stats(),
    "enter": lambda r: r.__enter__(),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_every_call_after_close_raises(build, call):
    r = tarnkv.open(build({"a": 1, "ab": 2}))
    it = iter(r.items())
    next(it)
    r.close()
    r.close()  # again: no effect
    with pytest.raises(ValueError, match="closed store"):
        call(r)
    with pytest.raises(ValueError, match="closed store"):
        next(it)
    assert r.closed and "closed" in repr(r)


def test_close_unmaps_the_file_once_no_view_uses_it(build):
    path = build({"a": b"payload", "b": 1})
    with tarnkv.open(path) as r:
        view = r.get_view("a")
        assert mapped(path)
    assert r.closed and mapped(path)  # the live view keeps the mapping
    assert bytes(view) == b"\xc4\x07payload"  # msgpack bin 8
    with pytest.raises(TypeError):
        view[0] = 0  # read-only
    view.release()
    assert not mapped(path)
    r2 = tarnkv.open(path)
    r2.close()
    assert not mapped(path)


def test_exceptions_leave_a_with_block_and_close_the_reader(build):
    path = build({"a": 1})
    with pytest.raises(LookupError):
        with tarnkv.open(path) as r:
            r["missing"]
    assert r.closed


def test_stats_and_repr(build):
    path = build({"a": 1, "b": 2})
    with tarnkv.open(path) as r:
        s = r.stats()
        assert list(s) == ["path", "version", "num_keys", "num_objects", "index_offset", "data_offset", "file_size",
                           "file_size_kb", "file_crc32"]
        assert (s["path"], s["num_keys"], s["file_size"]) == (str(path), 2, path.stat().st_size)
        assert s["file_crc32"] == "0x%08x" % struct.unpack_from(">I", path.read_bytes(), 32)
        assert repr(r) == f"TarnReader({str(path)!r}, keys=2)"


# --- Walks that make their answers ahead ------------------------------------------------------

WALKS = {
    "items_raw": lambda r: r.items_raw(), "values_raw": lambda r: r.values_raw(),
    "keys": lambda r: iter(r.keys()), "keys_raw": lambda r: iter(r.keys(raw=True)),
    "prefix_raw": lambda r: r.prefix_raw("k"),
}


@pytest.mark.parametrize("walk", WALKS.values(), ids=WALKS.keys())
def test_a_walk_sees_a_close_at_its_next_step(build, walk):
    path = build({f"k{i:03d}": i for i in range(100)})
    r = tarnkv.open(path)
    it = walk(r)
    next(it)
    assert it.__length_hint__() == 99
    r.close()
    with pytest.raises(ValueError, match="closed store"):
        next(it)
    assert not mapped(path)  # nothing the walk made ahead holds the mapping


def test_a_bad_record_in_a_long_walk_raises_at_its_own_turn(build):
    n, bad = 100, 50
    path = build({f"k{i:03d}": f"object {i}" for i in range(n)})
    offset = damage_object(path, bad)
    with tarnkv.open(path) as r:
        expected = [(f"k{i:03d}", r.get_raw(f"k{i:03d}")) for i in range(bad)]
        it = r.items_raw()
        assert [next(it) for _ in range(bad)] == expected
        with pytest.raises(tarnkv.CorruptStoreError) as info:
            next(it)
        assert (info.value.key, info.value.offset) == (f"k{bad:03d}", offset)
        assert [k for k, _ in it] == [f"k{i:03d}" for i in range(bad + 1, n)]  # the walk goes on past it
        assert it.__length_hint__() == 0
