"""Publishing stores to object storage against the real S3-protocol server: a store appears
whole or not at all, a failed or interrupted upload leaves the old object and no open upload,
and the faults a user can cause end in one clear error."""

from __future__ import annotations

import contextlib
import errno
import json
import os
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import boto3
import pytest
from cli.cli_helpers import child_env, run_cli

import tarnkv
from tarnkv.remote import publish

MIB = 1 << 20


def fetch(bucket: str, key: str, tmp_path, name: str = "got.trnk") -> dict:
    """The store at s3://bucket/key, downloaded and read locally."""
    path = tmp_path / name
    boto3.client("s3").download_file(bucket, key, str(path))
    with tarnkv.open(path) as r:
        return dict(r.items())


def open_uploads(bucket: str) -> list:
    return boto3.client("s3").list_multipart_uploads(Bucket=bucket).get("Uploads", [])


def objects(bucket: str) -> list[str]:
    return sorted(o["Key"] for o in boto3.client("s3").list_objects_v2(Bucket=bucket).get("Contents", []))


def big_store(path, mib: int) -> str:
    with tarnkv.TarnWriter.create(path, codec=None) as w:
        for i in range(mib):
            w[f"k{i:05d}"] = os.urandom(MIB)
    return str(path)


def test_build_to_url_publishes_and_replaces_whole(s3_bucket, tmp_path):
    url = f"s3://{s3_bucket}/dir/users.trnk"
    w = tarnkv.TarnWriter()
    w.put("a", {"v": 1})
    res = w.build(url)
    assert (res.path, res.num_keys) == (url, 1)
    s3 = boto3.client("s3")
    old_etag = s3.head_object(Bucket=s3_bucket, Key="dir/users.trnk")["ETag"]
    assert fetch(s3_bucket, "dir/users.trnk", tmp_path) == {"a": {"v": 1}}

    w2 = tarnkv.TarnWriter()
    for i in range(1000):
        w2[f"k{i}"] = i
    with tarnkv.open(url) as old_reader:
        w2.build(url)
        assert fetch(s3_bucket, "dir/users.trnk", tmp_path, "new.trnk") == {f"k{i}": i for i in range(1000)}
        # The reader opened before the replacement is refused, never given the new bytes.
        with pytest.raises(tarnkv.TarnError):
            old_reader["a"]
    with tarnkv.open(url) as r:
        assert dict(r.items()) == {f"k{i}": i for i in range(1000)}
    # A reader pinned to the old version is refused, never served bytes of the new one.
    with pytest.raises(Exception) as e:
        s3.get_object(Bucket=s3_bucket, Key="dir/users.trnk", Range="bytes=0-39", IfMatch=old_etag)
    assert e.value.response["ResponseMetadata"]["HTTPStatusCode"] == 412
    assert objects(s3_bucket) == ["dir/users.trnk"]
    # Nothing is left in the temporary directory either.
    assert not [n for n in os.listdir(os.environ.get("TMPDIR", "/tmp")) if n.startswith(".tarnkv-") and "users" in n]


def test_large_upload_goes_in_parts_and_arrives_whole(s3_bucket, tmp_path):
    src = big_store(tmp_path / "big.trnk", 23)
    url = f"s3://{s3_bucket}/big.trnk"
    seen = []
    publish.upload(src, url, part_size=5 * MIB, progress=lambda d, t: seen.append((d, t)))
    got = tmp_path / "back.trnk"
    boto3.client("s3").download_file(s3_bucket, "big.trnk", str(got))
    assert got.read_bytes() == Path(src).read_bytes()
    size = os.path.getsize(src)
    assert seen[-1] == (size, size) and len(seen) == 5  # 5 parts, reported as they finish
    assert open_uploads(s3_bucket) == []


def test_a_failed_multipart_upload_publishes_nothing_and_leaves_no_upload(s3_bucket, tmp_path):
    src = big_store(tmp_path / "big.trnk", 16)
    s3 = boto3.client("s3")
    s3.put_object(Bucket=s3_bucket, Key="s.trnk", Body=b"old")

    class Stop(Exception):
        pass

    def fail(done, total):
        raise Stop

    with pytest.raises(Stop):
        publish.upload(src, f"s3://{s3_bucket}/s.trnk", part_size=5 * MIB, progress=fail)
    assert open_uploads(s3_bucket) == []
    assert s3.get_object(Bucket=s3_bucket, Key="s.trnk")["Body"].read() == b"old"


