"""Reading stores at URLs: the same answers as a local reader, with the requests counted in the
servers' own logs, and the faults of a network: versions replaced, truncated objects, servers
that stop answering or keep failing, missing buckets and credentials."""

import errno
import os
import pickle
import shutil
import threading
import time
import zlib
from pathlib import Path

import pytest

import tarnkv
from tarnkv.errors import CorruptStoreError, StoreChangedError, StoreIOError
from tarnkv.remote.reader import RemoteReader

from servers import FlakyServer, SilentServer


def build(path, records):
    """A store at *path* holding {key: object}; the path as str."""
    with tarnkv.TarnWriter.create(str(path)) as w:
        for key, obj in records.items():
            w.put(key, obj)
    return str(path)


def records(n, prefix="k", size=16):
    """n records with keys in key order and objects of about *size* bytes."""
    return {f"{prefix}{i:06d}": {"i": i, "pad": "x" * size} for i in range(n)}


@pytest.fixture
def served(http_server, tmp_path):
    """serve(records, name) -> (url, local path) of a store built into nginx's root."""

    def serve(recs, name="s.trnk"):
        path = build(http_server.root / name, recs)
        return f"{http_server.url}/{name}", path

    return serve


def upload(bucket, key, path):
    from tarnkv.remote import s3

    s3.client().upload_file(str(path), bucket, key)
    return f"s3://{bucket}/{key}"


def same_answers(remote, local):
    """Every reading API of *remote* answers as *local* does."""
    assert len(remote) == len(local)
    assert list(remote) == list(local)
    assert list(remote.keys(raw=True)) == list(local.keys(raw=True))
    assert list(remote.items()) == list(local.items())
    assert list(remote.values_raw()) == list(local.values_raw())
    keys = list(local)[::7] + ["absent", b"\xff"]
    assert remote.get_many(keys, default=0) == local.get_many(keys, default=0)
    assert remote.get_many_raw(keys) == local.get_many_raw(keys)
    for k in keys[:5]:
        assert remote.get(k) == local.get(k)
        assert remote.get_raw(k) == local.get_raw(k)
        assert (k in remote) == (k in local)
    assert 42 not in remote
    for p in ("a", "k0001", "zz", ""):
        assert list(remote.prefix(p, limit=30)) == list(local.prefix(p, limit=30))
        assert list(remote.prefix_keys(p)) == list(local.prefix_keys(p))
        assert remote.count_prefix(p) == local.count_prefix(p)
    with pytest.raises(KeyError):
        remote["absent"]
    ours, theirs = remote.stats(), local.stats()
    assert ours.pop("path") == remote.path
    theirs.pop("path")
    assert ours == theirs


def test_http_store_answers_as_the_local_file_with_counted_requests(http_server, served):
    recs = records(3000) | {"alias": {"i": 1, "pad": "x" * 16}, "a\u00e9": [1, 2], "abc": None}
    url, path = served(recs)
    http_server.clear_log()
    with tarnkv.open(url) as r, tarnkv.open(path) as local:
        opened = http_server.requests()
        # A store this small comes whole in the speculative read of its last bytes.
        assert len(opened) <= 3
        st = local.stats()
        assert sum(q.bytes_sent for q in opened) <= 40 + (st["file_size"] - st["index_offset"]) + 65536
        assert isinstance(r, RemoteReader)

        # A hit is one request for exactly its record, pinned to the version opened.
        http_server.clear_log()
        assert r["k000123"] == recs["k000123"]
        (hit,) = http_server.requests()
        assert hit.status == 206 and hit.if_match != "-"
        assert hit.bytes_sent == 8 + len(local.get_raw("k000123"))
        # A miss is none.
        http_server.clear_log()
        assert r.get("nope", 5) == 5 and "nope" not in r
        assert http_server.requests() == []

        same_answers(r, local)

        # A prefix of 100 consecutive keys, whose records lie back to back: one read.
        http_server.clear_log()
        assert len(list(r.prefix("k0002"))) == 100
        assert len(http_server.requests()) == 1

        clone = pickle.loads(pickle.dumps(r))
        assert clone.path == url and clone["abc"] is None
    assert r.closed
    with pytest.raises(ValueError, match="closed"):
        len(r)


