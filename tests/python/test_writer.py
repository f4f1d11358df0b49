import os
import pathlib
import subprocess
import sys
import textwrap

import numpy
import pytest

from store_helpers import parse_store, raw_store
from tarnkv import _tarnkv

W = _tarnkv._TarnWriter


def built(w, tmp_path, name="out.trnk"):
    path = tmp_path / name
    w.build(str(path))
    return path.read_bytes()


def test_ids_count_up_even_for_identical_and_empty_objects():
    w = W()
    assert [w.add_object_raw(b) for b in (b"x", b"x", b"", b"\xc1 not msgpack")] == [0, 1, 2, 3]
    assert repr(w) == "_TarnWriter(objects=4, keys=0)"


def test_str_and_bytes_name_the_same_key():
    w = W()
    w.add_object_raw(b"1")
    w.add_object_raw(b"2")
    for k in ("a", b"a", "b"):
        w.add_key(k, 0)
    assert repr(w) == "_TarnWriter(objects=2, keys=2)"


def test_small_store_exact_bytes(tmp_path):
    w = W()
    w.add_key("bb", w.add_object_raw(b"abc"))
    w.add_key("a", 0)
    blob = built(w, tmp_path)
    assert len(blob) == 74
    assert blob == raw_store([b"abc"], [("a", 40), ("bb", 40)])
    assert parse_store(blob)[0]["index_offset"] == 51


def test_empty_writer_builds_header_only_store(tmp_path):
    assert built(W(), tmp_path) == raw_store()


def test_last_mapping_of_a_key_wins_and_keys_come_out_sorted(tmp_path):
    w = W()
    w.add_object_raw(b"zero")
    w.add_object_raw(b"one")
    for k in ("b", "a", "ab"):
        w.add_key(k, 0)
    w.add_key(b"b", 1)
    w.add_key("", 1)
    assert repr(w) == "_TarnWriter(objects=2, keys=4)"
    _, objects, entries = parse_store(built(w, tmp_path))
    assert objects == [b"zero", b"one"]
    assert entries == [(b"", 1), (b"a", 0), (b"ab", 0), (b"b", 1)]


def test_unkeyed_objects_are_still_written(tmp_path):
    w = W()
    w.add_object_raw(b"lonely")
    header, objects, entries = parse_store(built(w, tmp_path))
    assert (header["num_objects"], objects, entries) == (1, [b"lonely"], [])