def test_a_server_that_goes_away_is_an_error_naming_the_url_not_a_hang(tmp_path, monkeypatch):
    from servers import S3Server

    server = S3Server()
    try:
        for name, value in server.env().items():
            monkeypatch.setenv(name, value)
        boto3.client("s3").create_bucket(Bucket="gone")
        src = big_store(tmp_path / "big.trnk", 16)
        url = "s3://gone/s.trnk"

        def stop(done, total):
            server.stop()

        started = time.monotonic()
        with pytest.raises(tarnkv.StoreIOError) as e:
            publish.upload(src, url, part_size=5 * MIB, progress=stop,
                           storage_options={"timeout": 2, "retries": 2})
        assert e.value.filename == url
        assert time.monotonic() - started < 60
    finally:
        server.stop()


def test_web_servers_and_missing_buckets_are_refused_before_building(s3_env, tmp_path):
    w = tarnkv.TarnWriter()
    w["a"] = 1
    with pytest.raises(tarnkv.StoreIOError, match="read-only") as e:
        w.build("https://example.invalid/x.trnk")
    assert e.value.filename == "https://example.invalid/x.trnk"
    with pytest.raises(FileNotFoundError, match="no such bucket: 'nope'"):
        w.build("s3://nope/x.trnk")


def test_cli_build_to_s3_and_its_faults(s3_bucket, tmp_path):
    data = tmp_path / "in.jsonl"
    data.write_text("".join(json.dumps({"id": f"u{i}", "n": i}) + "\n" for i in range(500)))
    url = f"s3://{s3_bucket}/users.trnk"
    res = run_cli("build", data, "--key", "id", "-o", url, "-q")
    assert res.status == 0, res.err
    assert fetch(s3_bucket, "users.trnk", tmp_path) == {f"u{i}": {"id": f"u{i}", "n": i} for i in range(500)}

    res = run_cli("build", data, "--key", "id", "-o", "http://127.0.0.1:9/x.trnk", "-q")
    assert res.status == 2 and res.err.count("\n") == 1 and "read-only" in res.err, res.err
    res = run_cli("build", data, "--key", "id", "-o", "s3://no-such-bucket/x.trnk", "-q")
    assert (res.status, res.err) == (2, "tarnkv: s3://no-such-bucket/x.trnk: no such bucket: 'no-such-bucket'\n")
    no_credentials = {"AWS_ACCESS_KEY_ID": "", "AWS_SECRET_ACCESS_KEY": "", "AWS_SHARED_CREDENTIALS_FILE": "/nonexistent",
                      "AWS_CONFIG_FILE": "/nonexistent", "AWS_EC2_METADATA_DISABLED": "true"}
    res = run_cli("build", data, "--key", "id", "-o", f"s3://{s3_bucket}/y.trnk", "-q", **no_credentials)
    assert res.status == 2 and "no credentials" in res.err and res.err.count("\n") == 1, res.err
    assert objects(s3_bucket) == ["users.trnk"]


def test_cli_cp_uploads_checked_stores_only(s3_bucket, tmp_path, make_store):
    good = make_store({b"a": b"\x01"})
    url = f"s3://{s3_bucket}/a.trnk"
    res = run_cli("cp", good, url, "--verify", "-q")
    assert res.status == 0, res.err
    assert boto3.client("s3").get_object(Bucket=s3_bucket, Key="a.trnk")["Body"].read() == Path(good).read_bytes()

    empty = make_store({})
    res = run_cli("cp", empty, url, "-q")
    assert res.status == 2 and "--allow-empty" in res.err, res.err
    broken = tmp_path / "broken.trnk"
    broken.write_bytes(Path(good).read_bytes()[:-3])
    res = run_cli("cp", broken, url, "-q")
    assert res.status == 1, res.err
    assert boto3.client("s3").get_object(Bucket=s3_bucket, Key="a.trnk")["Body"].read() == Path(good).read_bytes()
    assert run_cli("cp", empty, url, "-q", "--allow-empty").status == 0


