"""Faults of the servers behind a remote store: a web server that sends no ETag (the version is
pinned by Last-Modified and size instead), and an object store answering 5xx to reads, to the
parts of a multipart upload and to its completion (bounded retries, then one clear error, and
nothing published)."""

from __future__ import annotations

import os

import boto3
import pytest

import tarnkv
from tarnkv.errors import StoreChangedError
from tarnkv.remote import publish

PART = 5 << 20  # the smallest part the object store takes


def build(path, fill="p", n=300):
    with tarnkv.TarnWriter.create(str(path)) as w:
        for i in range(n):
            w.put(f"k{i:04d}", {"i": i, "pad": fill * 20})
    return path


def test_a_web_server_without_etags_pins_last_modified_and_size(tmp_path):
    from servers import Nginx

    root = tmp_path / "www"
    root.mkdir()
    server = Nginx(root, tmp_path / "nginx", etag=False)
    try:
        path = build(root / "s.trnk")
        then = 1_700_000_000
        os.utime(path, (then, then))
        url = f"{server.url}/s.trnk"
        size = path.stat().st_size
        r = tarnkv.open(url)
        server.requests()  # the open's lines are all in the log (it waits for them)
        server.clear_log()
        assert r["k0003"]["pad"] == "p" * 20
        (hit,) = server.requests()
        assert hit.if_match == "-" and hit.if_unmodified_since.endswith("GMT"), hit

        # The same size, written later: the server refuses the pinned date.
        build(path, fill="q")
        assert path.stat().st_size == size
        os.utime(path, (then + 60, then + 60))
        with pytest.raises(StoreChangedError, match="replaced on the server"):
            r["k0004"]
        # Another size with the old date (a copy that kept its time): the size gives it away.
        build(path, fill="q", n=301)
        os.utime(path, (then, then))
        with pytest.raises(StoreChangedError):
            r["k0005"]
        r.close()
        with tarnkv.open(url) as again:  # reopening reads the new version
            assert len(again) == 301 and again["k0005"]["pad"] == "q" * 20
    finally:
        server.stop()


@pytest.fixture
def proxied(s3_server, s3_bucket):
    """(proxy, options, bucket): the S3-protocol server behind a fault-injecting proxy, reached
    with options naming the proxy and three attempts a request."""
    from servers import FaultProxy

    proxy = FaultProxy(s3_server.endpoint)
    options = {"endpoint_url": proxy.endpoint, "key": "testing", "secret": "testing", "region_name": "us-east-1",
               "retries": 3, "timeout": 10}
    yield proxy, options, s3_bucket
    proxy.stop()


def failed(proxy, method, status=500):
    return [p for m, p, s in proxy.seen if m == method and s == status]


def test_reads_retry_5xx_answers_a_bounded_number_of_times(proxied, tmp_path):
    proxy, options, bucket = proxied
    src = build(tmp_path / "s.trnk")
    boto3.client("s3").upload_file(str(src), bucket, "s.trnk")
    url = f"s3://{bucket}/s.trnk"

    proxy.fail(lambda m, p: m == "GET", 503, times=2)  # passing trouble: the open still succeeds
    r = tarnkv.open(url, storage_options=options)
    assert len(failed(proxy, "GET", 503)) == 2
    proxy.clear()
    proxy.fail(lambda m, p: m == "GET", 500)  # lasting trouble: three attempts, then the error
    with pytest.raises(tarnkv.StoreIOError, match="kept failing") as e:
        r["k0001"]
    assert e.value.filename == url
    assert len(failed(proxy, "GET")) == 3
    proxy.clear()
    assert r["k0001"]["i"] == 1  # and once the server recovers, reads go on
    r.close()


def upload_attempt(proxied, tmp_path, *rules):
    """Uploads a three-part store through the proxy failing as *rules* say ((match, times)
    each); (error or None, url, source)."""
    proxy, options, bucket = proxied
    src = tmp_path / "big.trnk"
    if not src.exists():
        with tarnkv.TarnWriter.create(str(src)) as w:
            for i in range(2600):
                w.put(f"k{i:05d}", os.urandom(4096))  # incompressible: the size is the data's
    url = f"s3://{bucket}/big.trnk"
    proxy.clear()
    for match, times in rules:
        proxy.fail(match, 500, times)
    try:
        publish.upload(str(src), url, storage_options=options, part_size=PART)
    except tarnkv.StoreIOError as exc:
        return exc, url, src
    return None, url, src


def nothing_published(bucket):
    s3 = boto3.client("s3")
    assert s3.list_objects_v2(Bucket=bucket).get("KeyCount", 0) == 0
    assert not s3.list_multipart_uploads(Bucket=bucket).get("Uploads")


def test_a_failing_part_or_completion_publishes_nothing(proxied, tmp_path):
    proxy, _, bucket = proxied
    part_2 = lambda m, p: m == "PUT" and "partNumber=2" in p  # noqa: E731
    complete = lambda m, p: m == "POST" and "uploadId=" in p  # noqa: E731

    error, url, src = upload_attempt(proxied, tmp_path, (part_2, -1))
    assert src.stat().st_size > 2 * PART
    assert error is not None and error.filename == url and "kept failing" in str(error)
    assert len(failed(proxy, "PUT")) == 3  # bounded: the configured attempts, no more
    nothing_published(bucket)

    error, url, _ = upload_attempt(proxied, tmp_path, (complete, -1))
    assert error is not None and error.filename == url
    assert len(failed(proxy, "POST")) == 3
    nothing_published(bucket)

    # A part and the completion failing once each: retried, and the store arrives whole.
    error, url, src = upload_attempt(proxied, tmp_path, (part_2, 1), (complete, 1))
    assert error is None
    assert len(failed(proxy, "PUT")) == 1 and len(failed(proxy, "POST")) == 1
    data = boto3.client("s3").get_object(Bucket=bucket, Key="big.trnk")["Body"].read()
    assert data == src.read_bytes()