def test_out_of_range_ids_leave_the_writer_unchanged(tmp_path):
    w = W()
    with pytest.raises(ValueError) as e:
        w.add_key("k", 0)
    assert type(e.value) is ValueError
    assert e.value.args == ("TarnError: obj_id 0 out of range (have 0 objects)",)
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"
    for b in (b"a", b"b", b"c"):
        w.add_object_raw(b)
    with pytest.raises(ValueError, match=r"^TarnError: obj_id 3 out of range \(have 3 objects\)$"):
        w.add_key("k", 3)
    w.add_key("k", 2)
    with pytest.raises(ValueError):
        w.add_key("k", 7)  # a failed re-point keeps the old mapping
    assert parse_store(built(w, tmp_path))[2] == [(b"k", 2)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("obj_id, target", [
    (True, 1), (False, 0), (1, 1), (Index(1), 1), (numpy.int64(1), 1), (numpy.uint8(0), 0),
])
def test_accepted_object_ids(tmp_path, obj_id, target):
    w = W()
    w.add_object_raw(b"zero")
    w.add_object_raw(b"one")
    w.add_key("k", obj_id)
    assert parse_store(built(w, tmp_path))[2] == [(b"k", target)]


@pytest.mark.parametrize("obj_id, exc, message", [
    (-1, OverflowError, None),
    (2**32, OverflowError, "out of range integral type conversion attempted"),
    (2**64, OverflowError, None),
    (Index(-5), OverflowError, None),
    ("0", TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
    (1.0, TypeError, "argument 'obj_id': 'float' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'obj_id': 'NoneType' object cannot be interpreted as an integer"),
])
def test_rejected_object_ids(obj_id, exc, message):
    w = W()
    w.add_object_raw(b"x")
    with pytest.raises(exc) as e:
        w.add_key("k", obj_id)
    assert type(e.value) is exc  # OverflowError must not turn into ValueError
    if message is not None:
        assert str(e.value) == message
    else:
        assert not str(e.value).startswith("argument")
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_object_id_is_reported_before_the_key():
    w = W()
    with pytest.raises(TypeError, match="^argument 'obj_id': "):
        w.add_key(1, "0")
    with pytest.raises(TypeError, match="^key must be str or bytes$"):
        w.add_key(1, 0)


def test_index_type_error_is_wrapped_with_its_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("nope") from inner

    with pytest.raises(TypeError) as e:
        W().add_key("k", Bad())
    assert str(e.value) == "argument 'obj_id': nope"
    assert isinstance(e.value.__cause__, KeyError)


def test_index_other_errors_pass_unchanged():
    class Bad:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        W().add_key("k", Bad())


def test_index_calling_back_into_the_writer_meets_the_access_counter(tmp_path):
    w = W()
    w.add_object_raw(b"x")
    seen = []

    class Reentrant:
        def __index__(self):
            for attempt in (lambda: w.add_object_raw(b"y"), lambda: w.add_key("z", 0), lambda: repr(w),
                            lambda: w.build(str(tmp_path / "inner.trnk"))):
                try:
                    attempt()
                except RuntimeError as e:
                    seen.append(str(e))
            return 0

    w.add_key("k", Reentrant())
    assert seen == ["Already borrowed", "Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
    assert not (tmp_path / "inner.trnk").exists()
    # The access is released again: everything works afterwards.
    assert w.add_object_raw(b"y") == 1
    assert repr(w) == "_TarnWriter(objects=2, keys=1)"


def test_access_released_after_failures():
    w = W()
    for bad in (lambda: w.add_object_raw("s"), lambda: w.add_key("k", 0), lambda: w.add_key("k", -1),
                lambda: w.add_key(None, 0), lambda: w.build(None)):
        with pytest.raises((TypeError, ValueError, OverflowError)):
            bad()
    assert w.add_object_raw(b"x") == 0


@pytest.mark.parametrize("key", [1, None, bytearray(b"a"), memoryview(b"a"), [97], "\udc80"])
def test_rejected_keys(key):
    w = W()
    w.add_object_raw(b"x")
    with pytest.raises(TypeError) as e:
        w.add_key(key, 0)
    assert type(e.value) is TypeError and str(e.value) == "key must be str or bytes"
    assert e.value.__cause__ is None and e.value.__context__ is None


def test_key_subclasses_and_non_ascii(tmp_path):
    class S(str):
        pass

    class B(bytes):
        pass

    w = W()
    w.add_object_raw(b"x")
    for k in (S("s"), B(b"b"), "é", b"\xff"):
        w.add_key(k, 0)
    assert [k for k, _ in parse_store(built(w, tmp_path))[2]] == [b"b", b"s", "é".encode(), b"\xff"]


def test_over_long_key_is_refused():
    w = W()
    w.add_object_raw(b"x")
    w.add_key(b"k" * 65535, 0)
    with pytest.raises(ValueError, match="^TarnError: "):
        w.add_key(b"k" * 65536, 0)
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"


@pytest.mark.parametrize("raw", [bytearray(b"x"), memoryview(b"x"), "x", None, 1])
def test_rejected_object_bytes(raw):
    w = W()
    with pytest.raises(TypeError, match="^argument 'raw_bytes': '.*' (object )?is not an instance of 'bytes'$"):
        w.add_object_raw(raw)
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"


def test_bytes_subclass_object_is_stored(tmp_path):
    class B(bytes):
        pass

    w = W()
    w.add_object_raw(B(b"sub"))
    assert parse_store(built(w, tmp_path))[1] == [b"sub"]


def test_keyword_arguments(tmp_path):
    w = W()
    assert w.add_object_raw(raw_bytes=b"x") == 0
    assert w.add_key(obj_id=0, key=b"k") is None
    assert w.build(path=str(tmp_path / "kw.trnk")) is None
    assert parse_store((tmp_path / "kw.trnk").read_bytes())[2] == [(b"k", 0)]


def test_builds_are_repeatable_and_see_later_adds(tmp_path):
    w = W()
    w.add_key("a", w.add_object_raw(b"1"))
    first = built(w, tmp_path, "1.trnk")
    assert built(w, tmp_path, "2.trnk") == first
    w.add_key("b", w.add_object_raw(b"2"))
    _, objects, entries = parse_store(built(w, tmp_path, "3.trnk"))
    assert objects == [b"1", b"2"] and entries == [(b"a", 0), (b"b", 1)]


def test_build_replaces_an_existing_file(tmp_path):
    target = tmp_path / "t.trnk"
    target.write_bytes(b"old contents" * 100)
    W().build(str(target))
    assert target.read_bytes() == raw_store()
    assert not (tmp_path / "t.trnk.tmp").exists()


@pytest.mark.parametrize("path, exc", [
    (pathlib.Path("x.trnk"), TypeError), (b"x.trnk", TypeError), (None, TypeError),
    ("bad\udc80.trnk", UnicodeEncodeError),
])
def test_build_path_rule(tmp_path, monkeypatch, path, exc):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc) as e:
        W().build(path)
    if exc is TypeError:
        assert str(e.value).startswith("argument 'path': ")
    assert list(tmp_path.iterdir()) == []


def test_build_into_missing_directory(tmp_path):
    with pytest.raises(OSError) as e:
        W().build(str(tmp_path / "missing" / "x.trnk"))
    assert type(e.value) is OSError
    assert e.value.args == ("TarnIOError: open tmp: No such file or directory (os error 2)",)
    assert (e.value.errno, e.value.strerror, e.value.filename) == (None, None, None)


def run_child(code, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    env.pop("PYTHONUNBUFFERED", None)  # the child's sys.stdout must buffer as it does by default
    return subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)], cwd=tmp_path, env=env,
                          capture_output=True, timeout=60)


