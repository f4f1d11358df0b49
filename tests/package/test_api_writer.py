"""TarnWriter: duplicate policies, codecs, limits, quiet builds, unreferenced objects."""

import mmap
import threading
import warnings

import msgpack
import pytest

import tarnkv


def contents(path, **options):
    with tarnkv.open(path, **options) as r:
        return dict(r.items()), r.stats()["num_objects"]


# --- Duplicate keys ---------------------------------------------------------------------------

DUPLICATES = [
    # (what the writer is given, what each policy leaves: {key: object} or the error)
    pytest.param(lambda w: (w.put("k", 1), w.put("k", 2)), {"error": "k", "last": {"k": 2}, "first": {"k": 1}},
                 id="put-again"),
    pytest.param(lambda w: w.put("k", 1, "a", b"k"), {"error": "k", "last": {"k": 1, "a": 1},
                                                      "first": {"k": 1, "a": 1}}, id="repeated-in-one-put"),
    pytest.param(lambda w: (w.put("k", 1), w.alias("k", w.add(2))),
                 {"error": "k", "last": {"k": 2}, "first": {"k": 1}}, id="alias-again"),
    pytest.param(lambda w: (w.put("a", 1), w.put("b", 2, "a")),
                 {"error": "a", "last": {"a": 2, "b": 2}, "first": {"a": 1, "b": 2}}, id="alias-of-new-object"),
]


@pytest.mark.parametrize("policy", ["error", "last", "first"])
@pytest.mark.parametrize("steps, outcome", DUPLICATES)
def test_duplicate_keys_follow_the_policy(tmp_path, policy, steps, outcome):
    w = tarnkv.TarnWriter(on_duplicate=policy)
    expected = outcome[policy]
    if isinstance(expected, str):
        with pytest.raises(tarnkv.DuplicateKeyError) as info:
            steps(w)
        e = info.value
        assert isinstance(e, KeyError) and e.key in (expected, expected.encode())
        assert repr(expected) in str(e) and str(e.existing_id) in str(e) and str(e.new_id) in str(e)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tarnkv.UnreferencedObjectWarning)  # "first" ignores an alias()
        steps(w)
        w.build(tmp_path / "d.trnk")
    assert contents(tmp_path / "d.trnk")[0] == expected


def test_a_refused_put_changes_nothing(tmp_path):
    w = tarnkv.TarnWriter()
    w.put("a", 1)
    with pytest.raises(tarnkv.DuplicateKeyError) as info:
        w.put("new", 2, "other", "a")  # the duplicate comes last: nothing before it may stay
    assert (info.value.existing_id, info.value.new_id) == (0, 1)
    assert (len(w), w.num_objects) == (1, 1) and "new" not in w
    with pytest.raises(tarnkv.DuplicateKeyError):
        w.put("x", 3, "y", "x")
    assert (len(w), w.num_objects) == (1, 1)
    w.alias("a", 0)  # the same mapping again is no conflict
    assert w.build(tmp_path / "s.trnk").num_objects == 1


def test_first_policy_returns_the_existing_object():
    w = tarnkv.TarnWriter(on_duplicate="first")
    assert w.put("a", 1) == 0
    assert w.put("a", 2) == 0 and w.num_objects == 1
    assert w.put("a", 3, "b") == 1 and w.object_id("b") == 1 and w.object_id("a") == 0


# --- Objects, codecs, limits --------------------------------------------------------------------

class Upper:
    def encode(self, obj):
        if not isinstance(obj, str):
            raise ValueError("only str")
        return obj.upper().encode()

    def decode(self, data):
        return data.decode().lower()


@pytest.mark.parametrize("codec, objects", [
    ("msgpack", [None, True, -1, 2**64 - 1, 1.5, "text", b"\x00bytes", [1, [2, {}]], {1: "int key", "s": {2: b""}}]),
    (None, [b"", b"raw", bytearray(b"ba"), memoryview(b"mv")]),
    (Upper(), ["abc", ""]),
    (tarnkv.Codec(lambda o: repr(o).encode(), eval, name="repr"), [(1, 2), {"a": frozenset()}]),
])
def test_codecs_round_trip(tmp_path, codec, objects):
    w = tarnkv.TarnWriter(codec=codec)
    for i, obj in enumerate(objects):
        w[f"k{i:02d}"] = obj
    w.build(tmp_path / "c.trnk")
    with tarnkv.open(tmp_path / "c.trnk", codec=codec) as r:
        assert list(r.values()) == [bytes(o) if codec is None else o for o in objects]