def test_open_of_a_large_index_reads_header_index_and_at_most_64k_more(http_server, served):
    url, path = served(records(20000, size=4))
    http_server.clear_log()
    with tarnkv.open(url) as r, tarnkv.open(path) as local:
        opened = http_server.requests()
        st = local.stats()
        index = st["file_size"] - st["index_offset"]
        assert index > 65536
        assert len(opened) == 3
        assert sum(q.bytes_sent for q in opened) <= 40 + index + 65536
        assert r["k019999"] == local["k019999"] and r["k000000"] == local["k000000"]
        assert r.get_many(["k000001", "k010000", "x"]) == local.get_many(["k000001", "k010000", "x"])


def test_s3_store_answers_as_the_local_file(s3_bucket, s3_server, tmp_path):
    path = build(tmp_path / "s.trnk", records(500) | {"a\u00e9": [1, 2]})
    url = upload(s3_bucket, "dir/s.trnk", path)
    before = len(s3_server.requests())
    with tarnkv.open(url) as r, tarnkv.open(path) as local:
        assert len(s3_server.requests()) - before <= 3
        before = len(s3_server.requests())
        assert r["k000003"] == local["k000003"] and r.get("absent") is None
        (hit,) = s3_server.requests()[before:]
        assert hit[0] == "GET" and hit[2] == 206
        same_answers(r, local)
        assert r.verify() is True
        assert pickle.loads(pickle.dumps(r))["k000007"] == local["k000007"]


def test_options_and_empty_object_errors(s3_bucket, http_server, tmp_path):
    with pytest.raises(TypeError, match="unknown storage option"):
        tarnkv.open(f"s3://{s3_bucket}/x", storage_options={"colour": 1})
    for bad in ("http://", "https:///x.trnk", "s3://", "s3://bucket/"):
        with pytest.raises(ValueError):
            tarnkv.open(bad)
    with pytest.raises(TypeError, match="URLs only"):
        tarnkv.open(str(tmp_path), storage_options={"timeout": 1})
    (http_server.root / "empty.trnk").write_bytes(b"")
    with pytest.raises(CorruptStoreError, match="40-byte header") as e:
        tarnkv.open(f"{http_server.url}/empty.trnk")
    assert http_server.url in str(e.value)


@pytest.mark.parametrize("where", ["http", "s3"])
def test_a_store_replaced_after_open_fails_naming_the_url_and_reopens_new(where, http_server, s3_env, tmp_path):
    old = build(tmp_path / "old.trnk", {"k": "old", "j": 1})
    new = build(tmp_path / "new.trnk", {"k": "new-version", "j": 2})
    if where == "http":
        url = f"{http_server.url}/s.trnk"
        shutil.copy(old, http_server.root / "s.trnk")

        def replace():
            os.utime(new, (time.time() + 5, time.time() + 5))
            os.replace(new, http_server.root / "s.trnk")
    else:
        import boto3

        bucket = "replaced-" + str(os.getpid())
        boto3.client("s3").create_bucket(Bucket=bucket)
        url = upload(bucket, "s.trnk", old)

        def replace():
            upload(bucket, "s.trnk", new)

    r = tarnkv.open(url)
    assert r["k"] == "old"
    replace()
    with pytest.raises(StoreChangedError, match="replaced") as e:
        r["j"]
    assert isinstance(e.value, CorruptStoreError) and e.value.path == url and url in str(e.value)
    with pytest.raises(StoreChangedError):
        r.get_many(["k", "j"])
    with pytest.raises(StoreChangedError):
        r.verify()
    assert tarnkv.open(url)["k"] == "new-version"


def test_truncated_and_damaged_objects(http_server, served):
    url, path = served(records(50))
    data = bytearray(Path(path).read_bytes())
    # A copy cut short: its index runs past its end.
    (http_server.root / "cut.trnk").write_bytes(data[:-5])
    with pytest.raises(CorruptStoreError, match="truncated") as e:
        tarnkv.open(f"{http_server.url}/cut.trnk")
    assert "cut.trnk" in str(e.value)
    # One object's bytes flipped: that read fails its CRC; unchecked reads do not look.
    with tarnkv.open(path) as local:
        raw = local.get_raw("k000010")
    at = bytes(data).index(raw)
    data[at + 2] ^= 0xFF
    (http_server.root / "bad.trnk").write_bytes(data)
    bad = f"{http_server.url}/bad.trnk"
    r = tarnkv.open(bad)
    assert r["k000011"] == {"i": 11, "pad": "x" * 16}
    with pytest.raises(CorruptStoreError, match="CRC32 mismatch") as e:
        r["k000010"]
    assert bad in str(e.value)
    with pytest.raises(CorruptStoreError, match="CRC32 mismatch"):
        list(r.values())
    with pytest.raises(CorruptStoreError, match="CRC32") as e:
        r.verify()
    assert bad in str(e.value)
    assert tarnkv.open(bad, check_reads=False).get_raw("k000010") != raw
    with pytest.raises(CorruptStoreError):
        tarnkv.open(bad, verify=True)