def test_summary_line_goes_to_descriptor_1_not_sys_stdout(tmp_path):
    child = run_child("""
        import io, sys
        from tarnkv import _tarnkv
        print("buffered before")            # still in sys.stdout's buffer when build writes
        w = _tarnkv._TarnWriter()
        w.add_key("a", w.add_object_raw(b"abc"))
        w.add_key("bb", 0)
        captured = io.StringIO()
        real, sys.stdout = sys.stdout, captured
        w.build("db.trnk")
        sys.stdout = real
        sys.stderr.write(repr(captured.getvalue()))
    """, tmp_path)
    assert child.returncode == 0, child.stderr
    assert child.stderr.decode() == "''"
    line = "\u2705  db.trnk  \u2014  1 objects \u00b7 2 keys \u00b7 0.1 KB\n"
    assert child.stdout.decode() == line + "buffered before\n"


@pytest.mark.parametrize("object_size, size, kb", [
    (None, 40, "0.0"), (15, 74, "0.1"),
    (197, 256, "0.2"), (709, 768, "0.8"),  # 0.25 and 0.75 KB: exact ties go to the even digit
    (1477, 1536, "1.5"),
])
def test_summary_line_counts_and_rounds_the_size_on_disk(tmp_path, capfd, object_size, size, kb):
    w = W()
    if object_size is not None:  # one record of 8 + n bytes, one entry of 10 + 1 bytes
        w.add_key("k", w.add_object_raw(b"x" * object_size))
    path = str(tmp_path / "s.trnk")
    w.build(path)
    assert os.path.getsize(path) == size
    n = 0 if object_size is None else 1
    assert capfd.readouterr().out == f"\u2705  {path}  \u2014  {n} objects \u00b7 {n} keys \u00b7 {kb} KB\n"


def test_unwritable_stdout_raises_panic_after_publishing(tmp_path):
    child = run_child("""
        import os
        from tarnkv import _tarnkv
        fd = os.open("/dev/full", os.O_WRONLY)
        os.dup2(fd, 1)
        try:
            _tarnkv._TarnWriter().build("db.trnk")
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), type(e).__bases__, e.args, file=os.sys.stderr)
    """, tmp_path)
    assert child.returncode == 0, child.stderr
    assert child.stderr.decode().strip() == (
        "PanicException False (<class 'BaseException'>,) "
        "('failed printing to stdout: No space left on device (os error 28)',)")
    assert (tmp_path / "db.trnk").read_bytes() == raw_store()


def test_closed_stdout_drops_the_line(tmp_path):
    child = run_child("""
        import os
        from tarnkv import _tarnkv
        os.close(1)
        _tarnkv._TarnWriter().build("db.trnk")
    """, tmp_path)
    assert child.returncode == 0, child.stderr
    assert (tmp_path / "db.trnk").exists()