@pytest.mark.parametrize("codec, obj", [("msgpack", {1, 2}), ("msgpack", 2**64), ("msgpack", object()),
                                        (Upper(), 5), (None, "not bytes")])
def test_unencodable_objects_fail_at_put_naming_the_key(codec, obj):
    w = tarnkv.TarnWriter(codec=codec)
    for call in (lambda: w.put("the-key", obj), lambda: w.__setitem__("the-key", obj)):
        with pytest.raises(TypeError, match="'the-key'"):
            call()
    with pytest.raises(TypeError):
        w.add(obj)
    assert (len(w), w.num_objects) == (0, 0)


def test_limits_raise_limit_errors():
    w = tarnkv.TarnWriter(codec=None)
    w.put("k" * 65535, b"longest key")
    with pytest.raises(tarnkv.KeyTooLongError, match="65536 bytes") as info:
        w.put("k" * 65536, b"x")
    assert isinstance(info.value, ValueError) and isinstance(info.value, tarnkv.LimitError)
    with pytest.raises(tarnkv.KeyTooLongError):
        w.alias("é" * 40000, 0)
    # 4 GiB of address space, never touched: the size is refused before any copy.
    huge = mmap.mmap(-1, 2**32)
    with pytest.raises(tarnkv.ObjectTooLargeError, match="'big'"):
        w.put_raw("big", memoryview(huge))
    huge.close()
    assert (len(w), w.num_objects) == (1, 1)


@pytest.mark.parametrize("call", [
    lambda w: w.put("k"), lambda w: w.put(1, "x"), lambda w: w.alias("k", 5), lambda w: w.alias("k", -1),
    lambda w: w.alias("k", "0"), lambda w: w.put_raw("k", 5), lambda w: w.add_raw("s"),
    lambda w: w.__delitem__("k"), lambda w: w.build(tmp_path_is_not_a_path := 3),
], ids=["missing-object", "int-key", "id-out-of-range", "negative-id", "str-id", "raw-int", "raw-str", "delete",
        "bad-path"])
def test_bad_arguments_raise_plain_errors(call):
    w = tarnkv.TarnWriter()
    with pytest.raises((TypeError, IndexError)):
        call(w)


def test_options_are_checked():
    with pytest.raises(ValueError, match="on_duplicate"):
        tarnkv.TarnWriter(on_duplicate="ignore")
    with pytest.raises(ValueError, match="unknown codec"):
        tarnkv.TarnWriter(codec="json")
    with pytest.raises(TypeError, match="encode"):
        tarnkv.TarnWriter(codec=42)


# --- Building -----------------------------------------------------------------------------------

def test_build_is_quiet_and_returns_what_it_wrote(tmp_path, capfd):
    w = tarnkv.TarnWriter()
    w.put("a", 1, "b")
    result = w.build(tmp_path / "q.trnk")
    assert capfd.readouterr().out == ""
    assert result == tarnkv.BuildResult(str(tmp_path / "q.trnk"), 1, 2, (tmp_path / "q.trnk").stat().st_size, 0)
    w.build(str(tmp_path / "v.trnk"), verbose=True)
    out = capfd.readouterr().out
    assert out.count("\n") == 1 and "v.trnk" in out and "1 objects" in out and "2 keys" in out


def test_unreferenced_objects_are_left_out(tmp_path):
    w = tarnkv.TarnWriter(on_duplicate="last")
    w.put("a", "first")
    w.put("a", "second")  # the first object is now unreachable
    orphan = w.add("never named")
    named = w.add("named later")
    w.alias("b", named)
    with pytest.warns(tarnkv.UnreferencedObjectWarning, match="1 object"):
        result = w.build(tmp_path / "u.trnk")
    assert (result.num_objects, result.num_keys, result.dropped_objects) == (2, 2, 2)
    assert contents(tmp_path / "u.trnk") == ({"a": "second", "b": "named later"}, 2)
    assert tarnkv.open(tmp_path / "u.trnk").verify()
    w.alias("c", orphan)  # named after all: kept by the next build, without a warning
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert w.build(tmp_path / "u2.trnk").num_objects == 3