def test_ctrl_c_during_cp_to_s3_changes_nothing(s3_bucket, tmp_path):
    src = big_store(tmp_path / "big.trnk", 160)
    s3 = boto3.client("s3")
    s3.put_object(Bucket=s3_bucket, Key="s.trnk", Body=b"old")
    proc = subprocess.Popen([sys.executable, "-m", "tarnkv", "cp", src, f"s3://{s3_bucket}/s.trnk", "-q"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=child_env())
    deadline = time.monotonic() + 60
    while not open_uploads(s3_bucket):  # the upload has begun
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (130, b"tarnkv: interrupted\n")
    assert s3.get_object(Bucket=s3_bucket, Key="s.trnk")["Body"].read() == b"old"
    assert open_uploads(s3_bucket) == []


def test_upload_throughput_against_a_plain_upload(s3_bucket, tmp_path):
    """Reported, not a gate beyond a generous floor: timings on shared cores are noisy."""
    src = big_store(tmp_path / "big.trnk", 96)
    s3 = boto3.client("s3")
    started = time.perf_counter()
    s3.upload_file(src, s3_bucket, "plain.trnk")
    plain = time.perf_counter() - started
    started = time.perf_counter()
    publish.upload(src, f"s3://{s3_bucket}/ours.trnk")
    ours = time.perf_counter() - started
    size = os.path.getsize(src) / MIB
    print(f"\nupload of {size:.0f} MiB: plain upload_file {size / plain:.0f} MiB/s, "
          f"publish.upload {size / ours:.0f} MiB/s (ratio {plain / ours:.2f})")
    assert ours < plain * 3


@contextlib.contextmanager
def throttling_server() -> Iterator[tuple[dict, list]]:
    """An S3 endpoint answering every request with 503 SlowDown: (storage options for it, the
    methods of the requests it saw)."""
    import http.server
    import threading

    seen: list = []

    class Throttled(http.server.BaseHTTPRequestHandler):
        def answer(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            self.rfile.read(length)
            seen.append(self.command)
            body = b"<Error><Code>SlowDown</Code><Message>Please reduce your request rate.</Message></Error>"
            self.send_response(503)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        do_PUT = do_POST = do_HEAD = do_GET = answer

        def log_message(self, *args) -> None:
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Throttled)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield ({"endpoint_url": f"http://127.0.0.1:{server.server_port}", "key": "k", "secret": "s",
                "region_name": "us-east-1", "retries": 3}, seen)
    finally:
        server.shutdown()
        server.server_close()


def test_throttling_is_retried_a_bounded_number_of_times_then_an_error(tmp_path):
    """A server answering every request with 503 SlowDown: the upload tries the configured
    number of times, then fails naming the URL, and publishes nothing."""
    with throttling_server() as (options, seen):
        src = tmp_path / "s.trnk"
        src.write_bytes(b"TRNK" + bytes(60))
        with pytest.raises(tarnkv.StoreIOError, match=r"kept failing \(503 SlowDown\) after 3 attempt") as e:
            publish.upload(str(src), "s3://bucket/s.trnk", storage_options=options)
        assert e.value.filename == "s3://bucket/s.trnk"
        assert seen == ["PUT"] * 3


def test_reading_and_publishing_report_the_same_failure_in_the_same_words(s3_bucket, tmp_path):
    url = f"s3://{s3_bucket}/none.trnk"
    with pytest.raises(FileNotFoundError) as read:
        tarnkv.open(url)
    with pytest.raises(FileNotFoundError) as fetched:
        publish.get_range(url, 0, 10, client=publish.client_for(None))
    assert read.value.strerror == fetched.value.strerror == "no such object in the bucket"

    with throttling_server() as (options, seen):
        src = tmp_path / "s.trnk"
        src.write_bytes(b"TRNK" + bytes(60))
        with pytest.raises(tarnkv.StoreIOError) as read:
            tarnkv.open("s3://bucket/s.trnk", storage_options=options)
        with pytest.raises(tarnkv.StoreIOError) as written:
            publish.upload(str(src), "s3://bucket/s.trnk", storage_options=options)
        assert seen == ["GET"] * 3 + ["PUT"] * 3
    assert read.value.errno == written.value.errno == errno.EIO
    assert read.value.strerror == written.value.strerror == "the object store kept failing (503 SlowDown) after 3 attempt(s)"


def test_client_failures_map_to_one_clear_error():
    import botocore.exceptions as bx

    from tarnkv.remote import s3

    def answer(status: int, code: str = "", message: str = "") -> bx.ClientError:
        return bx.ClientError({"Error": {"Code": code, "Message": message},
                               "ResponseMetadata": {"HTTPStatusCode": status}}, "GetObject")

    url = "s3://b/k.trnk"
    cases = [
        (answer(404, "NoSuchBucket"), FileNotFoundError, "no such bucket: 'b'"),
        (answer(404, "NoSuchVersion"), FileNotFoundError, "no such object in the bucket"),
        (answer(404), FileNotFoundError, "no such object in the bucket"),
        (answer(403, "AccessDenied", "no"), PermissionError, "access denied by the object store (AccessDenied: no)"),
        (answer(429), tarnkv.StoreIOError, "the object store kept failing (429 ) after 1 attempt(s)"),
        (answer(400, "Bad", "why"), tarnkv.StoreIOError, "the object store refused the request (400 Bad: why)"),
        (bx.PartialCredentialsError(provider="env", cred_var="secret"), PermissionError, "no credentials"),
        (bx.ConnectTimeoutError(endpoint_url="http://x"), TimeoutError, "the object store did not answer within 2.5 s"),
    ]
    for exc, kind, text in cases:
        got = s3.error(exc, url, timeout=2.5)
        assert isinstance(got, kind) and got.filename == url and got.strerror.startswith(text), (exc, got)
    already = tarnkv.StoreIOError(errno.EIO, "as it was", url)
    assert s3.error(already, url) is already