def test_a_server_that_stops_answering_is_an_error_within_the_timeout():
    silent = SilentServer()
    try:
        start = time.monotonic()
        with pytest.raises(StoreIOError) as e:
            tarnkv.open(silent.url, storage_options={"timeout": 0.5})
        assert time.monotonic() - start < 20
        assert e.value.errno == errno.ETIMEDOUT and e.value.filename == silent.url
        assert "0.5 s" in str(e.value)
    finally:
        silent.stop()


def test_a_server_that_stops_answering_after_open(http_server, served):
    import signal

    url, _ = served(records(10))
    r = tarnkv.open(url, storage_options={"timeout": 0.5})
    assert r["k000001"]["i"] == 1
    http_server.signal(signal.SIGSTOP)
    try:
        start = time.monotonic()
        with pytest.raises(StoreIOError) as e:
            r["k000002"]
        assert time.monotonic() - start < 20 and e.value.filename == url
    finally:
        http_server.signal(signal.SIGCONT)
    assert r["k000002"]["i"] == 2  # a fresh connection once it answers again


def test_throttling_is_retried_with_backoff_then_reported(tmp_path):
    blob = Path(build(tmp_path / "s.trnk", {"a": 1, "b": 2})).read_bytes()
    flaky = FlakyServer(blob, failures=2)
    try:
        r = tarnkv.open(flaky.url)
        assert r["b"] == 2 and flaky.requests == 2 + 2  # two 503s, the open, the read
    finally:
        flaky.stop()
    down = FlakyServer(blob, failures=-1)
    try:
        with pytest.raises(StoreIOError, match="503") as e:
            tarnkv.open(down.url, storage_options={"retries": 3})
        assert down.requests == 3 and e.value.filename == down.url
    finally:
        down.stop()


def test_missing_objects_buckets_and_credentials_are_one_clear_error(s3_bucket, http_server, monkeypatch):
    with pytest.raises(FileNotFoundError) as e:
        tarnkv.open(f"{http_server.url}/none.trnk")
    assert isinstance(e.value, StoreIOError)
    with pytest.raises(StoreIOError, match="no such object") as e:
        tarnkv.open(f"s3://{s3_bucket}/none.trnk")
    assert e.value.errno == errno.ENOENT
    with pytest.raises(StoreIOError, match="no such bucket: 'no-such-bucket'"):
        tarnkv.open("s3://no-such-bucket/x.trnk")
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
        monkeypatch.delenv(name)
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent")
    monkeypatch.setenv("AWS_CONFIG_FILE", "/nonexistent")
    with pytest.raises(StoreIOError, match="no credentials") as e:
        tarnkv.open(f"s3://{s3_bucket}/x.trnk")
    assert e.value.errno == errno.EACCES


def test_threads_and_fork_read_through_their_own_connections(served):
    url, path = served(records(400))
    r = tarnkv.open(url)
    local = tarnkv.open(path)
    errors = []

    def work(t):
        try:
            for i in range(t, 400, 8):
                assert r[f"k{i:06d}"] == local[f"k{i:06d}"]
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    pid = os.fork()
    if pid == 0:
        ok = r.get_many([f"k{i:06d}" for i in range(0, 400, 3)]) == local.get_many(
            [f"k{i:06d}" for i in range(0, 400, 3)])
        os._exit(0 if ok else 1)
    assert os.waitpid(pid, 0)[1] == 0
    assert r["k000399"]["i"] == 399


def test_simplecache_maps_a_checked_local_copy(http_server, served, tmp_path):
    url, path = served(records(100))
    cache = tmp_path / "cache"
    opts = {"simplecache": {"cache_storage": str(cache)}, "http": {"timeout": 5}}
    r = tarnkv.open("simplecache::" + url, storage_options=opts)
    assert isinstance(r, tarnkv.TarnReader) and dict(r.items()) == dict(tarnkv.open(path).items())
    (copy,) = cache.iterdir()
    http_server.clear_log()
    tarnkv.open("simplecache::" + url, storage_options=opts).close()
    assert len(http_server.requests()) == 1  # the version check only: the copy is reused
    # A new version is a new copy.
    build(tmp_path / "n.trnk", {"n": 1})
    os.utime(tmp_path / "n.trnk", (time.time() + 5, time.time() + 5))
    os.replace(tmp_path / "n.trnk", http_server.root / "s.trnk")
    assert tarnkv.open("simplecache::" + url, storage_options=opts)["n"] == 1
    assert len(list(cache.iterdir())) == 2