def test_create_builds_only_on_a_clean_exit(tmp_path):
    with tarnkv.TarnWriter.create(tmp_path / "ok.trnk", codec=None) as w:
        w["k"] = b"v"
    assert contents(tmp_path / "ok.trnk", codec=None)[0] == {"k": b"v"}
    with pytest.raises(RuntimeError, match="boom"):
        with tarnkv.TarnWriter.create(tmp_path / "no.trnk") as w:
            w["k"] = 1
            raise RuntimeError("boom")
    assert not list(tmp_path.glob("no*"))


def test_progress_reports_bytes_and_can_stop_the_build(tmp_path):
    w = tarnkv.TarnWriter()
    for i in range(100):
        w.put(f"k{i}", i)
    calls = []
    result = w.build(tmp_path / "p.trnk", progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (result.file_size, result.file_size)
    assert all(d <= t for d, t in calls) and [d for d, _ in calls] == sorted(d for d, _ in calls)

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        w.build(tmp_path / "stopped.trnk", progress=stop)
    assert not list(tmp_path.glob("stopped*"))  # nothing published, no temporary file left
    with pytest.raises(RuntimeError, match="busy"):
        w.build(tmp_path / "x.trnk", progress=lambda d, t: w.put("more", 1))


def test_building_again_after_more_puts(tmp_path):
    w = tarnkv.TarnWriter()
    w.put("a", 1)
    first = w.build(tmp_path / "1.trnk")
    w.put("b", 2)
    second = w.build(tmp_path / "2.trnk")
    assert (first.num_keys, second.num_keys) == (1, 2)
    assert contents(tmp_path / "2.trnk")[0] == {"a": 1, "b": 2}
    assert repr(w) == "TarnWriter(objects=2, keys=2)"


def test_threads_share_a_writer(tmp_path):
    w = tarnkv.TarnWriter()

    def work(t):
        for i in range(500):
            w.put(f"t{t}:{i:03d}", [t, i])

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(w) == 2000
    w.build(tmp_path / "t.trnk")
    with tarnkv.open(tmp_path / "t.trnk") as r:
        assert all(r[f"t{t}:{i:03d}"] == [t, i] for t in range(4) for i in range(500))


def test_msgpack_settings_are_the_documented_ones(tmp_path):
    w = tarnkv.TarnWriter()
    w.put("k", {"b": b"x", 1: "y"})
    w.build(tmp_path / "m.trnk")
    with tarnkv.open(tmp_path / "m.trnk") as r:
        assert r.get_raw("k") == msgpack.packb({"b": b"x", 1: "y"}, use_bin_type=True)


def test_a_second_build_of_the_same_file_fails_at_once(tmp_path):
    target = tmp_path / "race.trnk"
    first, second = tarnkv.TarnWriter(), tarnkv.TarnWriter()
    first.put("a", 1)
    second.put("b", 2)
    waiting, go = threading.Event(), threading.Event()

    def hold(done, total):
        if done == total:  # written and synced, not yet renamed: the temporary file is locked
            waiting.set()
            go.wait(10)

    t = threading.Thread(target=lambda: first.build(target, progress=hold))
    t.start()
    assert waiting.wait(10)
    with pytest.raises(BlockingIOError) as info:
        second.build(target)
    go.set()
    t.join()
    assert isinstance(info.value, tarnkv.StoreIOError) and "another build" in str(info.value)
    assert info.value.filename == str(target) + ".tmp"
    assert contents(target)[0] == {"a": 1}


def test_a_build_meeting_a_live_builds_lock_says_busy_as_a_fact(tmp_path):
    import errno
    import fcntl
    import os

    target = tmp_path / "db.trnk"
    fd = os.open(f"{target}.tmp", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # another build, alive, writing it
        w = tarnkv.TarnWriter()
        w.put("k", 1)
        with pytest.raises(BlockingIOError) as caught:
            w.build(target)
    finally:
        os.close(fd)
    exc = caught.value
    assert isinstance(exc, tarnkv.StoreIOError) and exc.busy is True
    assert (exc.errno, exc.strerror) == (errno.EWOULDBLOCK, "another build is writing this file")
    # Any other failure is not busy, whatever its text.
    with pytest.raises(FileNotFoundError) as caught:
        w.build(tmp_path / "another build is writing" / "x.trnk")
    assert isinstance(caught.value, tarnkv.StoreIOError) and caught.value.busy is False


def test_errors_name_their_store_apart_from_what_went_wrong(tmp_path):
    path = tmp_path / "bad.trnk"
    path.write_bytes(b"TEXT" + bytes(60))
    with pytest.raises(tarnkv.CorruptStoreError) as caught:
        tarnkv.open(path)
    exc = caught.value
    assert exc.detail is not None and str(path) not in exc.detail and exc.detail.startswith("not a tarnkv store")
    assert str(exc).startswith(exc.detail + " in store ")
    assert tarnkv.errors.io_error(2, "x").__class__ is tarnkv.errors.StoreFileNotFoundError


# --- Layout -----------------------------------------------------------------------------------

def entry_offsets(path):
    """The record offset of each index entry, in key order, read from the file itself."""
    data = path.read_bytes()
    at = int.from_bytes(data[16:24], "big")
    out = []
    while at < len(data):
        n = int.from_bytes(data[at:at + 2], "big")
        out.append(int.from_bytes(data[at + 2 + n:at + 10 + n], "big"))
        at += 10 + n
    return out


def records(path, start=40):
    """The stored bytes of each record of the data section, front to back."""
    data = path.read_bytes()
    end = int.from_bytes(data[16:24], "big")
    out = []
    while start < end:
        n = int.from_bytes(data[start:start + 4], "big")
        out.append(data[start + 8:start + 8 + n])
        start += 8 + n
    return out


def shuffled_puts(w, n=500, seed=11):
    import random

    rng = random.Random(seed)
    order = list(range(n))
    rng.shuffle(order)
    ids = {}
    for i in order:
        ids[i] = w.put(f"user:{i:05d}", {"n": i})
    # An alias that sorts first moves its object to the front; one that sorts last moves nothing.
    w.alias("aaa", ids[321])
    w.alias("zzz", ids[7])
    return ids


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_objects_lie_in_the_order_of_their_first_key(tmp_path, compression):
    w = tarnkv.TarnWriter(compression=compression)
    ids = shuffled_puts(w)
    w.add({"never": "named"})
    with pytest.warns(tarnkv.UnreferencedObjectWarning):
        info = w.build(tmp_path / "s.trnk")
    assert info.num_objects == 500 and info.dropped_objects == 1
    offsets = entry_offsets(tmp_path / "s.trnk")
    # Along the keys, each object's record comes right after the last new one: a walk reads
    # the file front to back.
    first_seen = list(dict.fromkeys(offsets))
    assert first_seen == sorted(first_seen) and len(first_seen) == 500
    with tarnkv.open(tmp_path / "s.trnk") as r:
        assert r["aaa"] == {"n": 321} and r["zzz"] == {"n": 7} and r["user:00007"] == {"n": 7}
        assert dict(r.items()) == {**{f"user:{i:05d}": {"n": i} for i in range(500)},
                                   "aaa": {"n": 321}, "zzz": {"n": 7}}
    if compression is None:
        stored = [msgpack.unpackb(b) for b in records(tmp_path / "s.trnk")]
        assert stored == [{"n": 321}] + [{"n": i} for i in range(500) if i != 321]
    # IDs the writer handed out still name what they named.
    assert w.object_id("user:00042") == ids[42]


def test_the_low_level_writer_keeps_objects_as_added(tmp_path):
    from tarnkv import _tarnkv

    w = _tarnkv._TarnWriter()
    for obj, key in ((b"\x01", "c"), (b"\x02", "a"), (b"\x03", "b")):
        w.add_key(key, w.add_object_raw(obj))
    w.add_key("0", 2)
    w.build(str(tmp_path / "low.trnk"))
    assert records(tmp_path / "low.trnk") == [b"\x01", b"\x02", b"\x03"]
    assert entry_offsets(tmp_path / "low.trnk") == [40 + 2 * 9, 40 + 9, 40 + 2 * 9, 40]
