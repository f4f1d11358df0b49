import inspect
import os
import pathlib
import zlib

import numpy
import pytest

from store_helpers import raw_store, record_offsets
from tarnkv import _tarnkv

R = _tarnkv._TarnReader


def raises_exactly(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    assert type(e.value) is exc
    assert e.value.args == (message,)
    return e.value


# -- constructor ---------------------------------------------------------------------------------

def bad_index_crc_store():
    # Whole-file CRC wrong *and* the index truncated: which one is reported depends on verify.
    return raw_store([b"x"], [("k", 40)], num_keys=2, crc=1)


@pytest.mark.parametrize("content, verify, message", [
    (b"", True, "TarnCorruptError: file too small for header"),
    (raw_store()[:39], True, "TarnCorruptError: file too small for header"),
    (raw_store(magic=b"\x00\x01\xffA"), True, "TarnCorruptError: bad magic [0, 1, 255, 65]"),
    (raw_store(magic=b"TRNX", version=3), True, "TarnCorruptError: bad magic [84, 82, 78, 88]"),
    (raw_store(version=3, crc=5), True, "TarnVersionError: unsupported version 3"),
    (raw_store(version=0), False, "TarnVersionError: unsupported version 0"),
    (raw_store(version=255), True, "TarnVersionError: unsupported version 255"),
    (raw_store(crc=1), True, "TarnCorruptError: file CRC32 mismatch  stored=0x00000001  computed=0x00000000"),
    (bad_index_crc_store(), True, "TarnCorruptError: file CRC32 mismatch  stored=0x00000001  computed=0x"
     + format(zlib.crc32(bad_index_crc_store()[40:]), "08x")),
    (bad_index_crc_store(), False, "TarnCorruptError: index section truncated (key_len)"),
    (raw_store([b"x"], [], num_keys=1), True, "TarnCorruptError: index section truncated (key_len)"),
    (raw_store([b"x"], index_bytes=b"\x00\x05abc", num_keys=1), True, "TarnCorruptError: index section truncated (key + offset)"),
    (raw_store([b"x"], [("k", 40)])[:-1], False, "TarnCorruptError: index section truncated (key + offset)"),
    (raw_store(num_keys=0xFFFFFFFF), True, "TarnCorruptError: index section truncated (key_len)"),
])
def test_open_refuses_malformed_files(craft, content, verify, message):
    raises_exactly(RuntimeError, message, R, craft(content), verify)


@pytest.mark.parametrize("content", [
    raw_store(crc=1), raw_store([b"x"], [("k", 10**15)]), raw_store(index_offset=2**63, num_keys=0),
])
def test_open_without_verify_accepts_what_it_does_not_check(craft, content):
    assert R(craft(content), verify=False).stats()["num_keys"] in (0, 1)


def test_open_io_errors(tmp_path):
    missing = str(tmp_path / "missing.trnk")
    e = raises_exactly(OSError, f"TarnIOError: cannot open {missing}: No such file or directory (os error 2)",
                       R, missing)
    assert (e.errno, e.strerror, e.filename) == (None, None, None)
    raises_exactly(OSError, "TarnIOError: cannot open a\x00b: file name contained an unexpected NUL byte", R, "a\x00b")
    with pytest.raises(OSError, match="^TarnIOError: mmap failed: .* \\(os error \\d+\\)$"):
        R(str(tmp_path))
    odd = tmp_path / "d\u00e9j\u00e0 vu"
    raises_exactly(OSError, f"TarnIOError: cannot open {odd}: No such file or directory (os error 2)", R, str(odd))


@pytest.mark.parametrize("path, exc, message", [
    (pathlib.Path("x.trnk"), TypeError, "argument 'path': 'PosixPath' object is not an instance of 'str'"),
    (b"/tmp/x.trnk", TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
    (None, TypeError, "argument 'path': 'None' is not an instance of 'str'"),
    ("x\udc80.trnk", UnicodeEncodeError, None),
])
def test_path_rule(path, exc, message):
    with pytest.raises(exc) as e:
        R(path, verify=1)  # the path is reported before the flag
    assert type(e.value) is exc
    if message:
        assert e.value.args == (message,)


def test_path_subclass_is_accepted(make_store):
    class P(str):
        pass

    assert R(P(make_store({"a": b"x"}))).get_raw("a") == b"x"


@pytest.mark.parametrize("flag, opens", [
    (True, False), (False, True), (numpy.True_, False), (numpy.False_, True), (numpy.bool_(0), True),
])
def test_flag_rule_accepted(craft, flag, opens):
    path = craft(raw_store(crc=7))  # opens only when the CRC is not checked
    if opens:
        assert R(path, flag).keys() == []
    else:
        with pytest.raises(RuntimeError, match="CRC32 mismatch"):
            R(path, verify=flag)


@pytest.mark.parametrize("flag, message", [
    (1, "'int' object is not an instance of 'bool'"),
    (0, "'int' object is not an instance of 'bool'"),
    (None, "'None' is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
    (numpy.int64(1), "'int64' object is not an instance of 'bool'"),
    (numpy.array([True]), "'ndarray' object is not an instance of 'bool'"),
])
def test_flag_rule_rejected(make_store, flag, message):
    raises_exactly(TypeError, "argument 'verify': " + message, R, make_store(), verify=flag)


# -- lookups and key rule -------------------------------------------------------------------------

@pytest.fixture
def store(make_store):
    return R(make_store({"a": b"A", "ab": b"AB", "abc": b"ABC", "abd": b"A", "ac": b"AC", "\u00e9": b"E",
                         "\u00ff": b"Y", "": b"EMPTY", b"\xff": b"FF"}))


@pytest.mark.parametrize("key, value", [
    ("a", b"A"), (b"a", b"A"), ("\u00e9", b"E"), (b"\xc3\xa9", b"E"), ("", b"EMPTY"), (b"", b"EMPTY"),
    (b"\xff", b"FF"), ("zz", None), (b"abcd", None),
])
def test_get_raw_and_exists(store, key, value):
    assert store.get_raw(key) == value
    assert store.exists(key) is (value is not None)


def test_key_subclasses(store):
    class S(str):
        pass

    class B(bytes):
        pass

    assert store.get_raw(S("ab")) == store.get_raw(B(b"ab")) == b"AB"
    assert store.prefix_raw(B(b"ab"))[0] == ("ab", b"AB")


@pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw"])
@pytest.mark.parametrize("key", [1, None, bytearray(b"a"), memoryview(b"a"), [97], "\udc80"])
def test_key_rule_rejections(make_store, method, key):
    empty = R(make_store())
    e = raises_exactly(TypeError, "key must be str or bytes", getattr(empty, method), key)
    assert e.__context__ is None


@pytest.mark.parametrize("prefix, keys", [
    ("ab", ["ab", "abc", "abd"]), (b"ab", ["ab", "abc", "abd"]), ("abcd", []), ("b", []),
    (b"\xc3", ["\u00e9", "\u00ff"]), ("\u00e9", ["\u00e9"]), (b"\xff", ["\ufffd"]),
    ("", ["", "a", "ab", "abc", "abd", "ac", "\u00e9", "\u00ff", "\ufffd"]),
])
def test_prefix_scan(store, prefix, keys):
    got = store.prefix_raw(prefix)
    assert [k for k, _ in got] == keys
    assert all(v == store.get_raw(k) for k, v in got if k != "\ufffd")


def test_empty_store(make_store):
    r = R(make_store())
    assert (r.get_raw("a"), r.exists(""), r.prefix_raw(""), r.keys(), r.items_raw(), r.objects_raw()) == \
        (None, False, [], [], [], [])
    assert r.verify() is True


# -- enumeration and key texts --------------------------------------------------------------------

def test_enumeration_order_and_dedup(tmp_path):
    w = _tarnkv._TarnWriter()
    y = w.add_object_raw(b"Y")  # added first: smaller ID and offset, yet listed second
    x = w.add_object_raw(b"X")
    twin1, twin2 = w.add_object_raw(b"T"), w.add_object_raw(b"T")
    w.add_object_raw(b"unkeyed")
    empty = w.add_object_raw(b"")
    for key, oid in (("c", x), ("a", x), ("b", y), ("t1", twin1), ("t2", twin2), ("e", empty)):
        w.add_key(key, oid)
    path = str(tmp_path / "e.trnk")
    w.build(path)
    r = R(path)
    assert r.items_raw() == [("a", b"X"), ("b", b"Y"), ("c", b"X"), ("e", b""), ("t1", b"T"), ("t2", b"T")]
    assert r.objects_raw() == [b"X", b"Y", b"", b"T", b"T"]
    assert r.keys() == ["a", "b", "c", "e", "t1", "t2"]
    assert r.items_raw() is not r.items_raw()  # fresh containers every call


@pytest.mark.parametrize("raw, text", [
    (b"\xff\x6b", "\ufffdk"),
    (b"\xe2\x82a", "\ufffda"),            # one replacement for a maximal ill-formed subpart
    (b"\xe2\x28\xa1", "\ufffd(\ufffd"),
    (b"\xf0\x9f\x98\x80", "\U0001F600"),
    (b"0123456789abcdef\x80", "0123456789abcdef\ufffd"),  # non-ASCII after the word-sized fast path
    (b"0123456789abcdefg", "0123456789abcdefg"),
    (b"\x7f", "\x7f"), (b"\x00", "\x00"),
])
def test_key_texts(make_store, raw, text):
    r = R(make_store({raw: b"v"}))
    assert r.keys() == [text]
    assert r.items_raw() == [(text, b"v")]
    assert r.prefix_raw(raw) == [(text, b"v")]


def test_distinct_byte_keys_may_share_a_text(make_store):
    r = R(make_store({b"\xfe": b"1", b"\xff": b"2"}))
    assert r.items_raw() == [("\ufffd", b"1"), ("\ufffd", b"2")]


# -- verify and stats -----------------------------------------------------------------------------

def test_stats(make_store):
    path = make_store({"a": b"abc", "bb": b"abc"})
    s = R(path).stats()
    assert list(s) == ["path", "version", "num_keys", "num_objects", "index_offset", "data_offset", "file_size_kb",
                       "file_crc32"]
    crc = zlib.crc32(pathlib.Path(path).read_bytes()[40:])
    assert s == {"path": path, "version": 2, "num_keys": 2, "num_objects": 1, "index_offset": 51,
                 "data_offset": 40, "file_size_kb": 74 / 1024, "file_crc32": f"0x{crc:08x}"}
    assert type(s["file_size_kb"]) is float and type(s["version"]) is int


def test_stats_of_empty_store_and_stored_crc(craft, make_store):
    empty = R(make_store()).stats()
    assert (empty["file_size_kb"], empty["file_crc32"], empty["index_offset"]) == (0.0390625, "0x00000000", 40)
    big = raw_store([b"x" * (1024 - 40 - 8)], index_offset=2**64 - 1, crc=0xABCD, num_objects=7)
    s = R(craft(big), verify=False).stats()
    assert (s["file_size_kb"], s["file_crc32"], s["index_offset"], s["num_objects"]) == \
        (1.0, "0x0000abcd", 2**64 - 1, 7)


def test_verify_reports_object_crc_with_consistent_file_crc(craft):
    r = R(craft(objects=[b"good", b"bad"], index=[("a", 40), ("b", 52)], object_crcs=[zlib.crc32(b"good"), 1]))
    raises_exactly(RuntimeError, "TarnCorruptError: object CRC32 mismatch at offset 52", r.verify)
    assert r.get_raw("b") == b"bad"  # reads never check object CRCs


def test_verify_ignores_unreferenced_records(craft):
    r = R(craft(objects=[b"orphan", b"ok"], index=[("k", 54)], object_crcs=[1, zlib.crc32(b"ok")]))
    assert r.verify() is True


def test_verify_whole_file_first(craft):
    blob = bytearray(raw_store([b"abc"], [("k", 40)]))
    blob[48] ^= 1
    r = R(craft(bytes(blob)), verify=False)
    with pytest.raises(RuntimeError, match=r"^TarnCorruptError: file CRC32 mismatch  stored=0x[0-9a-f]{8}  "
                                           r"computed=0x[0-9a-f]{8}$"):
        r.verify()


@pytest.mark.parametrize("index, read_error, verify_error", [
    ([("a", 40), ("k", 1000)], "offset 1000 out of bounds", "object offset 1000 out of bounds"),
    ([("a", 40), ("k", 2**64 - 1)], f"offset {2**64 - 1} out of bounds", f"object offset {2**64 - 1} out of bounds"),
    ([("a", 40), ("k", 43)], "object at 43 extends beyond file end", "object at 43 extends beyond file end"),
])
def test_broken_offsets_surface_through_each_method(craft, index, read_error, verify_error):
    r = R(craft(objects=[b"abc"], index=index))
    assert r.exists("k") is True and r.keys() == ["a", "k"]
    assert r.get_raw("a") == b"abc" and r.prefix_raw("a") == [("a", b"abc")]
    for call in (lambda: r.get_raw("k"), lambda: r.prefix_raw(""), lambda: r.prefix_raw("k"), r.items_raw,
                 r.objects_raw):
        raises_exactly(RuntimeError, "TarnCorruptError: " + read_error, call)
    raises_exactly(RuntimeError, "TarnCorruptError: " + verify_error, r.verify)


@pytest.mark.parametrize("bad", [None, 0, 2999, 4999])
def test_long_walks_make_their_pairs_or_fail_whole(craft, bad):
    # Enough entries for the walks to read records well ahead of the pair they make and to
    # cross many of the reader's marks; one broken offset (first, deep inside, last) fails
    # every walk that reaches it, whatever it has made by then, and no other.
    objects = [f"object {i}".encode() for i in range(5000)]
    offsets = record_offsets(objects)
    keys = [f"k{i:05d}" for i in range(5000)]
    index = [(k, 10**9 if i == bad else o) for i, (k, o) in enumerate(zip(keys, offsets))]
    r = R(craft(objects=objects, index=index))
    assert r.keys() == keys
    model = dict(zip(keys, objects))
    prefixes = ["", "k0", "k02", "k029", "k04999"]
    if bad is None:
        assert r.items_raw() == list(model.items())
        for p in prefixes:
            assert r.prefix_raw(p) == [(k, v) for k, v in model.items() if k.startswith(p)]
        return
    for call in [r.items_raw] + [lambda p=p: r.prefix_raw(p) for p in prefixes if keys[bad].startswith(p)]:
        raises_exactly(RuntimeError, "TarnCorruptError: offset 1000000000 out of bounds", call)
    for p in prefixes:
        if not keys[bad].startswith(p):
            assert r.prefix_raw(p) == [(k, v) for k, v in model.items() if k.startswith(p)]


def test_duplicate_index_entries(craft):
    objects = [b"first", b"second"]
    o1, o2 = record_offsets(objects)
    r = R(craft(objects=objects, index=[("k", o1), ("k", o2)]))
    assert r.get_raw("k") == b"second"
    assert r.keys() == ["k", "k"]
    assert r.prefix_raw("k") == [("k", b"first"), ("k", b"second")]
    assert r.objects_raw() == [b"first", b"second"]


# -- lifecycle, repr, docs ------------------------------------------------------------------------

def test_close_and_with_change_nothing(make_store):
    path = make_store({"a": b"1", "b": b"2"})
    r = R(path)
    before = (r.get_raw("a"), r.keys(), r.items_raw(), r.objects_raw(), r.stats(), r.verify(), repr(r))
    assert r.close() is None and r.close() is None
    with r as same:
        assert same is r
    with R(path) as r2:
        pass
    for reader in (r, r2):
        assert (reader.get_raw("a"), reader.keys(), reader.items_raw(), reader.objects_raw(), reader.stats(),
                reader.verify(), repr(reader)) == before
    assert r.__enter__() is r
    assert r.__exit__(None, None, None) is False
    assert r.__exit__(ValueError, ValueError("x"), None) is False


def test_with_block_does_not_swallow_exceptions(make_store):
    with pytest.raises(KeyError, match="inside"):
        with R(make_store()):
            raise KeyError("inside")


def test_reader_survives_deletion_and_replacement_of_its_file(make_store, tmp_path):
    path = make_store({"a": b"old"}, name="same.trnk")
    r = R(path)
    os.unlink(path)
    make_store({"a": b"new"}, name="same.trnk")
    assert (r.get_raw("a"), r.items_raw(), r.verify()) == (b"old", [("a", b"old")], True)


def test_repr(tmp_path, craft):
    path = str(tmp_path / "it's \u00e9 \\.trnk")
    _tarnkv._TarnWriter().build(path)
    assert repr(R(path)) == f"_TarnReader('{path}', keys=0, objects=0)"
    # header counts, not what the index holds
    crafted = craft(raw_store([b"x"], [("a", 40)], num_objects=9))
    assert repr(R(crafted)) == f"_TarnReader('{crafted}', keys=1, objects=9)"


def test_reader_docs():
    assert R.__text_signature__ == "(path, verify=True)"
    assert str(inspect.signature(R)) == "(path, verify=True)"
    assert R.__doc__ == (
        "Low-level reader \u2014 returns raw msgpack bytes.\n"
        "**Use `tarnkv.TarnReader` (Python wrapper) instead of this directly.**\n"
        "\n"
        "Thread-safe for reads: the index is immutable after construction and the\n"
        "mmap is read-only.  Share one instance freely across threads.")
    docs = {
        "get_raw": ("($self, key)", "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
        "exists": ("($self, key)", "Key presence check \u2014 no I/O beyond the in-memory hash index."),
        "prefix_raw": ("($self, prefix)", "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
        "keys": ("($self)", "All keys in sorted order."),
        "items_raw": ("($self)", "All `(key, raw_bytes)` pairs in sorted key order."),
        "objects_raw": ("($self)", "Unique objects only (deduplicated by file offset)."),
        "stats": ("($self)", "Return file metadata as a `dict`."),
        "verify": ("($self)", "Deep CRC32 integrity check (whole-file + per-object)."),
        "close": ("($self)", None),
        "__enter__": ("($self)", None),
        "__exit__": ("($self, _exc_type, _exc_val, _exc_tb)", None),
    }
    assert {name: (getattr(R, name).__text_signature__, getattr(R, name).__doc__) for name in docs} == docs
    assert str(inspect.signature(R.__exit__)) == "(self, /, _exc_type, _exc_val, _exc_tb)"