def test_other_schemes_go_through_fsspec(tmp_path):
    import fsspec

    path = build(tmp_path / "s.trnk", records(30))
    with fsspec.open("memory://stores/s.trnk", "wb") as f:
        f.write(Path(path).read_bytes())
    r = tarnkv.open("memory://stores/s.trnk")
    assert dict(r.items()) == dict(tarnkv.open(path).items())
    with pytest.raises(FileNotFoundError):
        tarnkv.open("memory://stores/none.trnk")


@pytest.mark.parametrize("size", [40_000, 16])
def test_compressed_stores_read_at_urls_as_put(size, http_server, s3_bucket, tmp_path):
    """A compressed store answers over HTTP and S3 exactly as the local reader (objects as put),
    whether its dictionary lies inside open's tail read or beyond it; a damaged frame is a
    CorruptStoreError naming the key."""
    recs = {f"k{i:05d}": {"i": i, "name": f"user {i % 97}", "tags": ["a", "b", str(i % 5)]} for i in range(size)}
    path = http_server.root / "z.trnk"
    with tarnkv.TarnWriter.create(str(path), compression="zstd") as w:
        for key, obj in recs.items():
            w.put(key, obj)
    with tarnkv.open(str(path)) as local:
        sizes = local.compression_stats()
        assert sizes["compression"] == "zstd"
        assert size < 1000 or sizes["stored_bytes"] < sizes["original_bytes"]
        for url in (f"{http_server.url}/z.trnk", upload(s3_bucket, "z.trnk", path)):
            with tarnkv.open(url) as remote:
                same_answers(remote, local)
                assert remote.get_raw("k00003") == local.get_raw("k00003")

    if size < 1000:
        return  # too small to shrink: every object is stored as put
    # Damage one compressed frame and mend its CRC, so that only the decoder can tell.
    from tarnkv import _tarnkv

    with _tarnkv._TarnReader(str(path)) as low:
        victim, stored = next((k, v) for k, v in low.items_raw() if v[:1] != b"\x00" and len(v) > 8)
    raw = bytearray(path.read_bytes())
    at = raw.index(stored)
    bad = bytes(stored[:-1]) + bytes([stored[-1] ^ 0xFF])
    raw[at:at + len(bad)] = bad
    raw[at - 4:at] = zlib.crc32(bad).to_bytes(4, "big")
    path.write_bytes(raw)
    with tarnkv.open(f"{http_server.url}/z.trnk") as remote:
        with pytest.raises(CorruptStoreError) as e:
            remote[victim]
    assert victim in " ".join([str(e.value), *getattr(e.value, "__notes__", [])])


def test_the_native_index_takes_its_arguments_by_name_and_refuses_bad_pieces(tmp_path):
    from tarnkv import _native

    blob = Path(build(tmp_path / "s.trnk", records(5))).read_bytes()
    index = _native.RemoteIndex(pieces=[(0, memoryview(blob))], file_size=len(blob), name="u")
    assert len(index) == 5 and index.find("k000003") is not None
    assert len(_native.RemoteIndex("u", len(blob), ((0, bytearray(blob)),))) == 5
    with pytest.raises(TypeError, match=r"argument 1 must be str, not bytes"):
        _native.RemoteIndex(b"u", len(blob), [(0, blob)])
    with pytest.raises(TypeError, match=r"argument 2 must be int, not str"):
        _native.RemoteIndex("u", "9", [(0, blob)])
    with pytest.raises(TypeError, match="'pieces'"):
        _native.RemoteIndex("u", len(blob))
    with pytest.raises(TypeError, match="sequence of"):
        _native.RemoteIndex("u", len(blob), 7)
    # A piece that is not an (offset, bytes) pair is the caller's mistake, never an internal error.
    for piece, message in [([0, blob], "tuple"), ((0,), "tuple"), ((0, blob, 1), "tuple"),
                           (("0", blob), "offset must be int"), ((0, "text"), "bytes-like")]:
        with pytest.raises(TypeError, match=message):
            _native.RemoteIndex("u", len(blob), [piece])
